#include "pacing/frame_pacing_plan.h"
#include "pacing/presentation_limiter.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr double kInterval = 1.0 / 144.0;

// The early wait leaves room for what the host takes before the sample, and a little more; a frame
// whose step falls due before the wait ends gets the room a step takes.
TEST(FramePacingPlan, EarlyWaitEndsTheLearnedLeadBeforeTheDeadline) {
  FramePacer pacer;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> work(0.0001, 0.0003);  // the host's render up to the sample
  const double stepWork = 0.0005;                               // and an update step
  double deadline = 100.0;
  int late = 0;
  for (int frame = 0; frame < 3000; ++frame) {
    const bool step = frame % 5 < 2;  // 144 FPS on 60 Hz steps
    const double due = step ? deadline - 0.004 : deadline + 0.004;
    const double end = PlanEarlyWaitEnd(pacer, deadline, kInterval, true, due);
    ASSERT_LT(end, deadline);
    ASSERT_GE(end, deadline - kInterval / 2.0);
    EXPECT_EQ(pacer.stepExpected, step);
    pacer.earlyWaitEnd = end;
    const double sampleWaitStarts = end + work(random) + (step ? stepWork : 0.0);
    if (frame >= 1000 && sampleWaitStarts > deadline) ++late;
    LearnFrameLead(pacer, sampleWaitStarts);
    deadline += kInterval;
  }
  EXPECT_LE(late, 40) << "about 2 % of frames at most";
  EXPECT_GT(pacer.lead[0], 0.00025);
  EXPECT_LT(pacer.lead[0], 0.00035) << "not far above what the host takes";
  EXPECT_GT(pacer.lead[1], 0.00075);
  EXPECT_LT(pacer.lead[1], 0.00085);
  // Without a known due time every frame may hold a step.
  PlanEarlyWaitEnd(pacer, deadline, kInterval, false, 0.0);
  EXPECT_TRUE(pacer.stepExpected);
}

TEST(FramePacingPlan, LeadRisesFastAndFallsSlowly) {
  FramePacer pacer;
  pacer.lead[0] = 0.0002;
  pacer.earlyWaitEnd = 10.0;
  LearnFrameLead(pacer, 10.002);
  const double raised = pacer.lead[0];
  EXPECT_GT(raised, 0.0002);
  EXPECT_EQ(pacer.earlyWaitEnd, 0.0) << "one measurement per early wait";
  LearnFrameLead(pacer, 10.004);
  EXPECT_EQ(pacer.lead[0], raised) << "no early wait to measure from";
  pacer.earlyWaitEnd = 20.0;
  LearnFrameLead(pacer, 20.0);
  EXPECT_LT(pacer.lead[0], raised);
  EXPECT_GT(pacer.lead[0], raised - 0.00001);
  EXPECT_EQ(pacer.lead[1], FramePacer{}.lead[1]) << "frames with a step learn apart";
}

TEST(FramePacingPlan, SampleGoesAheadOnlyOfAStepDueBeforeTheDeadline) {
  struct Case {
    const char* name;
    bool known;
    double due;
    double expected;
  };
  const double now = 50.0;
  const double deadline = 50.0004;
  const Case cases[] = {
      {"no step known", false, 50.0002, deadline},
      {"step after the deadline", true, 50.0009, deadline},
      {"step already due", true, 49.9999, deadline},
      {"step due before the deadline", true, 50.0002, 50.0002 - 0.00003},
      {"step due right now", true, 50.00001, now},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(PlanSampleTime(deadline, now, c.known, c.due), c.expected) << c.name;
  }
}

TEST(FramePacingPlan, CadenceMovesEverMoreRarelyToPutTheStepJustAfterTheDeadline) {
  struct Case {
    const char* name;
    double now;
    bool known;
    double due;       // relative to the next deadline, 0.004 s after now
    double expected;  // the new deadline relative to the old one; 0: the cadence stays
  };
  // One pacer through the rows in order: its learned lead is 0.5 ms,
  // so the host looks at its schedule 0.65 ms before the deadline.
  const Case cases[] = {
      {"no step known", 10.0, false, -0.0002, 0.0},
      {"step due before the host looks", 11.0, true, -0.0008, 0.0},
      {"step due after the deadline", 12.0, true, 0.0001, 0.0},
      {"step due between the look and the deadline", 13.0, true, -0.0002, -0.0002 - 0.00003 - 0.0007},
      {"again within the second", 13.5, true, -0.0002, 0.0},
      {"a second later", 14.0, true, -0.0001, -0.0001 - 0.00003 - 0.0007},
      {"then a second and a half is not enough", 15.5, true, -0.0001, 0.0},
      {"two seconds are", 16.0, true, -0.0001, -0.0001 - 0.00003 - 0.0007},
  };
  FramePacer pacer;
  for (const Case& c : cases) {
    const double deadline = c.now + 0.004;
    const double moved = PlanCadenceMove(pacer, deadline, kInterval, c.now, c.known, deadline + c.due);
    EXPECT_NEAR(moved == 0.0 ? 0.0 : moved - deadline, c.expected, 1e-9) << c.name;
  }

  PresentationLimiter limiter;
  ASSERT_TRUE(ConfigurePresentationLimiter(limiter, 240));
  const double first = NextDeadline(limiter, 5.0);
  MoveLastDeadline(limiter, first + 0.001);
  EXPECT_DOUBLE_EQ(NextDeadline(limiter, 5.001), first + limiter.interval) << "a later deadline is no move";
  MoveLastDeadline(limiter, first + limiter.interval - 0.0005);
  EXPECT_DOUBLE_EQ(NextDeadline(limiter, 5.002), first + 2.0 * limiter.interval - 0.0005) << "the cadence follows";
}

TEST(FramePacingPlan, PresentOfAnEarlySampleTrailsTheDeadlineByItsRenderTime) {
  struct Case {
    const char* name;
    double sample;
    double now;
    double expected;
  };
  const double deadline = 20.0;
  const Case cases[] = {
      {"rendered in 0.3 ms", 19.9995, 19.9998, 20.0003},
      {"sample time unknown", 0.0, 19.9998, deadline},
      {"clock went back", 19.9998, 19.9995, deadline},
      {"a stall is not waited for again", 19.9, 19.95, 20.01},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(PlanPresentTime(deadline, c.sample, c.now), c.expected, 1e-9) << c.name;
  }
}

TEST(FramePacingPlan, SleepsStopTheLearnedOvershootBeforeTheEnd) {
  SleepSlack slack;
  std::mt19937 random(5);
  std::uniform_real_distribution<double> overshoot(0.00005, 0.0001);
  for (int i = 0; i < 1000; ++i) LearnSleepOvershoot(slack, overshoot(random));
  EXPECT_GT(slack.seconds, 0.00009);
  EXPECT_LT(slack.seconds, 0.00015);
  EXPECT_NEAR(PlanPreciseSleep(0.003, slack, 0.0), 0.003 - slack.seconds, 1e-12);
  EXPECT_NEAR(PlanPreciseSleep(0.003, slack, 0.001), 0.002 - slack.seconds, 1e-12);
  EXPECT_EQ(PlanPreciseSleep(slack.seconds + 0.00001, slack, 0.0), 0.0) << "too short to sleep: yield";

  // Sleeps as coarse as the system tick push the slack past the limit: whole milliseconds instead.
  for (int i = 0; i < 200; ++i) LearnSleepOvershoot(slack, 0.0150);
  EXPECT_GT(slack.seconds, kPreciseSleepSlackLimit);
}

}  // namespace
