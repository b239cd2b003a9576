#pragma once
// What the mouse-look preview knows about the host's look path, as pure arithmetic: the host's look
// smoothing, the count scale, the look gain and each axis's trust. No Windows headers.
#include <cstddef>
#include <cstdint>

inline constexpr size_t kSmoothingSampleCapacity = 32;

// The host's look smoothing as read after its look-amount call: the recent raw look samples, newest
// first, the window and the weight. present = 0 when smoothing is off.
struct SmoothingRecord {
  bool present = false;
  float x[kSmoothingSampleCapacity] = {};
  float y[kSmoothingSampleCapacity] = {};
  uint64_t size = 0;
  int32_t window = 0;
  float weight = 0.0f;
};

// The part of the host's next smoothed look already fixed by its history:
// next look = (raw + sum) / total.
struct SmoothingSums {
  bool ok = false;
  float sumX = 0.0f;
  float sumY = 0.0f;
  float total = 1.0f;
};
SmoothingSums ModelSmoothing(const SmoothingRecord& record) noexcept;

// Into [-pi, pi); a non-finite angle gives 0.
float WrapAngle(float angle) noexcept;

// Camera radians per look-amount unit, learnt from ticks whose look the camera turn explains.
struct LookGainEstimator {
  float gain = 0.0f;
  float candidate = 0.0f;
  bool hasGain = false;
  bool candidatePending = false;
};
struct AxesExplained {
  bool yaw = false;
  bool pitch = false;
};
AxesExplained UpdateLookGain(LookGainEstimator& estimator, float lookYaw, float lookPitch, float dYaw,
                             float dPitch) noexcept;

// Look-amount units per mouse count, from one tick with exactly one read and one look call.
// firstSample is the newest smoothing sample (when smoothing is present) or the look amount with
// pitch already un-inverted. False when the tick teaches nothing.
bool LearnCountScale(int32_t countX, int32_t countY, float valueX, float valueY, float* scale) noexcept;

inline constexpr uint32_t kTrustStreak = 4;
inline constexpr double kTrustFadeSeconds = 0.05;

struct AxisTrust {
  bool explained = false;  // the last judged tick
  uint32_t streak = 0;
  bool trusted = false;
  float weight = 0.0f;     // 0..1
};
// Judges one tick for one axis. True when the axis was explained but is still re-earning trust.
bool JudgeAxis(AxisTrust& axis, bool explained) noexcept;
// Moves the weight by step (frame seconds / fade time) towards 1 while trusted, else towards 0.
void StepAxisWeight(AxisTrust& axis, double step) noexcept;
// step for a frame at now after one at last (0 when there was none or time did not advance).
double FadeStep(double last, double now) noexcept;

// Everything the lead of one frame is made of.
struct LeadInputs {
  double alpha = 0.0;        // the sample's phase, clamped here
  SmoothingSums sums;
  float lookYaw = 0.0f;      // the last tick's look amount
  float lookPitch = 0.0f;
  bool invert = false;
  int32_t pendingX = 0;      // counts the game has not read yet
  int32_t pendingY = 0;
  float countScale = 0.0f;
  float gain = 0.0f;
  float yawWeight = 0.0f;
  float pitchWeight = 0.0f;
};
inline constexpr float kMaxLead = 1.5f;

enum class LeadResult : uint32_t { Lead = 0, Rejected = 1 };
struct Lead {
  LeadResult result = LeadResult::Rejected;
  float yaw = 0.0f;
  float pitch = 0.0f;
};
// The rest of the last tick's turn not drawn yet plus the next tick's predicted turn, weighted per
// axis. Rejected when either axis exceeds kMaxLead.
Lead ComputeLead(const LeadInputs& in) noexcept;
