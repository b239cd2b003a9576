#pragma once
// The fixed-step time base every render-time interpolation runs on. Pure state and arithmetic:
// the process-wide instance, the tick counter, the performance counter and the host reads live
// with the detours that drive it.
#include <cstdint>

enum class ClockResetReason : uint32_t {
  None = 0,
  Reconfigured = 1,
  ExplicitDiscontinuity = 2,
  NonMonotonicWallTime = 3,
  NonMonotonicTick = 4,
  MissingSnapshots = 5,
  LongStall = 6,
};

enum class ClockSampleStatus : uint32_t {
  Unavailable = 0,
  Interpolated = 1,
  Reset = 2,
};

struct ClockTickEntry {
  uint64_t tick;
  double wallTime;  // seconds
};

inline constexpr double kDefaultClockMaxGap = 0.25;

struct PresentationClock {
  ClockTickEntry ring[2] = {};
  uint64_t ringHead = 0;   // oldest entry
  uint64_t ringCount = 0;  // 0..2
  uint64_t generation = 0;
  double fixedStep = 0.0;               // seconds
  double maxGap = kDefaultClockMaxGap;  // seconds
  double lastSampleWallTime = 0.0;
  bool configured = false;
  bool hasLastSample = false;
};

struct TickPublishResult {
  bool accepted;
  ClockResetReason reason;
};

// What a render blends between. A consumer interpolates only when status is Interpolated,
// the two ticks differ and the generation is the one it stored its data under.
struct ClockSample {
  ClockSampleStatus status;
  ClockResetReason resetReason;  // set only with status Reset
  uint64_t generation;
  uint64_t previousTick;
  uint64_t currentTick;
  double alpha;             // [0, 1]
  double presentationTime;  // (previousTick + alpha) x fixed step, seconds
};

struct RenderPhaseResult {
  bool ok;
  double alpha;     // clamped to [0, 1] when ok, else 0
  double rawAlpha;  // reported even when the phase is rejected
};

// Refuses a step outside [0.001, 1] s, a max gap above 10 s or below the step, or non-finite values.
// A first configuration, or a change of either value by more than 1e-9 s, resets the clock.
bool ConfigureClock(PresentationClock& clock, double fixedStep, double maxGap) noexcept;
TickPublishResult PublishTick(PresentationClock& clock, uint64_t tick, double wallTime,
                              bool explicitDiscontinuity) noexcept;
ClockSample SampleClock(PresentationClock& clock, double wallTime, double alpha, bool alphaValid) noexcept;
// Starts a new generation with an empty ring. The reason is for the caller's accounting only.
void ResetClock(PresentationClock& clock, ClockResetReason reason) noexcept;

// True when the sample names two distinct ticks to blend between.
bool ClockSampleHasPair(const ClockSample& sample) noexcept;

// The host scheduler's phase within the current fixed step: 0 one step before the due time,
// 1 at it. dueMs and nowMs are the scheduler's millisecond clock, unitMs and rate its step.
RenderPhaseResult ComputeRenderPhase(uint64_t dueMs, double unitMs, double rate, uint64_t nowMs) noexcept;

// The engine's completed-step message with a usable step length in seconds: only these count
// as ticks. Compared as float, as the engine passes it.
bool IsCompletedStep(int message, float stepSeconds) noexcept;

const wchar_t* ClockResetReasonName(ClockResetReason reason) noexcept;
const wchar_t* ClockSampleStatusName(ClockSampleStatus status) noexcept;
