#include "frame/presentation_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kStep = 1.0 / 60.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double WallOf(uint64_t tick) { return 10.0 + static_cast<double>(tick) * kStep; }

// Configured at 60 Hz (generation 1), ticks 1..lastTick published one step apart.
PresentationClock RunningClock(uint64_t lastTick) {
  PresentationClock clock{};
  EXPECT_TRUE(ConfigureClock(clock, kStep, kDefaultClockMaxGap));
  for (uint64_t t = 1; t <= lastTick; ++t) EXPECT_TRUE(PublishTick(clock, t, WallOf(t), false).accepted);
  return clock;
}

TEST(InterpClock, Configure) {
  const double refused[][2] = {{0.0009, 0.25}, {1.5, 0.25}, {kInf, 0.25}, {kNaN, 0.25}, {0.5, 0.25}, {0.01, 10.5}};
  for (const auto& c : refused) {
    PresentationClock clock{};
    EXPECT_FALSE(ConfigureClock(clock, c[0], c[1])) << c[0] << " " << c[1];
    EXPECT_FALSE(clock.configured);
  }
  PresentationClock clock = RunningClock(2);
  EXPECT_EQ(clock.generation, 1u);
  EXPECT_TRUE(ConfigureClock(clock, kStep + 1e-10, kDefaultClockMaxGap));
  EXPECT_EQ(clock.generation, 1u);
  EXPECT_EQ(clock.ringCount, 2u);
  EXPECT_TRUE(ConfigureClock(clock, kStep + 1e-6, kDefaultClockMaxGap));
  EXPECT_EQ(clock.generation, 2u);
  EXPECT_EQ(clock.ringCount, 0u);
  EXPECT_TRUE(ConfigureClock(clock, kStep + 1e-6, 0.3));
  EXPECT_EQ(clock.generation, 3u);
}

TEST(InterpClock, UnconfiguredClockRefusesEverything) {
  PresentationClock clock{};
  EXPECT_FALSE(PublishTick(clock, 1, 1.0, false).accepted);
  EXPECT_EQ(SampleClock(clock, 1.0, 0.5, true).status, ClockSampleStatus::Unavailable);
  EXPECT_FALSE(clock.hasLastSample);
}

TEST(InterpClock, SamplesInterpolateOnlyWithTwoConsecutiveTicks) {
  PresentationClock clock = RunningClock(1);
  EXPECT_EQ(SampleClock(clock, WallOf(1), 0.5, true).status, ClockSampleStatus::Unavailable);
  PublishTick(clock, 2, WallOf(2), false);
  PublishTick(clock, 3, WallOf(3), false);
  const ClockSample s = SampleClock(clock, WallOf(3) + 0.005, 0.5, true);
  ASSERT_EQ(s.status, ClockSampleStatus::Interpolated);
  EXPECT_EQ(s.previousTick, 2u);
  EXPECT_EQ(s.currentTick, 3u);
  EXPECT_EQ(s.generation, 1u);
}

TEST(InterpClock, PublishBreaksContinuity) {
  const struct {
    const char* name;
    uint64_t tick;
    double wall;
    bool explicitFlag;
    ClockResetReason reason;
  } cases[] = {
      {"explicit flag", 4, WallOf(4), true, ClockResetReason::ExplicitDiscontinuity},
      {"tick skipped", 5, WallOf(5), false, ClockResetReason::MissingSnapshots},
      {"tick repeated", 3, WallOf(4), false, ClockResetReason::NonMonotonicTick},
      {"wall time backwards", 4, WallOf(3) - 0.001, false, ClockResetReason::NonMonotonicWallTime},
      {"wall time gap", 4, WallOf(3) + 0.3, false, ClockResetReason::LongStall},
  };
  for (const auto& c : cases) {
    PresentationClock clock = RunningClock(3);
    const TickPublishResult r = PublishTick(clock, c.tick, c.wall, c.explicitFlag);
    EXPECT_TRUE(r.accepted) << c.name;
    EXPECT_EQ(r.reason, c.reason) << c.name;
    EXPECT_EQ(clock.generation, 2u) << c.name;
    // The breaking tick is the first entry of the new generation.
    ASSERT_EQ(clock.ringCount, 1u) << c.name;
    EXPECT_EQ(clock.ring[clock.ringHead].tick, c.tick) << c.name;
  }
  PresentationClock clock = RunningClock(3);
  const TickPublishResult r = PublishTick(clock, 4, kNaN, false);
  EXPECT_FALSE(r.accepted);
  EXPECT_EQ(r.reason, ClockResetReason::NonMonotonicWallTime);
  EXPECT_EQ(clock.ringCount, 0u);
}

