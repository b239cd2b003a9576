// Which bone carries the scripted camera, and how the camera is rebuilt in the form it was found.
#include <gtest/gtest.h>

#include <functional>

#include "camera_rig.h"

namespace {

using camera_rig::HeadOffset;
using camera_rig::Rig;

AttachmentResult Found(uint64_t bone, bool transposed) {
  AttachmentResult r;
  r.found = true;
  r.bone = bone;
  r.transposed = transposed;
  return r;
}

TEST(CameraSkeletonSearch, ChoosesTheBoneTheCameraKeepsItsOffsetTo) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> setup;
    int bone;   // -1: nothing found
    bool transposed;
    uint64_t count;
  };
  const Case cases[] = {
      {"constant offset to bone 7", [](Rig& r) { r.Ride(7, HeadOffset()); }, 7, false, 10},
      {"equal fits: the earlier bone", [](Rig& r) { r.Twin(0.0f, 0.0f); }, 3, false, 10},
      {"later bone, more than half the error", [](Rig& r) { r.Twin(0.0016f, 0.0006f); }, 3, false, 10},
      {"later bone, less than half the error", [](Rig& r) { r.Twin(0.0016f, 0.0010f); }, 7, false, 10},
      {"previous bone still fits", [](Rig& r) { r.Twin(0.0016f, 0.0016f), r.previous = Found(3, false); }, 3, false, 10},
      {"previous bone, other form", [](Rig& r) { r.Twin(0.0016f, 0.0016f), r.previous = Found(3, true); }, 7, false, 10},
      {"previous bone no longer fits", [](Rig& r) { r.Ride(7, HeadOffset()), r.previous = Found(5, false); }, 7, false, 10},
      {"matches only transposed", [](Rig& r) { r.Ride(7, HeadOffset(), true); }, 7, true, 10},
      {"drift counted half, within", [](Rig& r) { r.Ride(7, HeadOffset(), false, 0.0036f); }, 7, false, 10},
      {"drift over the tolerance", [](Rig& r) { r.Ride(7, HeadOffset(), false, 0.0044f); }, -1, false, 10},
      {"parent after its child", [](Rig& r) { r.Ride(7, HeadOffset()), r.parents[4] = 6; }, -1, false, 10},
      {"bone its own parent", [](Rig& r) { r.Ride(7, HeadOffset()), r.parents[4] = 4; }, -1, false, 10},
      {"root bone not invertible", [](Rig& r) { r.Ride(7, HeadOffset()), r.local[1][0].m[0] = 0.0f; }, -1, false, 10},
      {"one bone", [](Rig& r) { r.Ride(0, HeadOffset()); }, 0, false, 1},
      {"no bones", [](Rig& r) { r.Ride(0, HeadOffset()); }, -1, false, 0},
      {"257 bones", [](Rig& r) { r.Ride(0, HeadOffset()); }, -1, false, 257},
  };
  for (const Case& c : cases) {
    Rig rig;
    c.setup(rig);
    const AttachmentResult r = SearchAttachment(rig.local[0], rig.local[1], rig.parents, c.count, rig.root[0],
                                                rig.root[1], rig.camera[0], rig.camera[1], rig.previous);
    ASSERT_EQ(r.found, c.bone >= 0) << c.name;
    if (!r.found) continue;
    EXPECT_EQ(r.bone, static_cast<uint64_t>(c.bone)) << c.name;
    EXPECT_EQ(r.transposed, c.transposed) << c.name;
  }
}

// From the newer world bone at alpha 1 the attached camera is the newer tick's camera, written in
// the form the camera was found in; the camera's other elements are left as they were.
TEST(CameraSkeletonApply, RebuildsTheCameraInTheFormItWasFound) {
  for (const bool transposed : {false, true}) {
    Rig rig;
    rig.Ride(7, HeadOffset(), transposed);
    const AttachmentResult result = SearchAttachment(rig.local[0], rig.local[1], rig.parents, camera_rig::kBones,
                                                     rig.root[0], rig.root[1], rig.camera[0], rig.camera[1], {});
    CameraTransform camera{};
    for (int i = 0; i < 16; ++i) camera.matrix.m[i] = 100.0f + static_cast<float>(i);
    ASSERT_TRUE(ApplyAttachment(result, rig.World(1, 7), 1.0f, &camera));
    for (int i = 0; i < 16; ++i) {
      const float expected = i < 12 && i % 4 != 3 ? rig.camera[1].matrix.m[i] : 100.0f + static_cast<float>(i);
      EXPECT_NEAR(camera.matrix.m[i], expected, 1e-5f) << transposed << " element " << i;
    }
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(camera.position[r], rig.camera[1].position[r], 1e-5f);
    EXPECT_FALSE(ApplyAttachment(result, RigidMatrix{}, 1.0f, &camera)) << "no rigid camera from a zero bone";
    EXPECT_FALSE(ApplyAttachment(AttachmentResult{}, rig.World(1, 7), 1.0f, &camera)) << "nothing found";
  }
}

}  // namespace
