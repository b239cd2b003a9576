// The render-time ride: the body's histories and root as the capture leaves them, the camera
// rebuilt on the interpolated bone, the declines, the per-pair cache and the report line.
#include "pose/camera_skeleton.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <functional>

#include "entity/entity_runtime.h"
#include "entity/entity_test_host.h"
#include "entity/root_registries.h"
#include "pose/camera_rig.h"
#include "pose/pose_state.h"

namespace {

using camera_rig::HeadOffset;
using camera_rig::kBones;
using camera_rig::Product;
using camera_rig::Rig;
using camera_rig::Shift;

class CameraSkeletonAttach : public ::testing::Test {
 public:
  void SetUp() override {
    entity_test::UseTestHost();
    Clear();
    EntityRuntimeFlags& flags = MutableEntityFlags();
    flags.hostBase = 1;
    flags.handsRoot = true;
    flags.handsPose = true;
  }
  void TearDown() override { Clear(); }
  static void Clear() {
    MutableEntityFlags() = EntityRuntimeFlags{};
    ClearPoseTables();
    ClearRootRegistries();
    JoinCameraSkeleton(false);
  }

  // What the capture leaves after two ticks of the rig: the body's identity, parents, pose history
  // and, unless the root was not captured, the body root's history.
  void Capture(const Rig& rig, uint64_t firstTick, uint64_t generation, bool withRoot = true) {
    BodyPoseState& body = TheBodyPose();
    body.storedSkeleton = &skeleton_;
    body.storedCount = kBones;
    for (uint64_t i = 0; i < kBones; ++i) body.parents[i] = static_cast<uint16_t>(rig.parents[i]);
    body.parentsKnown = true;
    RootSlot& root = TheRootRegistries().body;
    root.entity = entity_.get();
    for (int t = 0; t < 2; ++t) {
      PublishPoseHistory(body.history, firstTick + t, generation, rig.local[t], kBones, false);
      if (withRoot) PublishTransformHistory(root.history, firstTick + t, generation, rig.root[t]);
    }
  }

  static bool Attach(const Rig& rig, const ClockSample& sample, CameraTransform* drawn) {
    *drawn = rig.camera[1];
    return AttachCameraToSkeleton(sample, rig.camera[0], rig.camera[1], drawn);
  }