TEST(InterpClock, SampleResets) {
  const struct {
    const char* name;
    double firstWall;  // NaN: no earlier sample
    double wall;
    ClockResetReason reason;
  } cases[] = {
      {"render paused 0.3 s", WallOf(3) - 0.3, WallOf(3) + 0.001, ClockResetReason::LongStall},
      {"render time backwards", WallOf(3) + 0.01, WallOf(3) + 0.005, ClockResetReason::NonMonotonicWallTime},
      {"non-finite time", kNaN, kInf, ClockResetReason::NonMonotonicWallTime},
      {"ticks stopped", kNaN, WallOf(3) + 0.26, ClockResetReason::LongStall},
  };
  for (const auto& c : cases) {
    PresentationClock clock = RunningClock(3);
    if (!std::isnan(c.firstWall)) SampleClock(clock, c.firstWall, 0.5, true);
    const ClockSample s = SampleClock(clock, c.wall, 0.5, true);
    EXPECT_EQ(s.status, ClockSampleStatus::Reset) << c.name;
    EXPECT_EQ(s.resetReason, c.reason) << c.name;
    EXPECT_EQ(s.generation, 2u) << c.name;
    EXPECT_EQ(clock.ringCount, 0u) << c.name;
  }

  // After a render stall, two fresh ticks bring interpolation back.
  PresentationClock clock = RunningClock(3);
  SampleClock(clock, WallOf(3), 0.5, true);
  ASSERT_EQ(SampleClock(clock, WallOf(3) + 0.3, 0.5, true).status, ClockSampleStatus::Reset);
  PublishTick(clock, 4, WallOf(3) + 0.31, false);
  PublishTick(clock, 5, WallOf(3) + 0.31 + kStep, false);
  EXPECT_EQ(SampleClock(clock, WallOf(3) + 0.31 + kStep, 0.5, true).status, ClockSampleStatus::Interpolated);
}

TEST(InterpClock, AlphaIsClampedOrMakesTheSampleUnavailable) {
  const struct {
    double alpha;
    bool valid;
    ClockSampleStatus status;
    double expected;
  } cases[] = {
      {1.7, true, ClockSampleStatus::Interpolated, 1.0}, {-0.5, true, ClockSampleStatus::Interpolated, 0.0},
      {0.5, false, ClockSampleStatus::Unavailable, 0.0}, {kNaN, true, ClockSampleStatus::Unavailable, 0.0},
  };
  for (const auto& c : cases) {
    PresentationClock clock = RunningClock(3);
    const ClockSample s = SampleClock(clock, WallOf(3), c.alpha, c.valid);
    EXPECT_EQ(s.status, c.status) << c.alpha;
    EXPECT_EQ(s.alpha, c.expected) << c.alpha;
    EXPECT_EQ(clock.generation, 1u) << c.alpha;
  }
  PresentationClock clock{};
  ConfigureClock(clock, kStep, kDefaultClockMaxGap);
  PublishTick(clock, 120, 5.0, false);
  PublishTick(clock, 121, 5.0 + kStep, false);
  EXPECT_NEAR(SampleClock(clock, 5.0 + kStep, 0.5, true).presentationTime, 2.008333, 1e-6);
}

TEST(InterpClock, RenderPhase) {
  // 1000 ms unit at rate 50: one step is 20 ms; the phase is 0 at due - 20 ms and 1 at due.
  const struct {
    const char* name;
    double unitMs;
    double rate;
    uint64_t nowMs;
    bool ok;
    double alpha;
    double raw;
  } cases[] = {
      {"mid step", 1000.0, 50.0, 9990, true, 0.5, 0.5},
      {"raw 1.2 clamps to 1", 1000.0, 50.0, 10004, true, 1.0, 1.2},
      {"raw -0.2 clamps to 0", 1000.0, 50.0, 9976, true, 0.0, -0.2},
      {"raw 1.3 rejected", 1000.0, 50.0, 10006, false, 0.0, 1.3},
      {"raw -0.3 rejected", 1000.0, 50.0, 9974, false, 0.0, -0.3},
      {"unit below 1 s", 999.0, 50.0, 9990, false, 0.0, 0.0},
      {"rate above 100", 1000.0, 101.0, 9990, false, 0.0, 0.0},
      {"unit NaN", kNaN, 50.0, 9990, false, 0.0, 0.0},
  };
  for (const auto& c : cases) {
    const RenderPhaseResult r = ComputeRenderPhase(10000, c.unitMs, c.rate, c.nowMs);
    EXPECT_EQ(r.ok, c.ok) << c.name;
    EXPECT_NEAR(r.alpha, c.alpha, 1e-9) << c.name;
    EXPECT_NEAR(r.rawAlpha, c.raw, 1e-6) << c.name;
  }
}

TEST(InterpClock, Names) {
  const wchar_t* reasons[] = {L"none",           L"reconfigured",       L"explicit-discontinuity",
                              L"non-monotonic-wall-time", L"non-monotonic-tick", L"missing-snapshots",
                              L"long-stall",     L"unknown"};
  for (uint32_t code = 0; code < 8; ++code) {
    EXPECT_STREQ(ClockResetReasonName(static_cast<ClockResetReason>(code)), reasons[code]);
  }
  const wchar_t* statuses[] = {L"unavailable", L"interpolated", L"reset", L"unknown"};
  for (uint32_t code = 0; code < 4; ++code) {
    EXPECT_STREQ(ClockSampleStatusName(static_cast<ClockSampleStatus>(code)), statuses[code]);
  }
}

}  // namespace
