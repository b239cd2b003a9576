#include "interp/pose_history.h"

#include <gtest/gtest.h>

#include <cstring>

#include "interp_test_support.h"

namespace {

constexpr uint64_t kGen = 3;

struct Pose {
  RigidMatrix bones[kPoseMaxBones];
};

RigidMatrix Bone(uint64_t i, float y) {
  const float f = static_cast<float>(i);
  return AxisRotation(0.48f, 0.6f, 0.64f, 0.2f + 0.37f * f, 1.0f + 0.1f * f, f, y, 0.0f);
}

// Bone i sits at (i, y, 0), each with its own oblique turn and scale, so a blend of a bone with
// itself does not come back bit for bit.
Pose MakePose(uint64_t boneCount, float y) {
  Pose p{};
  for (uint64_t i = 0; i < boneCount; ++i) p.bones[i] = Bone(i, y);
  return p;
}

PoseHistory* NewHistory() {
  static PoseHistory history;  // 32 KiB: kept off the test's stack
  ResetPoseHistory(history);
  return &history;
}

TEST(InterpPoseHistory, PublishRefusesBadSkeletons) {
  const Pose good = MakePose(4, 0.0f);
  Pose mirrored = good;
  mirrored.bones[2].m[0] = -mirrored.bones[2].m[0];
  mirrored.bones[2].m[2] = -mirrored.bones[2].m[2];
  const struct {
    const char* name;
    const RigidMatrix* bones;
    uint64_t count;
  } cases[] = {
      {"no bones", good.bones, 0}, {"257 bones", good.bones, 257}, {"null bones", nullptr, 4},
      {"one bone mirrored", mirrored.bones, 4},
  };
  for (const auto& c : cases) {
    PoseHistory& h = *NewHistory();
    PublishPoseHistory(h, 1, kGen, good.bones, 4, false);
    EXPECT_EQ(PublishPoseHistory(h, 2, kGen, c.bones, c.count, false), PosePublishResult::Invalid) << c.name;
    EXPECT_EQ(h.count, 0u) << c.name;
    EXPECT_FALSE(h.valid) << c.name;
  }
}

TEST(InterpPoseHistory, PublishOutcomes) {
  const Pose base = MakePose(8, 0.0f);
  Pose oneBoneJumps = MakePose(8, 0.1f);
  oneBoneJumps.bones[5].m[7] = 40.0f;
  const struct {
    const char* name;
    uint64_t tick;
    uint64_t generation;
    Pose pose;
    uint64_t count;
    bool skip;
    PosePublishResult result;
    uint64_t countAfter;
  } cases[] = {
      {"next tick", 2, kGen, MakePose(8, 0.1f), 8, false, PosePublishResult::Appended, 2},
      {"equal tick", 1, kGen, MakePose(8, 0.1f), 8, false, PosePublishResult::NonMonotonic, 1},
      {"tick gap", 3, kGen, MakePose(8, 0.1f), 8, false, PosePublishResult::Discontinuity, 1},
      {"bone count changed", 2, kGen, MakePose(9, 0.1f), 9, false, PosePublishResult::Discontinuity, 1},
      {"one bone jumps", 2, kGen, oneBoneJumps, 8, false, PosePublishResult::Discontinuity, 1},
      {"one bone jumps, continuity skipped", 2, kGen, oneBoneJumps, 8, true, PosePublishResult::Appended, 2},
      {"new generation", 2, kGen + 1, MakePose(8, 0.1f), 8, false, PosePublishResult::Generation, 1},
  };
  for (const auto& c : cases) {
    PoseHistory& h = *NewHistory();
    ASSERT_EQ(PublishPoseHistory(h, 1, kGen, base.bones, 8, false), PosePublishResult::Generation);
    EXPECT_EQ(PublishPoseHistory(h, c.tick, c.generation, c.pose.bones, c.count, c.skip), c.result) << c.name;
    EXPECT_EQ(h.count, c.countAfter) << c.name;
    // A restarted history must accept the following tick: it keeps the publisher's generation.
    EXPECT_EQ(PublishPoseHistory(h, c.tick + 1, c.generation, c.pose.bones, c.count, true),
              PosePublishResult::Appended)
        << c.name;
  }
}

TEST(InterpPoseHistory, SampleBlendsMovedBonesAndCopiesStillOnes) {
  PoseHistory& h = *NewHistory();
  const Pose older = MakePose(3, 0.0f);
  Pose newer = older;
  newer.bones[1] = Bone(1, 2.0f);
  PublishPoseHistory(h, 5, kGen, older.bones, 3, false);
  PublishPoseHistory(h, 6, kGen, newer.bones, 3, false);

  static RigidMatrix out[kPoseMaxBones];
  uint64_t count = 0;
  ASSERT_EQ(SamplePoseHistory(h, InterpolatedSample(5, 6, 0.5, kGen), out, &count),
            TransformSampleResult::Interpolated);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(std::memcmp(&out[0], &newer.bones[0], sizeof(RigidMatrix)), 0);
  EXPECT_EQ(std::memcmp(&out[2], &newer.bones[2], sizeof(RigidMatrix)), 0);
  EXPECT_FLOAT_EQ(out[1].m[7], 1.0f);

  const PoseHistoryEntry* o = nullptr;
  const PoseHistoryEntry* n = nullptr;
  ASSERT_TRUE(FindPosePair(h, InterpolatedSample(5, 6, 0.5, kGen), &o, &n));
  EXPECT_EQ(o->tick, 5u);
  EXPECT_EQ(n->tick, 6u);
  EXPECT_EQ(n->boneCount, 3u);
}

TEST(InterpPoseHistory, SampleOutcomesOtherThanInterpolatedCarryNoBones) {
  PoseHistory& h = *NewHistory();
  const Pose still = MakePose(4, 1.0f);
  PublishPoseHistory(h, 1, kGen, still.bones, 4, false);
  PublishPoseHistory(h, 2, kGen, still.bones, 4, false);
  const struct {
    const char* name;
    ClockSample sample;
    TransformSampleResult result;
  } cases[] = {
      {"all bones identical", InterpolatedSample(1, 2, 0.5, kGen), TransformSampleResult::Unchanged},
      {"equal ticks", InterpolatedSample(2, 2, 0.5, kGen), TransformSampleResult::ClockUnavailable},
      {"other generation", InterpolatedSample(1, 2, 0.5, kGen + 2), TransformSampleResult::GenerationMismatch},
      {"tick not held", InterpolatedSample(2, 3, 0.5, kGen), TransformSampleResult::SnapshotsMissing},
  };
  static RigidMatrix out[kPoseMaxBones];
  for (const auto& c : cases) {
    std::memset(out, 0x5A, sizeof(out));
    uint64_t count = 99;
    EXPECT_EQ(SamplePoseHistory(h, c.sample, out, &count), c.result) << c.name;
    EXPECT_EQ(count, 0u) << c.name;
    EXPECT_TRUE(AllZero(out, sizeof(out))) << c.name;
  }

  // A failed blend part-way through must not leave the bones it already wrote.
  Pose moved = MakePose(4, 1.5f);
  moved.bones[0] = still.bones[0];  // copied first, then bone 1 fails
  PublishPoseHistory(h, 3, kGen, moved.bones, 4, false);
  uint64_t count = 99;
  EXPECT_EQ(SamplePoseHistory(h, InterpolatedSample(2, 3, 2.0, kGen), out, &count), TransformSampleResult::Invalid);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(AllZero(out, sizeof(out)));
}

}  // namespace
