#include "pacing/frame_pacing_plan.h"

#include <algorithm>
#include <cmath>

namespace {

// Beyond the predicted lead: the yields that end a wait land a little late, and so may the host.
constexpr double kLeadSpareSeconds = 0.00015;
constexpr double kMinMarginSeconds = 0.0002;
// The lead tracks about the 98th percentile of what the host takes: a frame whose host work
// outlasts it presents late, and a late frame restarts the cadence.
constexpr double kLeadUp = 0.000098;
constexpr double kLeadDown = 0.000002;
constexpr double kMaxLeadSeconds = 0.01;
// The sample lands this far before the step's due time, where the phase is still below 1.
constexpr double kStepEdgeSeconds = 0.00003;
// A render this long is a stall, not a frame's usual work: the present need not wait behind it.
constexpr double kMaxRenderAllowanceSeconds = 0.01;
// Sleeps shorter than this are not worth the system call.
constexpr double kMinSleepSeconds = 0.00005;
constexpr double kSlackUp = 0.000038;
constexpr double kSlackDown = 0.000002;  // 19:1, the 95th percentile
constexpr double kMinSlackSeconds = 0.00002;
// Room between the deadline and a step's due time after a cadence move: the host rounds its due
// times to its milliseconds, so the steps of a fixed relation fall due within 0.67 ms of each other.
constexpr double kMoveMarginSeconds = 0.0007;
constexpr double kMinMoveSpacingSeconds = 1.0;
constexpr double kMaxMoveSpacingSeconds = 64.0;

// Where the early wait ends for a frame with (step) or without a host step before its sample.
double EarlyWaitEnd(const FramePacer& pacer, double nextDeadline, double interval, bool step) {
  return nextDeadline - std::clamp(pacer.lead[step ? 1 : 0] + kLeadSpareSeconds, kMinMarginSeconds, interval / 2.0);
}

}  // namespace

double PlanEarlyWaitEnd(FramePacer& pacer, double nextDeadline, double interval, bool stepDueKnown,
                        double stepDueAt) {
  // Unknown due times count as a step every frame: the larger lead is the safe one.
  pacer.stepExpected = !stepDueKnown || stepDueAt <= EarlyWaitEnd(pacer, nextDeadline, interval, true);
  return EarlyWaitEnd(pacer, nextDeadline, interval, pacer.stepExpected);
}

void LearnFrameLead(FramePacer& pacer, double nowSeconds) {
  if (pacer.earlyWaitEnd <= 0.0) return;
  const double lead = nowSeconds - pacer.earlyWaitEnd;
  pacer.earlyWaitEnd = 0.0;
  if (!std::isfinite(lead) || lead < 0.0) return;
  double& learned = pacer.lead[pacer.stepExpected ? 1 : 0];
  learned = std::clamp(lead > learned ? learned + kLeadUp : learned - kLeadDown, 0.0, kMaxLeadSeconds);
}

double PlanSampleTime(double deadline, double nowSeconds, bool stepDueKnown, double stepDueAt) {
  if (!stepDueKnown || !(stepDueAt > nowSeconds) || !(stepDueAt - kStepEdgeSeconds < deadline)) return deadline;
  return std::max(nowSeconds, stepDueAt - kStepEdgeSeconds);
}

double PlanCadenceMove(FramePacer& pacer, double nextDeadline, double interval, double nowSeconds,
                       bool stepDueKnown, double stepDueAt) {
  if (!stepDueKnown || !std::isfinite(stepDueAt) || !std::isfinite(nowSeconds)) return 0.0;
  const double earlyWaitEnd = EarlyWaitEnd(pacer, nextDeadline, interval, true);
  if (!(stepDueAt > earlyWaitEnd) || !(stepDueAt - kStepEdgeSeconds < nextDeadline)) return 0.0;
  if (pacer.lastMove > 0.0 && nowSeconds >= pacer.lastMove && nowSeconds - pacer.lastMove < pacer.moveSpacing)
    return 0.0;
  const double moved = stepDueAt - kStepEdgeSeconds - kMoveMarginSeconds;
  if (!(moved > nowSeconds)) return 0.0;
  // A fixed relation needs a move or two; where frames and steps drift apart, the moves come back
  // ever more rarely, so that they cost the cadence's mean rate next to nothing.
  pacer.moveSpacing = pacer.lastMove > 0.0 ? std::min(pacer.moveSpacing * 2.0, kMaxMoveSpacingSeconds)
                                           : kMinMoveSpacingSeconds;
  pacer.lastMove = nowSeconds;
  return moved;
}

double PlanPresentTime(double deadline, double sampleSeconds, double nowSeconds) {
  const double render = nowSeconds - sampleSeconds;
  if (!(sampleSeconds > 0.0) || !std::isfinite(render) || render < 0.0) return deadline;
  return deadline + std::min(render, kMaxRenderAllowanceSeconds);
}

double PlanPreciseSleep(double remainingSeconds, const SleepSlack& slack, double spinSeconds) {
  const double sleep = remainingSeconds - slack.seconds - spinSeconds;
  return sleep >= kMinSleepSeconds ? sleep : 0.0;
}

void LearnSleepOvershoot(SleepSlack& slack, double overshootSeconds) {
  if (!std::isfinite(overshootSeconds)) return;
  const double next = overshootSeconds > slack.seconds ? slack.seconds + kSlackUp : slack.seconds - kSlackDown;
  slack.seconds = std::clamp(next, kMinSlackSeconds, 2.0 * kPreciseSleepSlackLimit);
}
