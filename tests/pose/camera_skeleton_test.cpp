// The ride at render time on the body state the capture leaves: the camera rebuilt on the drawn
// bone, the declines, the search once per tick pair and the report line.
#include "pose/camera_skeleton.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "entity/entity_runtime.h"
#include "entity/entity_test_host.h"
#include "entity/root_registries.h"
#include "pose/camera_rig.h"
#include "pose/pose_state.h"
#include "pose/skeleton_test_host.h"

namespace {

using camera_rig::HeadOffset;
using camera_rig::kBones;
using camera_rig::Rig;
using entity_test::Sample;

class CameraSkeletonAttach : public ::testing::Test {
 public:
  void SetUp() override {
    entity_test::UseTestHost();
    TearDown();
    MutableEntityFlags().handsPose = true;
    entity_.SetVtable(entity_test::TestVtable());
  }
  void TearDown() override {
    pose_test::ResetPoseRuntime();
    JoinCameraSkeleton(false);
  }

  // The body's identity, parents and histories after the capture of the rig's two ticks.
  void Capture(const Rig& rig, uint64_t firstTick, uint64_t generation = 1, bool withRoot = true) {
    BodyPoseState& body = TheBodyPose();
    body.storedSkeleton = &entity_;
    body.storedCount = kBones;
    for (uint64_t i = 0; i < kBones; ++i) body.parents[i] = static_cast<uint16_t>(rig.parents[i]);
    body.parentsKnown = true;
    TheRootRegistries().body.entity = entity_.get();
    for (int t = 0; t < 2; ++t) {
      PublishPoseHistory(body.history, firstTick + t, generation, rig.local[t], kBones, false);
      if (withRoot) PublishTransformHistory(TheRootRegistries().body.history, firstTick + t, generation, rig.root[t]);
    }
  }

  static bool Attach(const Rig& rig, const ClockSample& sample, CameraTransform* drawn) {
    *drawn = rig.camera[1];
    return AttachCameraToSkeleton(sample, rig.camera[0], rig.camera[1], drawn);
  }

