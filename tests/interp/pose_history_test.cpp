#include "interp/pose_history.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "interp_test_support.h"

namespace {

constexpr uint64_t kGen = 3;

struct Pose {
  RigidMatrix bones[kPoseMaxBones];
};

// Each bone has its own oblique turn and scale, so blending a bone with itself is not bit-exact.
RigidMatrix Bone(uint64_t i, float y) {
  const float f = static_cast<float>(i);
  return AxisRotation(0.48f, 0.6f, 0.64f, 0.2f + 0.37f * f, 1.0f + 0.1f * f, f, y, 0.0f);
}

Pose MakePose(uint64_t boneCount, float y) {
  Pose p{};
  for (uint64_t i = 0; i < boneCount; ++i) p.bones[i] = Bone(i, y);
  return p;
}

PoseHistory& FreshHistory() {
  static PoseHistory history;  // 42 KiB: kept off the test's stack
  ResetPoseHistory(history);
  return history;
}

RigidMatrix g_out[kPoseMaxBones];

TEST(InterpPoseHistory, PublishOutcomes) {
  const Pose base = MakePose(8, 0.0f);
  const Pose next = MakePose(8, 0.1f);
  Pose jump = next;
  jump.bones[5].m[7] = 40.0f;
  Pose turned = next;
  turned.bones[6] = AxisRotation(0.48f, 0.6f, 0.64f, 0.2f + 0.37f * 6.0f + 150.0f * kDeg, 1.6f, 6.0f, 0.1f, 0.0f);
  Pose mirrored = next;
  mirrored.bones[2].m[0] = -mirrored.bones[2].m[0];
  const struct {
    const char* name;
    uint64_t tick;
    uint64_t generation;
    const RigidMatrix* bones;
    uint64_t count;
    bool skip;
    PosePublishResult result;
    uint64_t countAfter;
  } cases[] = {
      {"next tick", 2, kGen, next.bones, 8, false, PosePublishResult::Appended, 2},
      {"equal tick", 1, kGen, next.bones, 8, false, PosePublishResult::NonMonotonic, 1},
      {"tick gap", 3, kGen, next.bones, 8, false, PosePublishResult::Discontinuity, 1},
      {"bone count changed", 2, kGen, next.bones, 7, false, PosePublishResult::Discontinuity, 1},
      {"one bone jumps", 2, kGen, jump.bones, 8, false, PosePublishResult::Discontinuity, 1},
      {"one bone jumps, test skipped", 2, kGen, jump.bones, 8, true, PosePublishResult::Appended, 2},
      {"one bone turns 150 degrees", 2, kGen, turned.bones, 8, false, PosePublishResult::Discontinuity, 1},
      {"new generation", 2, kGen + 1, next.bones, 8, false, PosePublishResult::Generation, 1},
      {"no bones", 2, kGen, next.bones, 0, false, PosePublishResult::Invalid, 0},
      {"257 bones", 2, kGen, next.bones, 257, false, PosePublishResult::Invalid, 0},
      {"null bones", 2, kGen, nullptr, 8, false, PosePublishResult::Invalid, 0},
      {"one bone not rigid", 2, kGen, mirrored.bones, 8, true, PosePublishResult::Invalid, 0},
  };
  for (const auto& c : cases) {
    PoseHistory& h = FreshHistory();
    ASSERT_EQ(PublishPoseHistory(h, 1, kGen, base.bones, 8, false), PosePublishResult::Generation);
    EXPECT_EQ(PublishPoseHistory(h, c.tick, c.generation, c.bones, c.count, c.skip), c.result) << c.name;
    EXPECT_EQ(h.count, c.countAfter) << c.name;
    EXPECT_EQ(h.valid, c.result != PosePublishResult::Invalid) << c.name;
    if (c.result == PosePublishResult::Invalid) continue;
    // A restarted history keeps the publisher's generation, so the following tick appends.
    EXPECT_EQ(PublishPoseHistory(h, c.tick + 1, c.generation, c.bones, c.count, true), PosePublishResult::Appended)
        << c.name;
  }
}

TEST(InterpPoseHistory, SampleBlendsMovedBonesAndCopiesStillOnes) {
  PoseHistory& h = FreshHistory();
  const Pose older = MakePose(3, 0.0f);
  Pose newer = older;
  newer.bones[1] = Bone(1, 2.0f);
  PublishPoseHistory(h, 5, kGen, older.bones, 3, false);
  PublishPoseHistory(h, 6, kGen, newer.bones, 3, false);

  uint64_t count = 0;
  ASSERT_EQ(SamplePoseHistory(h, InterpolatedSample(5, 6, 0.5, kGen), g_out, &count),
            TransformSampleResult::Interpolated);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(std::memcmp(&g_out[0], &newer.bones[0], sizeof(RigidMatrix)), 0);
  EXPECT_EQ(std::memcmp(&g_out[2], &newer.bones[2], sizeof(RigidMatrix)), 0);
  EXPECT_FLOAT_EQ(g_out[1].m[7], 1.0f);

  const PoseHistoryEntry* o = nullptr;
  const PoseHistoryEntry* n = nullptr;
  ASSERT_TRUE(FindPosePair(h, InterpolatedSample(5, 6, 0.5, kGen), &o, &n));
  EXPECT_EQ(o->tick, 5u);
  EXPECT_EQ(n->tick, 6u);
}

TEST(InterpPoseHistory, SampledBonesAreThoseOfInterpolateRigid) {
  // 40 bones, a third of them still at each tick but a different third each time, so the moving
  // ones span several blend groups and bones start moving after resting; the sequences wrap the
  // two-tick ring and restart it, so each sample blends entries stored at different times.
  constexpr uint64_t kBones = 40;
  static Pose poses[4];  // 64 KiB: kept off the test's stack
  for (uint64_t p = 0; p < 4; ++p) {
    for (uint64_t i = 0; i < kBones; ++i) {
      const float f = static_cast<float>(i);
      const float step = static_cast<float>(p);
      poses[p].bones[i] = p > 0 && (i + p) % 3 == 0
                              ? poses[p - 1].bones[i]
                              : AxisRotation(0.0f, 0.6f, -0.8f, 0.1f * f + 0.3f * step, 1.0f + 0.05f * step, f,
                                             0.2f * step, 0.0f);
    }
  }
  struct Published {
    uint64_t tick;
    const Pose* pose;
  };
  const struct {
    const char* name;
    std::vector<Published> published;  // the last two are sampled
    double alpha;
  } cases[] = {
      {"two ticks", {{1, &poses[0]}, {2, &poses[1]}}, 0.37},
      {"ring wrapped", {{1, &poses[0]}, {2, &poses[1]}, {3, &poses[2]}, {4, &poses[3]}}, 0.81},
      {"restarted by a tick gap", {{1, &poses[0]}, {2, &poses[1]}, {5, &poses[2]}, {6, &poses[3]}}, 0.5},
      {"previous tick's pose at alpha 0", {{1, &poses[1]}, {2, &poses[2]}}, 0.0},
      {"current tick's pose at alpha 1", {{1, &poses[1]}, {2, &poses[2]}}, 1.0},
      {"from tick 0", {{0, &poses[2]}, {1, &poses[3]}}, 0.6},
  };
  for (const auto& c : cases) {
    PoseHistory& h = FreshHistory();
    for (const Published& p : c.published) PublishPoseHistory(h, p.tick, kGen, p.pose->bones, kBones, false);
    const Published& older = c.published[c.published.size() - 2];
    const Published& newer = c.published.back();
    uint64_t count = 0;
    ASSERT_EQ(SamplePoseHistory(h, InterpolatedSample(older.tick, newer.tick, c.alpha, kGen), g_out, &count),
              TransformSampleResult::Interpolated)
        << c.name;
    ASSERT_EQ(count, kBones) << c.name;
    for (uint64_t i = 0; i < kBones; ++i) {
      RigidMatrix expected = newer.pose->bones[i];  // still bones are copied
      if (!BytewiseEqual(older.pose->bones[i], newer.pose->bones[i])) {
        ASSERT_TRUE(InterpolateRigid(older.pose->bones[i], newer.pose->bones[i], static_cast<float>(c.alpha), &expected));
      }
      EXPECT_TRUE(BytewiseEqual(g_out[i], expected)) << c.name << ", bone " << i;
    }
  }
}

TEST(InterpPoseHistory, OutcomesOtherThanInterpolatedCarryNoBones) {
  PoseHistory& h = FreshHistory();
  const Pose still = MakePose(4, 1.0f);
  PublishPoseHistory(h, 1, kGen, still.bones, 4, false);
  PublishPoseHistory(h, 2, kGen, still.bones, 4, false);
  Pose moved = MakePose(4, 1.5f);
  moved.bones[0] = still.bones[0];  // copied first; the blend then fails on bone 1
  const struct {
    const char* name;
    ClockSample sample;
    TransformSampleResult result;
  } cases[] = {
      {"all bones identical", InterpolatedSample(1, 2, 0.5, kGen), TransformSampleResult::Unchanged},
      {"equal ticks", InterpolatedSample(2, 2, 0.5, kGen), TransformSampleResult::ClockUnavailable},
      {"other generation", InterpolatedSample(1, 2, 0.5, kGen + 2), TransformSampleResult::GenerationMismatch},
      {"tick not held", InterpolatedSample(0, 1, 0.5, kGen), TransformSampleResult::SnapshotsMissing},
      {"blend fails part-way", InterpolatedSample(2, 3, 2.0, kGen), TransformSampleResult::Invalid},
  };
  for (const auto& c : cases) {
    if (c.result == TransformSampleResult::Invalid) PublishPoseHistory(h, 3, kGen, moved.bones, 4, false);
    std::memset(g_out, 0x5A, sizeof(g_out));
    uint64_t count = 99;
    EXPECT_EQ(SamplePoseHistory(h, c.sample, g_out, &count), c.result) << c.name;
    EXPECT_EQ(count, 0u) << c.name;
    EXPECT_TRUE(AllZero(g_out, sizeof(g_out))) << c.name;
  }
}

}  // namespace
