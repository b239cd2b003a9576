// Which bone carries the scripted camera, and how the camera is rebuilt from it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "camera_rig.h"

namespace {

using camera_rig::HeadOffset;
using camera_rig::Identity;
using camera_rig::kBones;
using camera_rig::MaxDifference;
using camera_rig::Rig;
using camera_rig::Shift;

// Bone 7 made a copy of bone 3 (identity local under it); at the newer tick bone 7 is moved by
// boneShift in bone 3's frame and the camera by cameraShift, each counting half in the error.
void TwinOfThree(Rig& rig, float cameraShift, float boneShift) {
  rig.parents[7] = 3;
  rig.local[0][7] = Identity();
  rig.local[1][7] = Shift(boneShift, 0.0f, 0.0f);
  rig.Ride(3, HeadOffset(), false, Shift(cameraShift, 0.0f, 0.0f));
}

AttachmentResult Found(uint64_t bone, bool transposed = false) {
  AttachmentResult r;
  r.found = true;
  r.bone = bone;
  r.transposed = transposed;
  return r;
}

struct SearchCase {
  const char* name;
  std::function<void(Rig&)> setup;
  bool found;
  uint64_t bone;
  bool transposed;
};

TEST(CameraSkeletonSearch, ChoosesTheBoneTheCameraKeepsItsOffsetTo) {
  const SearchCase cases[] = {
      {"constant offset to bone 7", [](Rig& r) { r.Ride(7, HeadOffset()); }, true, 7, false},
      {"equal fits: the earlier bone", [](Rig& r) { TwinOfThree(r, 0.0f, 0.0f); }, true, 3, false},
      {"later bone with more than half the error", [](Rig& r) { TwinOfThree(r, 0.0016f, 0.0006f); }, true, 3, false},
      {"later bone with less than half the error", [](Rig& r) { TwinOfThree(r, 0.0016f, 0.0010f); }, true, 7, false},
      {"previous bone still fits: kept",
       [](Rig& r) {
         TwinOfThree(r, 0.0016f, 0.0016f);
         r.previous = Found(3);
       },
       true, 3, false},
      {"previous bone fits only in the other form: not kept",
       [](Rig& r) {
         TwinOfThree(r, 0.0016f, 0.0016f);
         r.previous = Found(3, true);
       },
       true, 7, false},
      {"previous bone no longer fits",
       [](Rig& r) {
         r.Ride(7, HeadOffset());
         r.previous = Found(5);
       },
       true, 7, false},
      {"matches only transposed", [](Rig& r) { r.Ride(7, HeadOffset(), true); }, true, 7, true},
      {"offset drifts by more than the tolerance",
       [](Rig& r) { r.Ride(7, HeadOffset(), false, Shift(0.0044f, 0.0f, 0.0f)); }, false, 0, false},
      {"offset drifts just within the tolerance",
       [](Rig& r) { r.Ride(7, HeadOffset(), false, Shift(0.0036f, 0.0f, 0.0f)); }, true, 7, false},
      {"parent after its child",
       [](Rig& r) {
         r.Ride(7, HeadOffset());
         r.parents[4] = 6;
       },
       false, 0, false},
      {"bone its own parent",
       [](Rig& r) {
         r.Ride(7, HeadOffset());
         r.parents[4] = 4;
       },
       false, 0, false},
      {"a root bone that cannot be inverted",
       [](Rig& r) {
         r.Ride(7, HeadOffset());
         r.local[1][0].m[0] = 0.0f;
       },
       false, 0, false},
  };
  for (const SearchCase& c : cases) {
    Rig rig;
    c.setup(rig);
    const AttachmentResult r = rig.Search();
    EXPECT_EQ(r.found, c.found) << c.name;
    if (!c.found || !r.found) continue;
    EXPECT_EQ(r.bone, c.bone) << c.name;
    EXPECT_EQ(r.transposed, c.transposed) << c.name;
    EXPECT_LT(r.offsetError, 0.002f) << c.name;
  }
}

TEST(CameraSkeletonSearch, RefusesBoneCountsOutsideOneTo256) {
  Rig rig;
  rig.Ride(0, HeadOffset());
  EXPECT_TRUE(rig.Search(1).found);
  EXPECT_FALSE(rig.Search(0).found);
  EXPECT_FALSE(rig.Search(257).found);
}

TEST(CameraSkeletonSearch, OffsetErrorCountsTranslationHalf) {
  const RigidMatrix a = Identity();
  RigidMatrix b = Shift(0.003f, 0.0f, 0.0f);
  EXPECT_FLOAT_EQ(OffsetError(a, b), 0.0015f);
  b.m[6] = 0.002f;
  EXPECT_FLOAT_EQ(OffsetError(a, b), 0.002f);
  b.m[15] = 5.0f;   // the bottom row is not part of the offset
  EXPECT_FLOAT_EQ(OffsetError(a, b), 0.002f);
  b.m[9] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(std::isnan(OffsetError(a, b)));
}

TEST(CameraSkeletonBones, WalkAgreesWithTheWholeSkeletonAndRefusesBadParents) {
  Rig rig;
  static RigidMatrix global[kBones];
  ASSERT_TRUE(GlobalBones(rig.local[0], rig.parents, kBones, global));
  for (uint64_t i = 0; i < kBones; ++i) {
    RigidMatrix one;
    ASSERT_TRUE(GlobalBone(rig.local[0], rig.parents, kBones, i, &one)) << i;
    EXPECT_LT(MaxDifference(one, global[i]), 1e-5f) << i;
    EXPECT_LT(MaxDifference(camera_rig::Product(rig.root[0], one), rig.World(0, i)), 1e-5f) << i;
  }
  RigidMatrix out;
  EXPECT_FALSE(GlobalBone(rig.local[0], rig.parents, kBones, kBones, &out)) << "bone past the count";
  EXPECT_FALSE(GlobalBone(rig.local[0], rig.parents, 4, 7, &out)) << "bone past a shortened count";
  rig.parents[5] = 9;
  EXPECT_FALSE(GlobalBone(rig.local[0], rig.parents, kBones, 7, &out)) << "parent after the child on the chain";
  EXPECT_TRUE(GlobalBone(rig.local[0], rig.parents, kBones, 4, &out)) << "chain not through the bad bone";
}

TEST(CameraSkeletonBones, InverseUndoesARigidMatrixWithScale) {
  const RigidMatrix m = AxisRotation(0.48f, 0.6f, 0.64f, 1.1f, 2.0f, 3.0f, -1.0f, 0.5f);
  RigidMatrix inverse;
  ASSERT_TRUE(InverseRigid(m, &inverse));
  EXPECT_LT(MaxDifference(MultiplyAffine(inverse, m), Identity()), 1e-5f);
  EXPECT_LT(MaxDifference(MultiplyAffine(m, inverse), Identity()), 1e-5f);
  RigidMatrix mirrored = Identity();
  mirrored.m[0] = -1.0f;
  EXPECT_FALSE(InverseRigid(mirrored, &inverse));
}

// The attached camera from the newer world bone at alpha 1 is the camera of the newer tick.
TEST(CameraSkeletonApply, RebuildsTheCameraInTheFormItWasFound) {
  for (const bool transposed : {false, true}) {
    Rig rig;
    rig.Ride(7, HeadOffset(), transposed);
    const AttachmentResult result = rig.Search();
    ASSERT_TRUE(result.found);
    CameraTransform camera{};
    for (int i = 0; i < 16; ++i) camera.matrix.m[i] = 100.0f + static_cast<float>(i);
    ASSERT_TRUE(ApplyAttachment(result, rig.World(1, 7), 1.0f, &camera));
    for (int i : {0, 1, 2, 4, 5, 6, 8, 9, 10})
      EXPECT_NEAR(camera.matrix.m[i], rig.camera[1].matrix.m[i], 1e-5f) << transposed << " element " << i;
    for (int i : {3, 7, 11, 12, 13, 14, 15})
      EXPECT_EQ(camera.matrix.m[i], 100.0f + static_cast<float>(i)) << "left alone: " << i;
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(camera.position[r], rig.camera[1].position[r], 1e-5f);
  }
}

TEST(CameraSkeletonApply, BlendsTheOffsetAndFallsBackToTheNewerOne) {
  Rig rig;
  rig.Ride(7, HeadOffset(), false, Shift(0.002f, 0.0f, 0.0f));
  AttachmentResult result = rig.Search();
  ASSERT_TRUE(result.found);
  const RigidMatrix bone = rig.World(1, 7);
  const auto positionAt = [&](const AttachmentResult& r, float alpha) {
    CameraTransform camera{};
    EXPECT_TRUE(ApplyAttachment(r, bone, alpha, &camera));
    const RigidMatrix expected = camera_rig::Product(bone, camera_rig::Product(Shift(0.001f, 0, 0), HeadOffset()));
    return std::hypot(camera.position[0] - expected.m[3], camera.position[1] - expected.m[7],
                      camera.position[2] - expected.m[11]);
  };
  EXPECT_LT(positionAt(result, 0.5f), 1e-5f) << "half of the drift at alpha 0.5";
  result.offsetOlder = RigidMatrix{};   // not rigid: the newer offset alone
  EXPECT_NEAR(positionAt(result, 0.5f), 0.001f, 2e-5f);

  CameraTransform untouched{};
  EXPECT_FALSE(ApplyAttachment(AttachmentResult{}, bone, 0.5f, &untouched)) << "nothing found";
  EXPECT_FALSE(ApplyAttachment(result, RigidMatrix{}, 0.5f, &untouched)) << "no rigid camera from a zero bone";
  EXPECT_EQ(untouched.position[0], 0.0f);
}

}  // namespace
