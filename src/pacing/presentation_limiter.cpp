#include "pacing/presentation_limiter.h"

#include <cmath>

namespace {

constexpr double kSleepThresholdSeconds = 0.002;
constexpr double kSleepSpareSeconds = 0.001;
// Deadlines are at most a few intervals ahead; the cap only keeps a bogus one from overflowing.
constexpr double kMaxSleepMilliseconds = 1000.0;

}  // namespace

bool ConfigurePresentationLimiter(PresentationLimiter& limiter, uint32_t targetFps) {
  if (targetFps < kLimiterMinFps || targetFps > kLimiterMaxFps) {
    return false;
  }
  const double interval = 1.0 / static_cast<double>(targetFps);
  if (limiter.configured && limiter.interval == interval) {
    return true;
  }
  limiter.interval = interval;
  limiter.configured = true;
  ResetPresentationLimiter(limiter);
  return true;
}

void ResetPresentationLimiter(PresentationLimiter& limiter) {
  limiter.primed = false;
  limiter.lastDeadline = 0.0;
  limiter.lastCall = 0.0;
}

double NextDeadline(PresentationLimiter& limiter, double nowSeconds) {
  if (!limiter.configured || !std::isfinite(nowSeconds)) {
    ResetPresentationLimiter(limiter);
    return nowSeconds;
  }
  if (limiter.primed && limiter.lastCall <= nowSeconds &&
      nowSeconds - limiter.lastCall <= kLimiterRestartGapSeconds) {
    const double candidate = limiter.lastDeadline + limiter.interval;
    limiter.lastCall = nowSeconds;
    if (nowSeconds >= candidate) {
      // Late: present now and count the next interval from here, so there is no catch-up burst.
      limiter.lastDeadline = nowSeconds;
      return nowSeconds;
    }
    limiter.lastDeadline = candidate;
    return candidate;
  }
  limiter.primed = true;
  limiter.lastDeadline = nowSeconds;
  limiter.lastCall = nowSeconds;
  return nowSeconds;
}

void MoveLastDeadline(PresentationLimiter& limiter, double deadlineSeconds) {
  if (limiter.primed && std::isfinite(deadlineSeconds) && deadlineSeconds < limiter.lastDeadline)
    limiter.lastDeadline = deadlineSeconds;
}

WaitStep PlanWaitStep(double remainingSeconds) {
  if (!(remainingSeconds > 0.0)) {
    return {WaitStepKind::Done, 0};
  }
  if (remainingSeconds > kSleepThresholdSeconds) {
    const double ms = std::trunc((remainingSeconds - kSleepSpareSeconds) * 1000.0);
    if (ms > 0.0) {
      return {WaitStepKind::Sleep, static_cast<uint32_t>(std::fmin(ms, kMaxSleepMilliseconds))};
    }
  }
  return {WaitStepKind::Yield, 0};
}
