#include "frame/render_phase_refine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

namespace {

constexpr double kStepMs = 1000.0 / 60.0;
constexpr double kGridStartMs = 1000.37;  // the host's exact schedule starts off the millisecond
constexpr double kHostOffsetMs = -5000.0;  // host ms = floor(counter ms + offset) for the 1 ms clock

// A host as the scheduler presents it: a clock of whole milliseconds (or whatever the trace makes
// of it) and due times on an exact 60 Hz grid rounded to milliseconds.
struct HostTrace {
  std::function<uint64_t(double counterMs)> clock = [](double c) {
    return static_cast<uint64_t>(std::floor(c + kHostOffsetMs));
  };
  double readSpreadMs = 0.0;  // time the scheduler-clock call takes, random up to this
  std::mt19937 random{7};

  uint64_t Due(uint64_t hostMs) const {  // the first rounded grid time the host has not reached
    double k = std::floor((static_cast<double>(hostMs) - kGridStartMs) / kStepMs);
    while (std::llround(kGridStartMs + k * kStepMs) <= static_cast<int64_t>(hostMs)) k += 1.0;
    return static_cast<uint64_t>(std::llround(kGridStartMs + k * kStepMs));
  }
  PhaseObservation Read(double counterMs) {
    const double spread = std::uniform_real_distribution<double>(0.0, readSpreadMs)(random);
    PhaseObservation o;
    o.counterBeforeMs = counterMs;
    o.counterAfterMs = counterMs + spread;
    o.hostMs = clock(counterMs + spread / 2.0);
    o.dueMs = Due(o.hostMs);
    o.unitMs = 1000.0;
    o.rate = 60.0;
    return o;
  }
};

// The phase on the exact grid at a counter time, for the 1 ms host clock.
double ExactPhase(double counterMs) {
  const double host = counterMs + kHostOffsetMs;
  const double k = std::floor((host - kGridStartMs) / kStepMs);
  return (host - (kGridStartMs + k * kStepMs)) / kStepMs;
}

// Distance between phases, one step apart counting as none (just past a grid point the host may
// still be in the step before, at a phase just over 1).
double PhaseError(double phase, double counterMs) {
  const double d = phase - ExactPhase(counterMs);
  return std::fabs(d - std::nearbyint(d));
}

// Frames at a steady rate with a little jitter, from counter time startMs.
struct FrameRun {
  double startMs = 20000.0;
  double rateHz = 144.0;
  double jitterMs = 0.05;
};

template <class Check>
void Render(RenderPhaseRefiner& refiner, HostTrace& host, const FrameRun& run, int frames, Check check) {
  std::mt19937 random(11);
  std::normal_distribution<double> jitter(0.0, run.jitterMs);
  for (int i = 0; i < frames; ++i) {
    const double t = run.startMs + i * 1000.0 / run.rateHz + jitter(random);
    const PhaseObservation o = host.Read(t);
    const RenderPhaseResult hostPhase = ComputeRenderPhase(o.dueMs, o.unitMs, o.rate, o.hostMs);
    const RenderPhaseResult phase = RefineRenderPhase(refiner, o);
    // Whatever the host clock does, the phase stays within its resolution of the host's own (a
    // millisecond for the clock reading, half of one for the rounded due time), and leaves [0, 1]
    // only where the host's does.
    ASSERT_EQ(phase.ok, hostPhase.ok) << "frame " << i;
    ASSERT_LE(std::fabs(phase.rawAlpha - hostPhase.rawAlpha), 1.5 / kStepMs + 1e-9) << "frame " << i;
    if (hostPhase.rawAlpha >= 0.0 && hostPhase.rawAlpha <= 1.0) {
      ASSERT_GE(phase.rawAlpha, 0.0) << "frame " << i;
      ASSERT_LE(phase.rawAlpha, 1.0) << "frame " << i;
    }
    check(i, t, o, hostPhase, phase);
  }
}

uint64_t Fallbacks(const RenderPhaseRefiner& r, PhaseFallbackReason reason) {
  return r.counters.fallback[static_cast<uint32_t>(reason)];
}

TEST(RenderPhaseRefine, SteadyClockGivesTheExactGridPhaseWithinTheHostsResolution) {
  struct Case {
    double rateHz;
    double readSpreadMs;
    double jitterMs;
    double maxError;  // in steps; 0.006 is 0.1 ms
  };
  // Frames at the step rate land near step edges, where the phase holds until the host's clock
  // reaches the rounded due time: up to 0.33 ms there.
  for (const Case c : {Case{144.0, 0.0, 0.05, 0.006}, Case{240.0, 0.0, 0.02, 0.006}, Case{60.0, 0.0, 0.3, 0.02},
                       Case{240.0, 0.05, 0.05, 0.006}}) {
    SCOPED_TRACE(c.rateHz);
    RenderPhaseRefiner refiner;
    HostTrace host;
    host.readSpreadMs = c.readSpreadMs;
    double worstRefined = 0.0;
    double worstHost = 0.0;
    Render(refiner, host, {20000.0, c.rateHz, c.jitterMs}, 600, [&](int i, double t, const PhaseObservation&,
                                                                      const RenderPhaseResult& h,
                                                                      const RenderPhaseResult& p) {
      ASSERT_TRUE(p.ok);
      if (i < 60) return;  // learning
      worstRefined = std::max(worstRefined, PhaseError(p.rawAlpha, t + c.readSpreadMs / 2.0));
      worstHost = std::max(worstHost, PhaseError(h.rawAlpha, t));
    });
    // Away from step edges within 0.1 ms of the exact grid, also where the rounded due time and the
    // clock's edge pull the same way (the host's phase is then 1.3 ms off).
    EXPECT_LT(worstRefined, c.maxError);
    EXPECT_GT(worstHost, 0.04) << "the host's own phase is this coarse";
    EXPECT_GE(refiner.counters.refined, 540u);
    EXPECT_LE(Fallbacks(refiner, PhaseFallbackReason::Learning), 60u);
  }
}

// Host clocks the 1 ms model can't explain: the host's phase is used exactly, under its reason.
TEST(RenderPhaseRefine, UntrustedHostClocksFallBackToTheHostPhase) {
  struct Case {
    const char* name;
    std::function<uint64_t(double)> clock;
    PhaseFallbackReason reason;
    int exactFrames;  // of the 450 judged
  };
  const auto base = [](double c) { return c + kHostOffsetMs; };
  const auto whole = [](double ms) { return static_cast<uint64_t>(std::floor(ms)); };
  const Case cases[] = {
      {"coarse 15.625 ms", [&](double c) { return whole(std::floor(base(c) / 15.625) * 15.625); },
       PhaseFallbackReason::Coarse, 445},
      {"runs 2 % fast", [&](double c) { return whole(base(c) * 1.02); }, PhaseFallbackReason::Coarse, 300},
      {"runs 0.1 % fast", [&](double c) { return whole(base(c) * 1.001); }, PhaseFallbackReason::Drifted, 0},
      {"stands still", [&](double c) { return whole(std::min(base(c), 15100.0)); }, PhaseFallbackReason::Paused,
       445},
      {"jumps 150 ms every 0.5 s", [&](double c) { return whole(base(c) + 150.0 * std::floor(c / 500.0)); },
       PhaseFallbackReason::Jumped, 0},
      {"jumps 150 ms back every 0.5 s", [&](double c) { return whole(base(c) - 150.0 * std::floor(c / 500.0)); },
       PhaseFallbackReason::Jumped, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RenderPhaseRefiner refiner;
    HostTrace host;
    host.clock = c.clock;
    int exact = 0;
    Render(refiner, host, {20000.0, 144.0, 0.05}, 600,
           [&](int i, double, const PhaseObservation&, const RenderPhaseResult& h, const RenderPhaseResult& p) {
             if (i < 150) return;  // the still clock stops 100 ms into the run
             if (p.rawAlpha == h.rawAlpha && p.alpha == h.alpha) ++exact;
           });
    EXPECT_GE(exact, c.exactFrames);
    EXPECT_GT(Fallbacks(refiner, c.reason), 0u);
  }
}

TEST(RenderPhaseRefine, RelearnsAfterAPauseAndAJump) {
  RenderPhaseRefiner refiner;
  HostTrace host;
  // Paused for 300 ms at 21 s, then a jump 500 ms ahead at 22 s.
  host.clock = [](double c) {
    double t = c + kHostOffsetMs;
    if (c >= 21000.0) t = std::max(c - 300.0, 21000.0) + kHostOffsetMs;
    if (c >= 22000.0) t += 500.0;
    return static_cast<uint64_t>(std::floor(t));
  };
  uint64_t refinedBefore = 0;
  Render(refiner, host, {20000.0, 240.0, 0.03}, 960,
         [&](int i, double, const PhaseObservation&, const RenderPhaseResult&, const RenderPhaseResult&) {
           if (i == 200) refinedBefore = refiner.counters.refined;
         });
  EXPECT_GE(refinedBefore, 150u);
  EXPECT_GT(Fallbacks(refiner, PhaseFallbackReason::Paused), 50u);
  EXPECT_GE(Fallbacks(refiner, PhaseFallbackReason::Jumped), 1u);
  // Of the 960 frames about 72 fall in the pause; a few dozen more learn again after each event.
  EXPECT_GT(refiner.counters.refined, 760u);
}

TEST(RenderPhaseRefine, RejectedHostPhaseStaysRejected) {
  RenderPhaseRefiner refiner;
  HostTrace host;
  Render(refiner, host, {20000.0, 144.0, 0.05}, 100, [](int, double, const PhaseObservation&,
                                                        const RenderPhaseResult&, const RenderPhaseResult&) {});
  PhaseObservation o = host.Read(20000.0 + 100 * 1000.0 / 144.0);
  o.dueMs = o.hostMs + 40;  // more than a step ahead: phase -1.4
  const RenderPhaseResult phase = RefineRenderPhase(refiner, o);
  EXPECT_FALSE(phase.ok);
  EXPECT_EQ(phase.rawAlpha, ComputeRenderPhase(o.dueMs, o.unitMs, o.rate, o.hostMs).rawAlpha);
}

TEST(RenderPhaseRefine, TellsWhenTheNextStepFallsDue) {
  RenderPhaseRefiner refiner;
  HostTrace host;
  double counterMs = 0.0;
  EXPECT_FALSE(StepDueAt(refiner, 16000, &counterMs)) << "nothing learned yet";
  Render(refiner, host, {20000.0, 144.0, 0.05}, 200, [](int, double, const PhaseObservation&,
                                                        const RenderPhaseResult&, const RenderPhaseResult&) {});
  ASSERT_TRUE(StepDueAt(refiner, 16000, &counterMs));
  const double edge = 16000.0 - kHostOffsetMs;  // where the host clock turns to 16000
  EXPECT_LE(counterMs, edge);
  EXPECT_GT(counterMs, edge - 0.3);
}

}  // namespace
