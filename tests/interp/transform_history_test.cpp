#include "interp/transform_history.h"

#include <gtest/gtest.h>

#include <cstring>

#include "interp_test_support.h"

namespace {

constexpr uint64_t kGen = 7;

RigidMatrix At(float x, float y = 0.0f) { return Translated(RotationY(0.1f), x, y, 0.0f); }

RigidMatrix With14(RigidMatrix m) {
  m.m[14] = 0.5f;  // bottom row no longer (0, 0, 0, 1)
  return m;
}

TransformHistory TwoTicks() {
  TransformHistory h{};
  EXPECT_EQ(PublishTransformHistory(h, 1, kGen, At(0.0f)), HistoryPublishResult::Generation);
  EXPECT_EQ(PublishTransformHistory(h, 2, kGen, At(1.0f)), HistoryPublishResult::Appended);
  return h;
}

TEST(InterpTransformHistory, PublishOutcomes) {
  const struct {
    const char* name;
    uint64_t tick;
    uint64_t generation;
    RigidMatrix matrix;
    HistoryPublishResult result;
    uint64_t countAfter;
  } cases[] = {
      {"same tick, within 1e-5", 2, kGen, At(1.0f, 5e-6f), HistoryPublishResult::Unchanged, 2},
      {"same tick, 2e-5 off", 2, kGen, At(1.0f, 2e-5f), HistoryPublishResult::SameTickUpdate, 1},
      {"next tick", 3, kGen, At(2.0f), HistoryPublishResult::Appended, 2},
      {"6 unit jump", 3, kGen, At(7.0f), HistoryPublishResult::Discontinuity, 1},
      {"125 degree turn", 3, kGen, Translated(RotationY(0.1f + 125.0f * kDeg), 2.0f, 0.0f, 0.0f),
       HistoryPublishResult::Discontinuity, 1},
      {"115 degree turn", 3, kGen, Translated(RotationY(0.1f + 115.0f * kDeg), 2.0f, 0.0f, 0.0f),
       HistoryPublishResult::Appended, 2},
      {"tick gap", 4, kGen, At(2.0f), HistoryPublishResult::Discontinuity, 1},
      {"older tick", 1, kGen, At(0.0f), HistoryPublishResult::NonMonotonic, 1},
      {"new generation", 3, kGen + 1, At(2.0f), HistoryPublishResult::Generation, 1},
  };
  for (const auto& c : cases) {
    TransformHistory h = TwoTicks();
    EXPECT_EQ(PublishTransformHistory(h, c.tick, c.generation, c.matrix), c.result) << c.name;
    EXPECT_EQ(h.count, c.countAfter) << c.name;
    // Every restart leaves a usable history: the next tick appends.
    const uint64_t next = c.result == HistoryPublishResult::Unchanged ? 3 : c.tick + 1;
    EXPECT_EQ(PublishTransformHistory(h, next, c.generation, c.matrix), HistoryPublishResult::Appended) << c.name;
  }

  TransformHistory h = TwoTicks();
  EXPECT_EQ(PublishTransformHistory(h, 3, kGen, With14(At(2.0f))), HistoryPublishResult::Invalid);
  EXPECT_EQ(h.count, 0u);
  EXPECT_FALSE(h.valid);
}

TEST(InterpTransformHistory, SampleOutcomes) {
  const TransformHistory h = TwoTicks();
  ClockSample reset = InterpolatedSample(1, 2, 0.5, kGen);
  reset.status = ClockSampleStatus::Reset;
  const struct {
    const char* name;
    ClockSample sample;
    TransformSampleResult result;
  } failures[] = {
      {"not interpolated", reset, TransformSampleResult::ClockUnavailable},
      {"equal ticks", InterpolatedSample(2, 2, 0.5, kGen), TransformSampleResult::ClockUnavailable},
      {"other generation", InterpolatedSample(1, 2, 0.5, kGen + 1), TransformSampleResult::GenerationMismatch},
      {"tick not held", InterpolatedSample(2, 3, 0.5, kGen), TransformSampleResult::SnapshotsMissing},
      {"alpha beyond float range", InterpolatedSample(1, 2, 1e300, kGen), TransformSampleResult::Invalid},
  };
  for (const auto& c : failures) {
    const TransformSample s = SampleTransformHistory(h, c.sample);
    EXPECT_EQ(s.result, c.result) << c.name;
    EXPECT_TRUE(AllZero(&s.matrix, sizeof(s.matrix))) << c.name;
  }
  const TransformSample s = SampleTransformHistory(h, InterpolatedSample(1, 2, 0.25, kGen));
  EXPECT_EQ(s.result, TransformSampleResult::Interpolated);
  EXPECT_EQ(s.matrix.m[3], 0.25f);
}

TEST(InterpTransformHistory, SampleIsTheRigidBlendOfItsTwoTicks) {
  const struct {
    const char* name;
    RigidMatrix older;
    RigidMatrix newer;
  } pairs[] = {
      {"turn about y", At(0.0f), Translated(RotationY(0.9f), 1.0f, 2.0f, 3.0f)},
      {"oblique axis, scale grows", AxisRotation(0.2672612f, 0.5345225f, 0.8017837f, 0.3f, 0.5f, 1, 0, 0),
       AxisRotation(0.2672612f, 0.5345225f, 0.8017837f, 1.2f, 0.6f, 2, 1, 0)},
      {"across the half turn", Translated(RotationY(170.0f * kDeg), 0, 0, 0), Translated(RotationY(-170.0f * kDeg), 0, 0, 1)},
      {"nearly parallel", AxisRotation(0, 0, 1, 0.2f), AxisRotation(0, 0, 1, 0.2001f, 1.0f, 0.01f)},
  };
  for (const auto& p : pairs) {
    TransformHistory h{};
    PublishTransformHistory(h, 4, kGen, At(5.0f));   // the ring wraps once
    PublishTransformHistory(h, 5, kGen, p.older);
    ASSERT_EQ(PublishTransformHistory(h, 6, kGen, p.newer), HistoryPublishResult::Appended) << p.name;
    for (double alpha : {0.0, 0.3, 0.77, 1.0}) {
      RigidMatrix expected{};
      ASSERT_TRUE(InterpolateRigid(p.older, p.newer, static_cast<float>(alpha), &expected)) << p.name;
      const TransformSample s = SampleTransformHistory(h, InterpolatedSample(5, 6, alpha, kGen));
      EXPECT_EQ(s.result, TransformSampleResult::Interpolated) << p.name << " " << alpha;
      // The same blend, up to the rounding of the conversions (stored at publish or made here).
      EXPECT_TRUE(NearlyEqual(s.matrix, expected, 1e-5f)) << p.name << " " << alpha;
    }
  }
}

TEST(InterpTransformHistory, IdenticalTicksReturnTheNewerMatrixBitForBit) {
  TransformHistory h{};
  const RigidMatrix m = Translated(RotationY(0.7f, 1.5f), 3.0f, 4.0f, 5.0f);
  PublishTransformHistory(h, 10, kGen, m);
  PublishTransformHistory(h, 11, kGen, m);
  const TransformSample s = SampleTransformHistory(h, InterpolatedSample(10, 11, 0.3, kGen));
  EXPECT_EQ(s.result, TransformSampleResult::Unchanged);
  EXPECT_EQ(std::memcmp(&s.matrix, &m, sizeof(m)), 0);
}

TEST(InterpTransformHistory, FindPairOrdersByTickAcrossRingWrap) {
  TransformHistory h = TwoTicks();
  PublishTransformHistory(h, 3, kGen, At(2.0f));  // overwrites tick 1, head moves
  RigidMatrix older{};
  RigidMatrix newer{};
  ASSERT_TRUE(FindTransformPair(h, InterpolatedSample(2, 3, 0.5, kGen), &older, &newer));
  EXPECT_EQ(older.m[3], 1.0f);
  EXPECT_EQ(newer.m[3], 2.0f);
  EXPECT_FALSE(FindTransformPair(h, InterpolatedSample(1, 2, 0.5, kGen), &older, &newer));
  EXPECT_TRUE(AllZero(&older, sizeof(older)));
}

TEST(InterpHistoryResults, PublishResultNames) {
  const wchar_t* names[] = {L"appended",      L"unchanged",        L"invalid",       L"generation",
                            L"non-monotonic", L"same-tick-update", L"discontinuity", L"unknown"};
  for (uint32_t code = 0; code < 8; ++code) {
    EXPECT_STREQ(HistoryPublishResultName(static_cast<HistoryPublishResult>(code)), names[code]);
  }
}

}  // namespace
