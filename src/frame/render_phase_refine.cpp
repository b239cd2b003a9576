#include "frame/render_phase_refine.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kHostResolutionMs = 1.0;
// Slack for the counter reads around the host call and for rounding in the conversions.
constexpr double kReadToleranceMs = 0.02;
// Clocks of one machine agree to well within this; a larger disagreement shows up as drift.
constexpr double kDriftPerMs = 1e-4;
// A host clock stepping further than this at once jumped; less is a coarse clock's tick.
constexpr double kCoarseStepLimitMs = 32.0;
constexpr double kCoarseHoldMs = 1000.0;
constexpr uint32_t kTrustReadings = 8;
constexpr double kTrustWidthMs = 0.5;
constexpr uint32_t kGridTrustDues = 4;
// The accepted phase range of the host's formula (the phase offset is 0).
constexpr double kPhaseLow = -0.25;
constexpr double kPhaseHigh = 1.25;

void ForgetBounds(RenderPhaseRefiner& r, PhaseFallbackReason reason) {
  r.haveBounds = false;
  r.consistentReadings = 0;
  r.reason = reason;
}

// Classifies a reading that the 1 ms model can't explain; None when it fits.
bool ClockBroke(RenderPhaseRefiner& r, const PhaseObservation& o, PhaseFallbackReason* why) {
  if (o.hostMs < r.lastHostMs) {
    *why = PhaseFallbackReason::Jumped;
    return true;
  }
  const bool coarseHeld = o.counterBeforeMs < r.coarseUntilMs;
  if (o.hostMs > r.lastHostMs) {
    const double advance = static_cast<double>(o.hostMs - r.lastHostMs);
    const double counterAdvance = o.counterAfterMs - r.lastCounterBeforeMs;
    if (advance <= counterAdvance + kHostResolutionMs + kReadToleranceMs) return false;
    if (advance - counterAdvance <= kCoarseStepLimitMs) {
      r.coarseUntilMs = o.counterAfterMs + kCoarseHoldMs;
      *why = PhaseFallbackReason::Coarse;
    } else {
      *why = PhaseFallbackReason::Jumped;
    }
    return true;
  }
  const double standing = o.counterBeforeMs - r.valueSeenAfterMs;
  if (standing <= kHostResolutionMs + kReadToleranceMs) return false;
  *why = coarseHeld && standing <= kCoarseStepLimitMs ? PhaseFallbackReason::Coarse : PhaseFallbackReason::Paused;
  return true;
}

void LearnEdges(RenderPhaseRefiner& r, const PhaseObservation& o) {
  PhaseFallbackReason why = PhaseFallbackReason::Learning;
  const bool broke = r.haveLast && ClockBroke(r, o, &why);
  if (!r.haveLast || o.hostMs != r.lastHostMs) r.valueSeenAfterMs = o.counterAfterMs;
  r.haveLast = true;
  r.lastHostMs = o.hostMs;
  r.lastCounterBeforeMs = o.counterBeforeMs;
  if (broke) return ForgetBounds(r, why);

  // hostMs <= counter + offset < hostMs + 1 for a counter time between the two reads.
  const double host = static_cast<double>(o.hostMs);
  const double low = host - o.counterAfterMs - kReadToleranceMs;
  const double high = host + kHostResolutionMs - o.counterBeforeMs + kReadToleranceMs;
  if (r.haveBounds) {
    const double widen = std::max(0.0, o.counterBeforeMs - r.boundsCounterMs) * kDriftPerMs;
    const double newLow = std::max(r.offsetLow - widen, low);
    const double newHigh = std::min(r.offsetHigh + widen, high);
    if (newLow <= newHigh) {
      r.offsetLow = newLow;
      r.offsetHigh = newHigh;
      r.boundsCounterMs = o.counterBeforeMs;
      ++r.consistentReadings;
      return;
    }
    r.reason = PhaseFallbackReason::Drifted;
  }
  r.haveBounds = true;
  r.offsetLow = low;
  r.offsetHigh = high;
  r.boundsCounterMs = o.counterBeforeMs;
  r.consistentReadings = 1;
}

bool EdgesTrusted(const RenderPhaseRefiner& r, double counterMs) {
  return r.haveBounds && r.consistentReadings >= kTrustReadings && r.offsetHigh - r.offsetLow <= kTrustWidthMs &&
         counterMs >= r.coarseUntilMs;
}

// Signed distance of x from the grid point nearest to it, for a grid of the given step.
double GridDeviation(double x, double step) { return x - step * std::nearbyint(x / step); }