  int skeleton_ = 0;
  entity_test::TestEntity entity_{"PlayerBody", 1, entity_test::Pose(0.4f, 2.0f, 0.5f, -1.0f)};
};

// Where the bone is drawn at alpha: every local and the root blended, walked by the tests' product.
RigidMatrix DrawnBone(const Rig& rig, uint64_t bone, float alpha) {
  RigidMatrix pose[kBones];
  RigidMatrix root;
  for (uint64_t i = 0; i < kBones; ++i) EXPECT_TRUE(InterpolateRigid(rig.local[0][i], rig.local[1][i], alpha, &pose[i]));
  EXPECT_TRUE(InterpolateRigid(rig.root[0], rig.root[1], alpha, &root));
  return rig.World(1, bone, pose, &root);
}

TEST_F(CameraSkeletonAttach, CameraKeepsItsOffsetToTheDrawnBone) {
  struct Case {
    const char* name;
    bool rootHistory;
  };
  for (const Case& c : {Case{"root history pair", true}, Case{"entity's matrix for both ticks", false}}) {
    ClearPoseTables();
    ClearRootRegistries();
    Rig rig;
    if (!c.rootHistory) rig.root[0] = rig.root[1] = entity_.Root();
    rig.Ride(7, HeadOffset());
    Capture(rig, 1, 1, c.rootHistory);
    CameraTransform drawn;
    ASSERT_TRUE(Attach(rig, entity_test::Sample(1, 2, 0.25), &drawn)) << c.name;
    const RigidMatrix expected = Product(DrawnBone(rig, 7, 0.25f), HeadOffset());
    for (int r = 0; r < 3; ++r) {
      EXPECT_NEAR(drawn.position[r], expected.m[r * 4 + 3], 1e-4f) << c.name;
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(drawn.matrix.m[r * 4 + k], expected.m[r * 4 + k], 1e-4f) << c.name;
    }
  }
}

TEST_F(CameraSkeletonAttach, DeclinesAndLeavesTheCameraAlone) {
  struct Case {
    const char* name;
    std::function<void(Rig&, CameraSkeletonAttach&)> change;
    uint64_t matrixFrames;
  };
  const Case cases[] = {
      {"body pose interpolation off", [](Rig&, CameraSkeletonAttach&) { MutableEntityFlags().handsPose = false; }, 0},
      {"no body entity", [](Rig&, CameraSkeletonAttach&) { TheRootRegistries().body.entity = nullptr; }, 0},
      {"no skeleton captured", [](Rig&, CameraSkeletonAttach&) { TheBodyPose().storedSkeleton = nullptr; }, 0},
      {"parents unknown", [](Rig&, CameraSkeletonAttach&) { TheBodyPose().parentsKnown = false; }, 0},
      {"bone count changed since the pair", [](Rig&, CameraSkeletonAttach&) { TheBodyPose().storedCount = kBones - 1; }, 0},
      {"no root pair and an unrecognised body",
       [](Rig&, CameraSkeletonAttach& f) {
         ResetTransformHistory(TheRootRegistries().body.history);
         f.entity_.SetVtable(entity_test::ForeignVtable());
       },
       0},
      {"camera moves relative to the body",
       [](Rig& r, CameraSkeletonAttach& f) {
         r.Ride(7, HeadOffset(), false, Shift(0.01f, 0.0f, 0.0f));
         f.Capture(r, 1, 1);
       },
       1},
  };
  for (const Case& c : cases) {
    Clear();
    SetUp();
    entity_.SetVtable(entity_test::TestVtable());
    Rig rig;
    rig.Ride(7, HeadOffset());
    Capture(rig, 1, 1);
    c.change(rig, *this);
    CameraTransform drawn;
    EXPECT_FALSE(Attach(rig, entity_test::Sample(1, 2, 0.5), &drawn)) << c.name;
    EXPECT_EQ(std::memcmp(&drawn, &rig.camera[1], sizeof(drawn)), 0) << c.name;
    EXPECT_EQ(CameraSkeletonCounters().matrixCameraFrames, c.matrixFrames) << c.name;
    EXPECT_EQ(CameraSkeletonCounters().framesApplied, 0u) << c.name;
  }
  entity_.SetVtable(entity_test::TestVtable());
}

TEST_F(CameraSkeletonAttach, SearchesOncePerTickPairAndReportsWhatItDid) {
  CameraTransform drawn;
  Rig first;
  first.Ride(7, HeadOffset(), false, Shift(0.002f, 0.0f, 0.0f));   // offset error 0.001
  Capture(first, 1, 1);
  EXPECT_TRUE(Attach(first, entity_test::Sample(1, 2, 0.25), &drawn));
  EXPECT_TRUE(Attach(first, entity_test::Sample(1, 2, 0.75), &drawn)) << "same pair: cached";

  Rig second;
  second.Ride(3, HeadOffset());
  Capture(second, 3, 1);
  EXPECT_TRUE(Attach(second, entity_test::Sample(3, 4, 0.5), &drawn)) << "bone change";
  Capture(second, 3, 2);
  EXPECT_TRUE(Attach(second, entity_test::Sample(3, 4, 0.5, 2), &drawn)) << "same ticks, new generation";

  Rig loose;
  loose.Ride(3, HeadOffset(), false, Shift(0.01f, 0.0f, 0.0f));
  Capture(loose, 5, 2);
  EXPECT_FALSE(Attach(loose, entity_test::Sample(5, 6, 0.5, 2), &drawn)) << "lost";

  const std::wstring line = TakeCameraSkeletonReportLine();
  const std::wstring head =
      L"Camera-to-skeleton attachment: matrix-camera frames/tick-pair searches/found/frames applied=5/4/3/4, "
      L"last bone=none, found/lost switches=2, bone changes=1, stored-as-transpose=no, "
      L"worst accepted offset error=";
  ASSERT_EQ(line.substr(0, head.size()), head);
  EXPECT_NEAR(std::wcstod(line.c_str() + head.size(), nullptr), 0.001, 2e-6);
  EXPECT_EQ(line.back(), L'.');
  EXPECT_EQ(TakeCameraSkeletonReportLine(), L"") << "nothing since the last report";
}

// Twin setup: bone 7 under bone 3; the camera rides 3 with a small drift that bone 7 shares.
Rig TwinRig() {
  Rig rig;
  rig.parents[7] = 3;
  rig.local[0][7] = camera_rig::Identity();
  rig.local[1][7] = Shift(0.0016f, 0.0f, 0.0f);
  rig.Ride(3, HeadOffset(), false, Shift(0.0016f, 0.0f, 0.0f));
  return rig;
}

TEST_F(CameraSkeletonAttach, KeepsItsBoneUntilTheSkeletonChanges) {
  CameraTransform drawn;
  Rig exact;
  exact.Ride(3, HeadOffset());
  Capture(exact, 1, 1);
  ASSERT_TRUE(Attach(exact, entity_test::Sample(1, 2, 0.5), &drawn));
  ASSERT_EQ(CameraSkeletonCachedResult().bone, 3u);

  const Rig twin = TwinRig();
  Capture(twin, 3, 1);
  ASSERT_TRUE(Attach(twin, entity_test::Sample(3, 4, 0.5), &drawn));
  EXPECT_EQ(CameraSkeletonCachedResult().bone, 3u) << "still fits: kept though 7 fits better";

  ++TheBodyPose().identitySerial;
  Capture(twin, 5, 1);
  ASSERT_TRUE(Attach(twin, entity_test::Sample(5, 6, 0.5), &drawn));
  EXPECT_EQ(CameraSkeletonCachedResult().bone, 7u) << "another skeleton: no preference";
}

TEST_F(CameraSkeletonAttach, JoinFillsAndEmptiesTheRenderSlot) {
  JoinCameraSkeleton(true);
  EXPECT_EQ(LoadRenderHooks().attachCameraToSkeleton, &AttachCameraToSkeleton);
  JoinCameraSkeleton(false);
  EXPECT_EQ(LoadRenderHooks().attachCameraToSkeleton, nullptr);
}

}  // namespace
