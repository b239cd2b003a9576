// The mouse-look preview's model of the host: smoothing, count scale, gain, trust and the lead.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "input/look_model.h"

namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

SmoothingRecord Smoothing(int32_t window, float weight, std::initializer_list<float> xs) {
  SmoothingRecord r;
  r.present = true;
  r.window = window;
  r.weight = weight;
  for (float x : xs) {
    r.x[r.size] = x;
    r.y[r.size] = -x;
    ++r.size;
  }
  return r;
}

TEST(SmoothingModelTest, WeighsTheHistoryTheWayTheHostWillAtItsNextStep) {
  struct Case {
    const char* name;
    SmoothingRecord record;
    bool ok;
    float sumX, total;
  };
  SmoothingRecord tooLong = Smoothing(40, 0.5f, {});
  tooLong.size = 33;
  const Case cases[] = {
      {"off", SmoothingRecord{}, true, 0.0f, 1.0f},
      // Window wider than the list: every sample is a term: 1 + .5 + .25, 1*.5 + 2*.25.
      {"window wider than list", Smoothing(5, 0.5f, {1.0f, 2.0f}), true, 1.0f, 1.75f},
      // Window as wide as the list: the oldest sample has dropped out of the host's window.
      {"window equal to list", Smoothing(2, 0.5f, {1.0f, 2.0f}), true, 0.5f, 1.5f},
      {"empty list", Smoothing(3, 0.5f, {}), true, 0.0f, 1.0f},
      {"weight 4 is allowed", Smoothing(3, 4.0f, {1.0f}), true, 4.0f, 5.0f},
      {"window 0", Smoothing(0, 0.5f, {1.0f}), false, 0.0f, 1.0f},
      {"weight above 4", Smoothing(3, 4.5f, {1.0f}), false, 0.0f, 1.0f},
      {"negative weight", Smoothing(3, -0.1f, {1.0f}), false, 0.0f, 1.0f},
      {"weight NaN", Smoothing(3, kNan, {1.0f}), false, 0.0f, 1.0f},
      {"sample NaN", Smoothing(3, 0.5f, {1.0f, kNan}), false, 0.0f, 1.0f},
      {"size over 32", tooLong, false, 0.0f, 1.0f},
  };
  for (const Case& c : cases) {
    const SmoothingSums sums = ModelSmoothing(c.record);
    EXPECT_EQ(sums.ok, c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_FLOAT_EQ(sums.sumX, c.sumX) << c.name;
    EXPECT_FLOAT_EQ(sums.sumY, -c.sumX) << c.name;
    EXPECT_FLOAT_EQ(sums.total, c.total) << c.name;
  }
}

TEST(WrapAngleTest, TakesEveryAngleIntoMinusPiToPi) {
  const float pi = 3.14159265f;
  struct Case {
    float in, out;
  };
  const Case cases[] = {{0.0f, 0.0f}, {1.0f, 1.0f}, {pi + 0.5f, -pi + 0.5f}, {-pi - 0.5f, pi - 0.5f},
                        {4.0f * pi + 0.25f, 0.25f}, {kNan, 0.0f}, {std::numeric_limits<float>::infinity(), 0.0f}};
  for (const Case& c : cases) EXPECT_NEAR(WrapAngle(c.in), c.out, 1e-5f) << c.in;
  EXPECT_LT(WrapAngle(pi), pi);
}

TEST(LookGainTest, BothAxesAgreeingTeachTheGainAtOnce) {
  LookGainEstimator e;
  const AxesExplained first = UpdateLookGain(e, 0.01f, 0.02f, 0.03f, 0.06f);
  EXPECT_TRUE(e.hasGain);
  EXPECT_FLOAT_EQ(e.gain, 3.0f);
  EXPECT_TRUE(first.yaw);
  EXPECT_TRUE(first.pitch);
}

TEST(LookGainTest, OneAxisNeedsTwoAgreeingTicks) {
  LookGainEstimator e;
  AxesExplained r = UpdateLookGain(e, 0.01f, 0.0f, 0.03f, 0.0f);
  EXPECT_FALSE(e.hasGain);
  EXPECT_FALSE(r.yaw);
  r = UpdateLookGain(e, 0.02f, 0.0f, 0.0605f, 0.0f);  // within 3 %
  ASSERT_TRUE(e.hasGain);
  EXPECT_NEAR(e.gain, 3.025f, 1e-5f);
  EXPECT_TRUE(r.yaw);
  EXPECT_TRUE(r.pitch);  // no look, no turn: explained by any gain
}

TEST(LookGainTest, AChangedGainIsUnexplainedOnceThenRelearnt) {
  LookGainEstimator e;
  UpdateLookGain(e, 0.01f, 0.01f, 0.03f, 0.03f);
  ASSERT_FLOAT_EQ(e.gain, 3.0f);
  // Yaw alone at a doubled gain: the first tick is only a candidate.
  AxesExplained r = UpdateLookGain(e, 0.01f, 0.0f, 0.06f, 0.0f);
  EXPECT_FALSE(r.yaw);
  EXPECT_FLOAT_EQ(e.gain, 3.0f);
  r = UpdateLookGain(e, 0.01f, 0.0f, 0.06f, 0.0f);
  EXPECT_TRUE(r.yaw);
  EXPECT_FLOAT_EQ(e.gain, 6.0f);
}

TEST(LookGainTest, ATurnTheLookDoesNotAccountForIsUnexplained) {
  LookGainEstimator e;
  UpdateLookGain(e, 0.01f, 0.01f, 0.03f, 0.03f);
  // A scripted turn of the same size the other way, pitch as predicted.
  const AxesExplained r = UpdateLookGain(e, 0.01f, 0.01f, -0.03f, 0.03f);
  EXPECT_FALSE(r.yaw);
  EXPECT_TRUE(r.pitch);
  EXPECT_FLOAT_EQ(e.gain, 3.0f);
  // Tiny looks leave the gain alone but still judge within the floor.
  const AxesExplained small = UpdateLookGain(e, 0.0001f, 0.0f, 0.0003f, 0.0f);
  EXPECT_TRUE(small.yaw);
}

TEST(CountScaleTest, LearntOnlyFromADominantAxisOfAtLeastFourCounts) {
  struct Case {
    int32_t x, y;
    float vx, vy;
    bool learnt;
    float scale;
  };
  const Case cases[] = {
      {4, 0, 0.004f, 0.0f, true, 0.001f},
      {3, 0, 0.003f, 0.0f, false, 0.0f},
      {-3, 2, -0.003f, 0.002f, false, 0.0f},
      {1, -8, 0.001f, -0.008f, true, 0.001f},
      {5, 5, 0.01f, 0.005f, true, 0.002f},       // a tie takes yaw
      {10, 0, 2.0f, 0.0f, false, 0.0f},          // 0.2: above 0.1
      {10, 0, 1.0f, 0.0f, true, 0.1f},           // 0.1 inclusive
      {10, 0, -0.01f, 0.0f, false, 0.0f},        // negative
      {100, 0, 0.000001f, 0.0f, false, 0.0f},    // 1e-8: below 1e-7
  };
  for (const Case& c : cases) {
    float scale = -1.0f;
    EXPECT_EQ(LearnCountScale(c.x, c.y, c.vx, c.vy, &scale), c.learnt) << c.x << "," << c.y;
    if (c.learnt) {
      EXPECT_NEAR(scale, c.scale, 1e-7f) << c.x << "," << c.y;
    }
  }
}

TEST(AxisTrustTest, FourExplainedTicksInARowEarnTrustAndOneMissLosesIt) {
  AxisTrust axis;
  const bool sequence[] = {true, true, true, true, true, false, true};
  const bool trusted[] = {false, false, false, true, true, false, false};
  const bool withheld[] = {true, true, true, false, false, false, true};
  for (size_t i = 0; i < std::size(sequence); ++i) {
    EXPECT_EQ(JudgeAxis(axis, sequence[i]), withheld[i]) << i;
    EXPECT_EQ(axis.trusted, trusted[i]) << i;
  }
}

TEST(AxisTrustTest, TheWeightFadesOverFiftyMillisecondsOfFrames) {
  AxisTrust axis;
  axis.trusted = true;
  EXPECT_DOUBLE_EQ(FadeStep(0.0, 1.0), 0.0);  // no frame before
  EXPECT_DOUBLE_EQ(FadeStep(1.0, 1.0), 0.0);  // time did not move
  EXPECT_DOUBLE_EQ(FadeStep(1.0, 0.9), 0.0);
  EXPECT_DOUBLE_EQ(FadeStep(1.0, 2.0), 1.0);  // a long frame is one full fade, not more
  for (int frame = 0; frame < 4; ++frame) StepAxisWeight(axis, FadeStep(1.0, 1.0125));
  EXPECT_FLOAT_EQ(axis.weight, 1.0f);
  StepAxisWeight(axis, 0.5);
  EXPECT_FLOAT_EQ(axis.weight, 1.0f);
  axis.trusted = false;
  StepAxisWeight(axis, FadeStep(1.0, 1.025));
  EXPECT_FLOAT_EQ(axis.weight, 0.5f);
  StepAxisWeight(axis, FadeStep(1.0, 1.025));
  EXPECT_FLOAT_EQ(axis.weight, 0.0f);
  StepAxisWeight(axis, 1.0);
  EXPECT_FLOAT_EQ(axis.weight, 0.0f);
}

LeadInputs SmoothingOffInputs() {
  LeadInputs in;
  in.alpha = 0.25;
  in.lookYaw = 0.02f;
  in.lookPitch = -0.01f;
  in.pendingX = 10;
  in.pendingY = 4;
  in.countScale = 0.001f;
  in.gain = 2.0f;
  in.yawWeight = 1.0f;
  in.pitchWeight = 1.0f;
  in.sums.ok = true;
  return in;
}

TEST(LeadTest, WithoutSmoothingTheRestOfTheTickPlusPendingCountsTimesTheGain) {
  const Lead lead = ComputeLead(SmoothingOffInputs());
  ASSERT_EQ(lead.result, LeadResult::Lead);
  EXPECT_NEAR(lead.yaw, (0.75f * 0.02f + 10 * 0.001f) * 2.0f, 1e-6f);
  EXPECT_NEAR(lead.pitch, (0.75f * -0.01f + 4 * 0.001f) * 2.0f, 1e-6f);
}

TEST(LeadTest, SmoothingHistoryPhasesInAndInvertFlipsOnlyTheNextPitch) {
  LeadInputs in = SmoothingOffInputs();
  in.alpha = 1.5;  // clamped to 1: the tick is fully drawn
  in.sums = {true, 0.004f, 0.002f, 2.0f};
  in.invert = true;
  in.pitchWeight = 0.5f;
  const Lead lead = ComputeLead(in);
  ASSERT_EQ(lead.result, LeadResult::Lead);
  EXPECT_NEAR(lead.yaw, (0.004f + 0.01f) / 2.0f * 2.0f, 1e-6f);
  EXPECT_NEAR(lead.pitch, -(0.002f + 0.004f) / 2.0f * 2.0f * 0.5f, 1e-6f);
}

TEST(LeadTest, MoreThanOneAndAHalfRadiansOnEitherAxisIsRejected) {
  struct Case {
    int32_t pendingX, pendingY;
    bool lead;
  };
  // alpha 1 and no smoothing: lead = pending x 0.0625 x 2.
  const Case cases[] = {{12, 0, true}, {-12, 12, true}, {13, 0, false}, {0, -13, false}};
  for (const Case& c : cases) {
    LeadInputs in = SmoothingOffInputs();
    in.alpha = 1.0;
    in.pendingX = c.pendingX;
    in.pendingY = c.pendingY;
    in.countScale = 0.0625f;
    EXPECT_EQ(ComputeLead(in).result == LeadResult::Lead, c.lead) << c.pendingX << "," << c.pendingY;
  }
}

TEST(LeadTest, ANonFiniteGainLeadsNowhere) {
  LeadInputs in = SmoothingOffInputs();
  in.gain = std::numeric_limits<float>::infinity();
  const Lead lead = ComputeLead(in);
  ASSERT_EQ(lead.result, LeadResult::Lead);
  EXPECT_EQ(lead.yaw, 0.0f);
  EXPECT_EQ(lead.pitch, 0.0f);
}

}  // namespace

