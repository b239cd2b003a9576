#include "frame/presentation_clock.h"

#include <algorithm>
#include <cmath>

#include "host/host_layout.h"

namespace {

// Wall-clock jitter below this is rounding, not time going backwards.
constexpr double kWallTimeSlack = 1e-9;
constexpr double kConfigureTolerance = 1e-9;
// The host's phase is taken as is; an offset would shift the blend toward the newer tick.
constexpr double kRenderPhaseOffset = 0.0;

void PushTick(PresentationClock& clock, uint64_t tick, double wallTime) {
  if (clock.ringCount == 2) {
    clock.ring[clock.ringHead % 2] = {tick, wallTime};
    clock.ringHead = (clock.ringHead + 1) % 2;
  } else {
    clock.ring[(clock.ringHead + clock.ringCount) % 2] = {tick, wallTime};
    ++clock.ringCount;
  }
}

const ClockTickEntry& RingEntry(const PresentationClock& clock, uint64_t i) {
  return clock.ring[(clock.ringHead + i) % 2];
}

ClockSample ResetSample(PresentationClock& clock, ClockResetReason reason) {
  ResetClock(clock, reason);
  ClockSample sample{};
  sample.status = ClockSampleStatus::Reset;
  sample.resetReason = reason;
  sample.generation = clock.generation;
  return sample;
}

}  // namespace

void ResetClock(PresentationClock& clock, ClockResetReason /*reason*/) noexcept {
  ++clock.generation;
  clock.ringHead = 0;
  clock.ringCount = 0;
  clock.hasLastSample = false;
}

bool ConfigureClock(PresentationClock& clock, double fixedStep, double maxGap) noexcept {
  if (!std::isfinite(fixedStep) || fixedStep < 0.001 || fixedStep > 1.0 || !std::isfinite(maxGap) ||
      fixedStep > maxGap || maxGap > 10.0) {
    return false;
  }
  const bool same = clock.configured && std::fabs(clock.fixedStep - fixedStep) <= kConfigureTolerance &&
                    std::fabs(clock.maxGap - maxGap) <= kConfigureTolerance;
  clock.fixedStep = fixedStep;
  clock.maxGap = maxGap;
  if (same) return true;
  clock.configured = true;
  ResetClock(clock, ClockResetReason::Reconfigured);
  return true;
}

TickPublishResult PublishTick(PresentationClock& clock, uint64_t tick, double wallTime,
                              bool explicitDiscontinuity) noexcept {
  if (!clock.configured) return {false, ClockResetReason::None};
  if (!std::isfinite(wallTime)) {
    ResetClock(clock, ClockResetReason::NonMonotonicWallTime);
    return {false, ClockResetReason::NonMonotonicWallTime};
  }

  ClockResetReason reason = ClockResetReason::None;
  if (explicitDiscontinuity) {
    reason = ClockResetReason::ExplicitDiscontinuity;
  } else if (clock.ringCount == 0) {
    PushTick(clock, tick, wallTime);
    return {true, ClockResetReason::None};
  } else {
    const ClockTickEntry newest = RingEntry(clock, clock.ringCount - 1);
    if (tick <= newest.tick) {
      reason = ClockResetReason::NonMonotonicTick;
    } else if (tick - newest.tick > 1) {
      reason = ClockResetReason::MissingSnapshots;
    } else if (newest.wallTime > wallTime + kWallTimeSlack) {
      reason = ClockResetReason::NonMonotonicWallTime;
    } else if (wallTime - newest.wallTime > clock.maxGap) {
      reason = ClockResetReason::LongStall;
    } else {
      PushTick(clock, tick, wallTime);
      return {true, ClockResetReason::None};
    }
  }

  // The tick that broke continuity opens the new generation.
  ResetClock(clock, reason);
  PushTick(clock, tick, wallTime);
  return {true, reason};
}

