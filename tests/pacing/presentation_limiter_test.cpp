#include "pacing/presentation_limiter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

PresentationLimiter Configured(uint32_t fps) {
  PresentationLimiter limiter;
  EXPECT_TRUE(ConfigurePresentationLimiter(limiter, fps));
  return limiter;
}

TEST(PresentationLimiter, AcceptsOnlyTargetsFromOneToOneThousand) {
  struct Case {
    uint32_t fps;
    bool accepted;
  };
  for (const Case c : {Case{0, false}, Case{1, true}, Case{144, true}, Case{1000, true}, Case{1001, false}}) {
    PresentationLimiter limiter;
    EXPECT_EQ(ConfigurePresentationLimiter(limiter, c.fps), c.accepted) << c.fps;
    EXPECT_EQ(limiter.configured, c.accepted) << c.fps;
  }
}

TEST(PresentationLimiter, ReconfiguringKeepsTheCadenceOnlyForTheSameInterval) {
  PresentationLimiter limiter = Configured(60);
  NextDeadline(limiter, 10.0);
  NextDeadline(limiter, 10.001);
  ASSERT_TRUE(ConfigurePresentationLimiter(limiter, 60));
  EXPECT_TRUE(limiter.primed);
  EXPECT_DOUBLE_EQ(NextDeadline(limiter, 10.002), 10.0 + 2.0 / 60.0);

  ASSERT_TRUE(ConfigurePresentationLimiter(limiter, 120));
  EXPECT_FALSE(limiter.primed);
  EXPECT_EQ(NextDeadline(limiter, 10.003), 10.003);
}

TEST(PresentationLimiter, DeadlinesAdvanceByOneIntervalWhileTheLoopKeepsUp) {
  PresentationLimiter limiter = Configured(60);
  const double start = 100.0;
  EXPECT_EQ(NextDeadline(limiter, start), start);  // the first present starts the cadence
  double now = start;
  for (int frame = 1; frame <= 120; ++frame) {
    // The loop renders in 5 ms, then comes back for its deadline.
    now += 0.005;
    const double deadline = NextDeadline(limiter, now);
    EXPECT_NEAR(deadline, start + frame / 60.0, 1e-9) << frame;
    now = deadline;
  }
}

TEST(PresentationLimiter, LatePresentResynchronisesWithoutABurst) {
  PresentationLimiter limiter = Configured(60);
  NextDeadline(limiter, 1.0);
  const double onTime = NextDeadline(limiter, 1.005);
  EXPECT_DOUBLE_EQ(onTime, 1.0 + 1.0 / 60.0);
  // 40 ms late: present at once, and the next deadline counts from this present, not the missed ones.
  const double late = onTime + 0.040;
  EXPECT_EQ(NextDeadline(limiter, late), late);
  EXPECT_DOUBLE_EQ(NextDeadline(limiter, late + 0.001), late + 1.0 / 60.0);
}

TEST(PresentationLimiter, StallOrBackwardsTimeRestartsTheCadence) {
  // At 2 FPS the next candidate (9.0) is still ahead, so only a restart hands out "now".
  struct Case {
    const char* name;
    double now;  // the previous call was at 8.125 and got 8.5
    double expected;
  };
  const Case cases[] = {
      {"300 ms stall", 8.425, 8.425},
      {"just over 0.25 s", 8.376, 8.376},
      {"exactly 0.25 s keeps the cadence", 8.375, 9.0},
      {"backwards", 8.0625, 8.0625},
  };
  for (const Case& c : cases) {
    PresentationLimiter limiter = Configured(2);
    NextDeadline(limiter, 8.0);
    ASSERT_DOUBLE_EQ(NextDeadline(limiter, 8.125), 8.5);
    EXPECT_DOUBLE_EQ(NextDeadline(limiter, c.now), c.expected) << c.name;
    // After a restart the cadence counts from the restart.
    EXPECT_DOUBLE_EQ(NextDeadline(limiter, c.now + 0.01), c.expected + 0.5) << c.name;
  }
}

TEST(PresentationLimiter, ThousandFpsWithASlowLoopNeverWaits) {
  PresentationLimiter limiter = Configured(1000);
  double now = 3.0;
  for (int frame = 0; frame < 50; ++frame) {
    EXPECT_EQ(NextDeadline(limiter, now), now) << frame;
    now += 0.0015 + 0.0001 * (frame % 3);  // every frame takes longer than 1 ms
  }
}

TEST(PresentationLimiter, UnconfiguredOrNonFiniteTimeReturnsNow) {
  PresentationLimiter unconfigured;
  EXPECT_EQ(NextDeadline(unconfigured, 4.5), 4.5);
  EXPECT_FALSE(unconfigured.primed);

  PresentationLimiter limiter = Configured(60);
  NextDeadline(limiter, 1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(NextDeadline(limiter, nan)));
  EXPECT_FALSE(limiter.primed);
  EXPECT_EQ(NextDeadline(limiter, 1.001), 1.001);  // restarted, not 1 + 1/60
}

TEST(PresentationLimiter, WaitSleepsInWholeMillisecondsKeepingOneSpareThenYields) {
  struct Case {
    double remaining;
    WaitStepKind kind;
    uint32_t ms;
  };
  const Case cases[] = {
      {-0.001, WaitStepKind::Done, 0},  {0.0, WaitStepKind::Done, 0},
      {0.0165, WaitStepKind::Sleep, 15}, {0.0035, WaitStepKind::Sleep, 2},
      {0.00201, WaitStepKind::Sleep, 1}, {0.002, WaitStepKind::Yield, 0},
      {0.0001, WaitStepKind::Yield, 0},  {std::numeric_limits<double>::quiet_NaN(), WaitStepKind::Done, 0},
  };
  for (const Case& c : cases) {
    const WaitStep step = PlanWaitStep(c.remaining);
    EXPECT_EQ(step.kind, c.kind) << c.remaining;
    EXPECT_EQ(step.sleepMilliseconds, c.ms) << c.remaining;
  }
}

}  // namespace