namespace {

// The host's look smoothing as the host does it: the new raw sample weighed with the newest samples
// of its window, then kept at the front of a list of at most window samples.
struct HostSmoothing {
  int32_t window;
  float weight;
  std::vector<float> samples;  // newest first

  float Look(float raw) {
    const size_t terms = static_cast<size_t>(window) > samples.size() ? samples.size() + 1 : samples.size();
    float sum = raw, total = 1.0f, factor = 1.0f;
    for (size_t i = 1; i < terms; ++i) {
      factor *= weight;
      total += factor;
      sum += samples[i - 1] * factor;
    }
    samples.insert(samples.begin(), raw);
    if (samples.size() > static_cast<size_t>(window)) samples.resize(static_cast<size_t>(window));
    return sum / total;
  }

  SmoothingRecord Record() const {
    SmoothingRecord r;
    r.present = true;
    r.window = window;
    r.weight = weight;
    for (float s : samples) r.x[r.size++] = s;
    return r;
  }
};

TEST(LeadTest, AtTheEndOfAStepTheLeadIsTheHostsNextTurnWhateverTheWindow) {
  const float scale = 0.002f;
  const float gain = 1.5f;
  const int32_t counts[] = {12, -7, 30, 0, 5, 5, -40, 18, 2, 9, -3};
  for (int32_t window : {1, 2, 3, 5, 32}) {
    HostSmoothing host{window, 0.6f, {}};
    for (size_t t = 0; t + 1 < std::size(counts); ++t) {
      host.Look(static_cast<float>(counts[t]) * scale);
      LeadInputs in;
      in.alpha = 1.0;  // the step fully drawn: what remains is the next step's turn
      in.sums = ModelSmoothing(host.Record());
      ASSERT_TRUE(in.sums.ok);
      in.pendingX = counts[t + 1];
      in.countScale = scale;
      in.gain = gain;
      in.yawWeight = 1.0f;
      HostSmoothing next = host;  // the loop feeds that step itself
      const float nextTurn = next.Look(static_cast<float>(counts[t + 1]) * scale) * gain;
      const Lead lead = ComputeLead(in);
      ASSERT_EQ(lead.result, LeadResult::Lead);
      EXPECT_NEAR(lead.yaw, nextTurn, 1e-6f) << "window " << window << " step " << t;
    }
  }
}

}  // namespace