ClockSample SampleClock(PresentationClock& clock, double wallTime, double alpha, bool alphaValid) noexcept {
  ClockSample sample{};
  sample.status = ClockSampleStatus::Unavailable;
  sample.resetReason = ClockResetReason::None;
  sample.generation = clock.generation;
  if (!clock.configured) return sample;

  if (!std::isfinite(wallTime)) return ResetSample(clock, ClockResetReason::NonMonotonicWallTime);
  if (clock.hasLastSample) {
    if (clock.lastSampleWallTime > wallTime + kWallTimeSlack) {
      return ResetSample(clock, ClockResetReason::NonMonotonicWallTime);
    }
    if (wallTime - clock.lastSampleWallTime > clock.maxGap) {
      return ResetSample(clock, ClockResetReason::LongStall);
    }
  }
  clock.lastSampleWallTime = wallTime;
  clock.hasLastSample = true;

  if (clock.ringCount < 2 || !alphaValid || !std::isfinite(alpha)) return sample;

  const ClockTickEntry older = RingEntry(clock, 0);
  const ClockTickEntry newer = RingEntry(clock, 1);
  if (newer.tick != older.tick + 1) return ResetSample(clock, ClockResetReason::MissingSnapshots);
  // Ticks stopped while rendering went on: the newest state is too old to blend from.
  if (wallTime - newer.wallTime > clock.maxGap) return ResetSample(clock, ClockResetReason::LongStall);

  sample.status = ClockSampleStatus::Interpolated;
  sample.previousTick = older.tick;
  sample.currentTick = newer.tick;
  sample.alpha = std::clamp(alpha, 0.0, 1.0);
  sample.presentationTime = (static_cast<double>(older.tick) + sample.alpha) * clock.fixedStep;
  return sample;
}

bool ClockSampleHasPair(const ClockSample& sample) noexcept {
  return sample.status == ClockSampleStatus::Interpolated && sample.previousTick != sample.currentTick;
}

RenderPhaseResult ComputeRenderPhase(uint64_t dueMs, double unitMs, double rate, uint64_t nowMs) noexcept {
  RenderPhaseResult result{false, 0.0, 0.0};
  const double due = static_cast<double>(dueMs) / 1000.0;
  const double unit = unitMs / 1000.0;
  const double now = static_cast<double>(nowMs) / 1000.0;
  const double offset = kRenderPhaseOffset;
  if (!std::isfinite(due) || !std::isfinite(unit) || !std::isfinite(rate) || !std::isfinite(now) ||
      !std::isfinite(offset)) {
    return result;
  }
  if (!(unit >= 1.0 && unit <= 1000.0) || !(rate >= 0.01 && rate <= 100.0) ||
      !(offset >= 0.0 && offset <= 1.0)) {
    return result;
  }

  const double step = unit / rate;
  const double raw = (now - (due - step)) / step;
  result.rawAlpha = raw;
  const double a = raw - offset;
  if (!std::isfinite(raw) || !std::isfinite(a) || raw < -0.25 || raw > 2.25 || a < -0.25 || a > 1.25) {
    return result;
  }
  result.alpha = std::clamp(a, 0.0, 1.0);
  result.ok = true;
  return result;
}

const wchar_t* ClockResetReasonName(ClockResetReason reason) noexcept {
  switch (reason) {
    case ClockResetReason::None: return L"none";
    case ClockResetReason::Reconfigured: return L"reconfigured";
    case ClockResetReason::ExplicitDiscontinuity: return L"explicit-discontinuity";
    case ClockResetReason::NonMonotonicWallTime: return L"non-monotonic-wall-time";
    case ClockResetReason::NonMonotonicTick: return L"non-monotonic-tick";
    case ClockResetReason::MissingSnapshots: return L"missing-snapshots";
    case ClockResetReason::LongStall: return L"long-stall";
  }
  return L"unknown";
}

const wchar_t* ClockSampleStatusName(ClockSampleStatus status) noexcept {
  switch (status) {
    case ClockSampleStatus::Unavailable: return L"unavailable";
    case ClockSampleStatus::Interpolated: return L"interpolated";
    case ClockSampleStatus::Reset: return L"reset";
  }
  return L"unknown";
}

bool IsCompletedStep(int message, float stepSeconds) noexcept {
  return message == host_layout::kCompletedStepMessage && std::isfinite(stepSeconds) && stepSeconds >= 0.001f &&
         stepSeconds <= 1.0f;
}
