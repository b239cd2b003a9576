#pragma once
// The render phase at sub-millisecond resolution. The host's scheduler clock counts whole
// milliseconds and its due times are rounded to them, so the host's own phase jumps by up to a
// sixteenth of a 60 Hz step from frame to frame. This learns where the host clock's millisecond
// edges fall on the performance counter and where the exact fixed-step grid lies between the
// rounded due times, and computes the phase from those, never more than one host millisecond from
// the host's phase. While the host clock does not behave as a steady 1 ms clock at the counter's
// rate, the host's phase is used unchanged and the reason counted. Pure: the caller reads both
// clocks.
#include <cstdint>

#include "frame/presentation_clock.h"

enum class PhaseFallbackReason : uint32_t {
  Learning = 0,  // not enough consistent readings yet
  Coarse,        // the host clock steps by more than a millisecond at a time
  Paused,        // the host clock stood still while the counter ran on
  Jumped,        // the host clock went back, or forward far more than the counter
  Drifted,       // the host clock runs at another rate than the counter
  Count,
};
inline constexpr uint32_t kPhaseFallbackReasonCount = static_cast<uint32_t>(PhaseFallbackReason::Count);

struct PhaseRefineCounters {
  uint64_t refined = 0;
  uint64_t fallback[kPhaseFallbackReasonCount] = {};
};

// One render-time reading: the scheduler's fields and its clock, bracketed by two reads of the
// performance counter in milliseconds.
struct PhaseObservation {
  uint64_t dueMs = 0;
  double unitMs = 0.0;
  double rate = 0.0;
  uint64_t hostMs = 0;
  double counterBeforeMs = 0.0;
  double counterAfterMs = 0.0;
};

struct RenderPhaseRefiner {
  // Millisecond edges: hostMs == floor(counterMs + offset) for an offset in [offsetLow, offsetHigh].
  bool haveBounds = false;
  double offsetLow = 0.0;
  double offsetHigh = 0.0;
  double boundsCounterMs = 0.0;  // the counter time the bounds hold for (they widen with drift)
  uint32_t consistentReadings = 0;
  // The host clock as last seen, and since when it has shown that value.
  bool haveLast = false;
  uint64_t lastHostMs = 0;
  double lastCounterBeforeMs = 0.0;
  double valueSeenAfterMs = 0.0;  // counter just after the first reading of lastHostMs
  double coarseUntilMs = 0.0;     // counter time until which the clock counts as coarse
  PhaseFallbackReason reason = PhaseFallbackReason::Learning;
  // Fixed-step grid: the due times' position within the step, relative to a reference.
  bool haveGrid = false;
  double gridStepMs = 0.0;
  double gridReferenceMs = 0.0;
  double gridDeviationLow = 0.0;
  double gridDeviationHigh = 0.0;
  uint64_t gridLastDueMs = 0;
  uint32_t gridDueCount = 0;
  PhaseRefineCounters counters;
};

// The phase for one reading: the host's (ComputeRenderPhase) when the host rejects it or the
// relation can't be trusted, else the refined one. Counts which it was.
RenderPhaseResult RefineRenderPhase(RenderPhaseRefiner& refiner, const PhaseObservation& observation) noexcept;

// True while the millisecond edges are trusted: the earliest counter time (ms) at which the host
// clock could show dueMs, when the host sees that step due and its phase passes 1.
bool StepDueAt(const RenderPhaseRefiner& refiner, uint64_t dueMs, double* counterMs) noexcept;

void ResetRenderPhaseRefiner(RenderPhaseRefiner& refiner) noexcept;
const wchar_t* PhaseFallbackReasonName(PhaseFallbackReason reason) noexcept;
