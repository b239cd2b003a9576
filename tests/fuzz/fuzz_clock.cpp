// The presentation clock and the render phase over arbitrary steps, ticks, times and phases:
// whatever arrives, a sample that says "interpolated" names two consecutive ticks of the
// current generation with a usable blend factor.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "frame/presentation_clock.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "clock check failed: %s\n", what);
  std::abort();
}

double AnyTime(FuzzedDataProvider& in, double base) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return base + in.ConsumeIntegralInRange<int>(-3, 40) / 240.0;  // near the last one
    case 1: return base + in.ConsumeFloatingPointInRange<double>(-1.0, 1.0);
    case 2: return in.ConsumeBool() ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    default: return in.ConsumeFloatingPoint<double>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  PresentationClock clock;
  uint64_t tick = 0;
  double now = 1000.0;
  uint64_t generation = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0: {
        const double step = in.ConsumeBool() ? 1.0 / 60 : in.ConsumeFloatingPoint<double>();
        const double gap = in.ConsumeBool() ? kDefaultClockMaxGap : in.ConsumeFloatingPoint<double>();
        const bool ok = ConfigureClock(clock, step, gap);
        if (ok && !(std::isfinite(step) && step >= 0.001 && step <= 1.0 && gap >= step && gap <= 10.0))
          Fail("configure accepted a bad step");
        break;
      }
      case 1: {
        tick = in.ConsumeBool() ? tick + 1 : in.ConsumeIntegral<uint64_t>();
        now = AnyTime(in, now);
        const TickPublishResult r = PublishTick(clock, tick, now, in.ConsumeBool());
        if (r.accepted && clock.ring[(clock.ringHead + clock.ringCount - 1) % 2].tick != tick) Fail("tick not newest");
        break;
      }
      case 2: {
        const double wall = AnyTime(in, now);
        const double alpha = in.ConsumeBool() ? in.ConsumeProbability<double>() : in.ConsumeFloatingPoint<double>();
        const ClockSample s = SampleClock(clock, wall, alpha, in.ConsumeBool());
        if (s.generation != clock.generation) Fail("sample generation");
        if (s.status == ClockSampleStatus::Interpolated) {
          if (s.currentTick != s.previousTick + 1 || !(s.alpha >= 0 && s.alpha <= 1)) Fail("interpolated pair");
          if (!ClockSampleHasPair(s)) Fail("pair not seen");
          if (!std::isfinite(s.presentationTime)) Fail("presentation time");
        } else if (s.previousTick != 0 || s.currentTick != 0 || s.alpha != 0) {
          Fail("fields set without a pair");
        }
        if ((s.status == ClockSampleStatus::Reset) != (s.resetReason != ClockResetReason::None)) Fail("reason");
        break;
      }
      case 3: {
        // Either anything at all, or a scheduler near its due time with a plausible unit and rate.
        const bool plausible = in.ConsumeBool();
        const uint64_t due = in.ConsumeIntegral<uint64_t>();
        const double unit = plausible ? in.ConsumeFloatingPointInRange<double>(0.5, 1001.0) : in.ConsumeFloatingPoint<double>();
        const double rate = plausible ? in.ConsumeFloatingPointInRange<double>(0.005, 101.0) : in.ConsumeFloatingPoint<double>();
        const uint64_t now = plausible ? due - in.ConsumeIntegralInRange<uint64_t>(0, 2000) : in.ConsumeIntegral<uint64_t>();
        const RenderPhaseResult p = ComputeRenderPhase(due, unit, rate, now);
        if (p.ok && !(p.alpha >= 0 && p.alpha <= 1)) Fail("phase alpha");
        if (!p.ok && p.alpha != 0) Fail("phase alpha without a phase");
        break;
      }
      case 4:
        IsCompletedStep(in.ConsumeIntegral<int>(), in.ConsumeFloatingPoint<float>());
        ResetClock(clock, ClockResetReason::ExplicitDiscontinuity);
        ClockSampleStatusName(static_cast<ClockSampleStatus>(in.ConsumeIntegral<uint8_t>() % 4));
        break;
    }
    if (clock.ringCount > 2 || clock.ringHead > 1) Fail("ring");
    if (clock.generation < generation) Fail("generation went back");
    generation = clock.generation;
    ClockResetReasonName(static_cast<ClockResetReason>(in.ConsumeIntegral<uint8_t>() % 9));
  }
  return 0;
}