void LearnGrid(RenderPhaseRefiner& r, uint64_t dueMs, double stepMs) {
  if (r.haveGrid && r.gridStepMs == stepMs && r.gridLastDueMs == dueMs) return;
  const double due = static_cast<double>(dueMs);
  if (!r.haveGrid || r.gridStepMs != stepMs) {
    r.haveGrid = true;
    r.gridStepMs = stepMs;
    r.gridReferenceMs = due;
    r.gridDeviationLow = r.gridDeviationHigh = 0.0;
    r.gridLastDueMs = dueMs;
    r.gridDueCount = 1;
    return;
  }
  r.gridLastDueMs = dueMs;
  const double deviation = GridDeviation(due - r.gridReferenceMs, stepMs);
  const double low = std::min(r.gridDeviationLow, deviation);
  const double high = std::max(r.gridDeviationHigh, deviation);
  // Due times rounded to whole milliseconds spread over less than one: anything wider is another
  // schedule (a restart after a stall, or a host that does not keep an exact grid).
  if (high - low >= kHostResolutionMs) {
    r.gridReferenceMs = due;
    r.gridDeviationLow = r.gridDeviationHigh = 0.0;
    r.gridDueCount = 1;
    return;
  }
  r.gridDeviationLow = low;
  r.gridDeviationHigh = high;
  ++r.gridDueCount;
}

// The due time on the exact grid, or the host's own while the grid is not known.
double GridDue(const RenderPhaseRefiner& r, uint64_t dueMs) {
  const double due = static_cast<double>(dueMs);
  if (!r.haveGrid || r.gridDueCount < kGridTrustDues) return due;
  const double centre = r.gridReferenceMs + (r.gridDeviationLow + r.gridDeviationHigh) / 2.0;
  const double deviation = GridDeviation(due - centre, r.gridStepMs);
  return std::fabs(deviation) <= kHostResolutionMs ? due - deviation : due;
}

}  // namespace

RenderPhaseResult RefineRenderPhase(RenderPhaseRefiner& refiner, const PhaseObservation& o) noexcept {
  const RenderPhaseResult host = ComputeRenderPhase(o.dueMs, o.unitMs, o.rate, o.hostMs);
  if (!std::isfinite(o.counterBeforeMs) || !std::isfinite(o.counterAfterMs) || o.counterAfterMs < o.counterBeforeMs) {
    ResetRenderPhaseRefiner(refiner);
  } else {
    LearnEdges(refiner, o);
  }
  if (!host.ok) return host;
  const double step = o.unitMs / o.rate;  // the host accepted it: finite and positive
  LearnGrid(refiner, o.dueMs, step);

  const double counter = (o.counterBeforeMs + o.counterAfterMs) / 2.0;
  if (!EdgesTrusted(refiner, counter)) {
    const PhaseFallbackReason reason =
        counter < refiner.coarseUntilMs ? PhaseFallbackReason::Coarse : refiner.reason;
    ++refiner.counters.fallback[static_cast<uint32_t>(reason)];
    return host;
  }
  refiner.reason = PhaseFallbackReason::Learning;
  const double hostNow = static_cast<double>(o.hostMs);
  const double now = std::clamp(counter + (refiner.offsetLow + refiner.offsetHigh) / 2.0, hostNow,
                                hostNow + kHostResolutionMs);
  const double gridDue = GridDue(refiner, o.dueMs);
  const double raw = (now - (gridDue - step)) / step;
  // Within the host clock's resolution of the host's phase, and never across a step edge the host
  // has not reached: until its clock turns to the due time the step has not run, so the phase holds
  // at 1, and once it has, the phase starts from 0. The host's due time went through its clock too,
  // rounded to it: the resolution is measured from the host's phase with the due time back on the
  // grid, or every step whose due time was rounded up would hold the phase back near its end.
  const double reach = kHostResolutionMs / step;
  const double hostOnGrid = host.rawAlpha + (static_cast<double>(o.dueMs) - gridDue) / step;
  const double low = std::max({kPhaseLow, hostOnGrid - reach, host.rawAlpha >= 0.0 ? 0.0 : kPhaseLow});
  const double high = std::min({kPhaseHigh, hostOnGrid + reach, host.rawAlpha <= 1.0 ? 1.0 : kPhaseHigh});
  RenderPhaseResult refined{true, 0.0, std::clamp(raw, low, high)};
  refined.alpha = std::clamp(refined.rawAlpha, 0.0, 1.0);
  ++refiner.counters.refined;
  return refined;
}

bool StepDueAt(const RenderPhaseRefiner& refiner, uint64_t dueMs, double* counterMs) noexcept {
  if (!EdgesTrusted(refiner, refiner.boundsCounterMs)) return false;
  *counterMs = static_cast<double>(dueMs) - refiner.offsetHigh;
  return true;
}

void ResetRenderPhaseRefiner(RenderPhaseRefiner& refiner) noexcept {
  const PhaseRefineCounters counters = refiner.counters;
  refiner = RenderPhaseRefiner{};
  refiner.counters = counters;
}

const wchar_t* PhaseFallbackReasonName(PhaseFallbackReason reason) noexcept {
  switch (reason) {
    case PhaseFallbackReason::Learning: return L"learning";
    case PhaseFallbackReason::Coarse: return L"coarse";
    case PhaseFallbackReason::Paused: return L"paused";
    case PhaseFallbackReason::Jumped: return L"jumped";
    case PhaseFallbackReason::Drifted: return L"drifted";
    case PhaseFallbackReason::Count: break;
  }
  return L"unknown";
}
