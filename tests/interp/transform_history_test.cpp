#include "interp/transform_history.h"

#include <gtest/gtest.h>

#include <cstring>

#include "interp_test_support.h"

namespace {

constexpr uint64_t kGen = 7;

RigidMatrix At(float x) { return Translated(RotationY(0.1f), x, 0.0f, 0.0f); }

// Ticks 1 and 2 held in generation kGen.
TransformHistory TwoTicks() {
  TransformHistory h{};
  EXPECT_EQ(PublishTransformHistory(h, 1, kGen, At(0.0f)), HistoryPublishResult::Generation);
  EXPECT_EQ(PublishTransformHistory(h, 2, kGen, At(1.0f)), HistoryPublishResult::Appended);
  return h;
}

TEST(InterpTransformHistory, ConsecutiveTicksInterpolate) {
  const TransformHistory h = TwoTicks();
  const TransformSample s = SampleTransformHistory(h, InterpolatedSample(1, 2, 0.25, kGen));
  ASSERT_EQ(s.result, TransformSampleResult::Interpolated);
  EXPECT_FLOAT_EQ(s.matrix.m[3], 0.25f);
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
      {"same tick, identical", 2, kGen, At(1.0f), HistoryPublishResult::Unchanged, 2},
      {"same tick, within 1e-5", 2, kGen, Translated(At(1.0f), 1.0f, 5e-6f, 0.0f), HistoryPublishResult::Unchanged, 2},
      {"same tick, 2e-5 off", 2, kGen, Translated(At(1.0f), 1.0f, 2e-5f, 0.0f), HistoryPublishResult::SameTickUpdate, 1},
      {"next tick", 3, kGen, At(2.0f), HistoryPublishResult::Appended, 2},
      {"next tick, 6 unit jump", 3, kGen, At(7.0f), HistoryPublishResult::Discontinuity, 1},
      {"next tick, 150 degree turn", 3, kGen, Translated(RotationY(2.7f), 1.0f, 0, 0), HistoryPublishResult::Discontinuity, 1},
      {"tick gap", 4, kGen, At(2.0f), HistoryPublishResult::Discontinuity, 1},
      {"older tick", 1, kGen, At(0.0f), HistoryPublishResult::NonMonotonic, 1},
      {"new generation", 3, kGen + 1, At(2.0f), HistoryPublishResult::Generation, 1},
  };
  for (const auto& c : cases) {
    TransformHistory h = TwoTicks();
    EXPECT_EQ(PublishTransformHistory(h, c.tick, c.generation, c.matrix), c.result) << c.name;
    EXPECT_EQ(h.count, c.countAfter) << c.name;
    // Every restart keeps the history usable under the publisher's generation.
    EXPECT_TRUE(h.valid) << c.name;
    EXPECT_EQ(h.generation, c.generation) << c.name;
    const TransformHistoryEntry& newest = h.entries[(h.head + h.count - 1) % 2];
    EXPECT_EQ(newest.tick, c.result == HistoryPublishResult::Unchanged ? 2u : c.tick) << c.name;
  }
}

TEST(InterpTransformHistory, RestartedHistoryResumesWithTheNextTick) {
  TransformHistory h = TwoTicks();
  ASSERT_EQ(PublishTransformHistory(h, 3, kGen, At(8.0f)), HistoryPublishResult::Discontinuity);
  EXPECT_EQ(SampleTransformHistory(h, InterpolatedSample(2, 3, 0.5, kGen)).result,
            TransformSampleResult::SnapshotsMissing);
  ASSERT_EQ(PublishTransformHistory(h, 4, kGen, At(9.0f)), HistoryPublishResult::Appended);
  EXPECT_EQ(SampleTransformHistory(h, InterpolatedSample(3, 4, 0.5, kGen)).result,
            TransformSampleResult::Interpolated);
}

TEST(InterpTransformHistory, InvalidMatrixEmptiesTheHistory) {
  TransformHistory h = TwoTicks();
  RigidMatrix bad = At(2.0f);
  bad.m[14] = 0.5f;
  EXPECT_EQ(PublishTransformHistory(h, 3, kGen, bad), HistoryPublishResult::Invalid);
  EXPECT_EQ(h.count, 0u);
  EXPECT_FALSE(h.valid);
  EXPECT_EQ(PublishTransformHistory(h, 4, kGen, At(2.0f)), HistoryPublishResult::Generation);
}

TEST(InterpTransformHistory, SampleFailuresReturnZeroMatrix) {
  TransformHistory h = TwoTicks();
  ClockSample reset = InterpolatedSample(1, 2, 0.5, kGen);
  reset.status = ClockSampleStatus::Reset;
  const struct {
    const char* name;
    ClockSample sample;
    TransformSampleResult result;
  } cases[] = {
      {"not interpolated", reset, TransformSampleResult::ClockUnavailable},
      {"equal ticks", InterpolatedSample(2, 2, 0.5, kGen), TransformSampleResult::ClockUnavailable},
      {"other generation", InterpolatedSample(1, 2, 0.5, kGen + 1), TransformSampleResult::GenerationMismatch},
      {"tick not held", InterpolatedSample(2, 3, 0.5, kGen), TransformSampleResult::SnapshotsMissing},
      {"alpha out of range", InterpolatedSample(1, 2, 1.5, kGen), TransformSampleResult::Invalid},
      {"alpha beyond float range", InterpolatedSample(1, 2, 1e300, kGen), TransformSampleResult::Invalid},
  };
  for (const auto& c : cases) {
    const TransformSample s = SampleTransformHistory(h, c.sample);
    EXPECT_EQ(s.result, c.result) << c.name;
    EXPECT_TRUE(AllZero(&s.matrix, sizeof(s.matrix))) << c.name;
  }
  ResetTransformHistory(h);
  EXPECT_EQ(SampleTransformHistory(h, InterpolatedSample(1, 2, 0.5, kGen)).result,
            TransformSampleResult::GenerationMismatch);
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
  EXPECT_TRUE(AllZero(&newer, sizeof(newer)));
}

TEST(InterpHistoryResults, PublishResultNames) {
  const struct {
    uint32_t code;
    const wchar_t* name;
  } cases[] = {{0, L"appended"},        {1, L"unchanged"},     {2, L"invalid"}, {3, L"generation"},
               {4, L"non-monotonic"},   {5, L"same-tick-update"}, {6, L"discontinuity"}, {7, L"unknown"},
               {0xFFFFFFFFu, L"unknown"}};
  for (const auto& c : cases) {
    EXPECT_STREQ(HistoryPublishResultName(static_cast<HistoryPublishResult>(c.code)), c.name) << c.code;
  }
}

}  // namespace
