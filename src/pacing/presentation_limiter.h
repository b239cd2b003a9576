#pragma once
// Deadlines for a steady present cadence. Pure logic: the waiting itself lives in limiter_wait.h.
#include <cstdint>

inline constexpr uint32_t kLimiterMinFps = 1;
inline constexpr uint32_t kLimiterMaxFps = 1000;
// A gap longer than this between two presents is a stall (loading, alt-tab): restart the cadence.
inline constexpr double kLimiterRestartGapSeconds = 0.25;

struct PresentationLimiter {
  double interval = 0.0;      // seconds, 1 / target FPS
  double lastDeadline = 0.0;  // seconds, the last deadline handed out
  double lastCall = 0.0;      // seconds, the time of the last NextDeadline call
  bool configured = false;
  bool primed = false;        // lastDeadline and lastCall are meaningful
};

// Refuses targetFps outside 1..1000. Keeps the running cadence when the interval is unchanged.
bool ConfigurePresentationLimiter(PresentationLimiter& limiter, uint32_t targetFps);
// Forgets the cadence; the interval stays configured.
void ResetPresentationLimiter(PresentationLimiter& limiter);
// The time to present at: one interval after the previous deadline while the loop keeps up,
// now itself when it is late, restarted at now after a stall or when time went backwards.
double NextDeadline(PresentationLimiter& limiter, double nowSeconds);
// Moves the cadence so that the last deadline handed out becomes the earlier deadlineSeconds; the
// deadlines after it follow from there. Ignored unless the cadence runs and the move is earlier.
void MoveLastDeadline(PresentationLimiter& limiter, double deadlineSeconds);

// One step of the wait towards a deadline: sleep in whole milliseconds while more than 2 ms
// remain (keeping 1 ms spare for the scheduler's slack), then yield until the deadline.
enum class WaitStepKind { Done, Sleep, Yield };
struct WaitStep {
  WaitStepKind kind = WaitStepKind::Done;
  uint32_t sleepMilliseconds = 0;
};
WaitStep PlanWaitStep(double remainingSeconds);