  entity_test::TestEntity entity_{"PlayerBody", 1, entity_test::Pose(0.4f, 2.0f, 0.5f, -1.0f)};
};

TEST_F(CameraSkeletonAttach, CameraKeepsItsBlendedOffsetToTheDrawnBone) {
  for (const bool rootHistory : {true, false}) {
    SetUp();
    Rig rig;
    if (!rootHistory) rig.root[0] = rig.root[1] = entity_.Root();   // the body's matrix serves both ticks
    rig.Ride(7, HeadOffset(), false, 0.002f);
    Capture(rig, 1, 1, rootHistory);
    CameraTransform drawn;
    ASSERT_TRUE(Attach(rig, Sample(1, 2, 0.25), &drawn)) << rootHistory;

    RigidMatrix pose[kBones];
    RigidMatrix root;
    for (uint64_t i = 0; i < kBones; ++i) ASSERT_TRUE(InterpolateRigid(rig.local[0][i], rig.local[1][i], 0.25f, &pose[i]));
    ASSERT_TRUE(InterpolateRigid(rig.root[0], rig.root[1], 0.25f, &root));
    const RigidMatrix expected =
        camera_rig::Product(rig.World(1, 7, pose, &root), camera_rig::Product(camera_rig::Shift(0.0005f), HeadOffset()));
    for (int i = 0; i < 12; ++i) {
      const float got = i % 4 == 3 ? drawn.position[i / 4] : drawn.matrix.m[i];
      EXPECT_NEAR(got, expected.m[i], 1e-4f) << rootHistory << " element " << i;
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
      {"body pose off", [](Rig&, CameraSkeletonAttach&) { MutableEntityFlags().handsPose = false; }, 0},
      {"no body entity", [](Rig&, CameraSkeletonAttach&) { TheRootRegistries().body.entity = nullptr; }, 0},
      {"no skeleton", [](Rig&, CameraSkeletonAttach&) { TheBodyPose().storedSkeleton = nullptr; }, 0},
      {"parents unknown", [](Rig&, CameraSkeletonAttach&) { TheBodyPose().parentsKnown = false; }, 0},
      {"bone count changed", [](Rig&, CameraSkeletonAttach&) { TheBodyPose().storedCount = kBones - 1; }, 0},
      {"no root pair, body not recognised",
       [](Rig&, CameraSkeletonAttach& f) {
         ResetTransformHistory(TheRootRegistries().body.history);
         f.entity_.SetVtable(entity_test::ForeignVtable());
       },
       0},
      {"camera moves against the body", [](Rig& r, CameraSkeletonAttach&) { r.Ride(7, HeadOffset(), false, 0.01f); }, 1},
  };
  for (const Case& c : cases) {
    SetUp();
    Rig rig;
    rig.Ride(7, HeadOffset());
    Capture(rig, 1);
    c.change(rig, *this);
    CameraTransform drawn;
    EXPECT_FALSE(Attach(rig, Sample(1, 2, 0.5), &drawn)) << c.name;
    EXPECT_EQ(std::memcmp(&drawn, &rig.camera[1], sizeof(drawn)), 0) << c.name;
    EXPECT_EQ(CameraSkeletonCounters().matrixCameraFrames, c.matrixFrames) << c.name;
  }
}

TEST_F(CameraSkeletonAttach, SearchesOncePerTickPairAndReportsWhatItDid) {
  CameraTransform drawn;
  Rig first;
  first.Ride(7, HeadOffset(), false, 0.002f);   // offset error 0.001
  Capture(first, 1);
  EXPECT_TRUE(Attach(first, Sample(1, 2, 0.25), &drawn));
  EXPECT_TRUE(Attach(first, Sample(1, 2, 0.75), &drawn)) << "same pair: cached";
  Rig second;
  second.Ride(3, HeadOffset());
  Capture(second, 3);
  EXPECT_TRUE(Attach(second, Sample(3, 4, 0.5), &drawn)) << "bone change";
  Capture(second, 3, 2);
  EXPECT_TRUE(Attach(second, Sample(3, 4, 0.5, 2), &drawn)) << "same ticks, new generation: searched again";
  Rig loose;
  loose.Ride(3, HeadOffset(), false, 0.01f);
  Capture(loose, 5, 2);
  EXPECT_FALSE(Attach(loose, Sample(5, 6, 0.5, 2), &drawn)) << "lost";

  const std::wstring line = TakeCameraSkeletonReportLine();
  const std::wstring head =
      L"Camera-to-skeleton attachment: matrix-camera frames/tick-pair searches/found/frames applied=5/4/3/4, "
      L"last bone=none, found/lost switches=2, bone changes=1, stored-as-transpose=no, worst accepted offset error=";
  ASSERT_EQ(line.substr(0, head.size()), head);
  EXPECT_NEAR(std::wcstod(line.c_str() + head.size(), nullptr), 0.001, 2e-6);
  EXPECT_EQ(TakeCameraSkeletonReportLine(), L"") << "nothing since the last report";
}

TEST_F(CameraSkeletonAttach, KeepsItsBoneUntilTheSkeletonChanges) {
  CameraTransform drawn;
  Rig exact;
  exact.Ride(3, HeadOffset());
  Capture(exact, 1);
  ASSERT_TRUE(Attach(exact, Sample(1, 2, 0.5), &drawn));
  Rig twin;
  twin.Twin(0.0016f, 0.0016f);
  Capture(twin, 3);
  ASSERT_TRUE(Attach(twin, Sample(3, 4, 0.5), &drawn));
  EXPECT_EQ(CameraSkeletonCachedResult().bone, 3u) << "still fits: kept though 7 fits better";
  ++TheBodyPose().identitySerial;
  Capture(twin, 5);
  ASSERT_TRUE(Attach(twin, Sample(5, 6, 0.5), &drawn));
  EXPECT_EQ(CameraSkeletonCachedResult().bone, 7u) << "another skeleton: no preference";
}

}  // namespace
