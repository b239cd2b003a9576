#pragma once
// A body skeleton at two ticks with a scripted camera riding one bone, built with the tests' own
// full 4x4 product so that expectations do not lean on the code under test.
#include <cstdint>

#include "interp/interp_test_support.h"
#include "pose/camera_skeleton.h"

namespace camera_rig {

inline constexpr uint64_t kBones = 10;

inline RigidMatrix Product(const RigidMatrix& a, const RigidMatrix& b) {
  RigidMatrix out{};
  for (int i = 0; i < 16; ++i)
    for (int k = 0; k < 4; ++k) out.m[i] += a.m[i / 4 * 4 + k] * b.m[k * 4 + i % 4];
  return out;
}

inline RigidMatrix Shift(float x) { return Translated(UniformScaleMatrix(1.0f), x, 0.0f, 0.0f); }
// A head camera: turned and lifted off its bone.
inline RigidMatrix HeadOffset() { return AxisRotation(1.0f, 0.0f, 0.0f, 0.3f, 1.0f, 0.0f, 0.12f, 0.08f); }

struct Rig {
  int16_t parents[kBones] = {-1, 0, 1, 2, 3, 4, 5, 6, 2, 8};
  RigidMatrix local[2][kBones];   // older, newer tick
  RigidMatrix root[2] = {AxisRotation(0, 1, 0, 0.2f, 1, 5.0f, 0, 3.0f), AxisRotation(0, 1, 0, 0.25f, 1, 5.1f, 0, 3.05f)};
  CameraTransform camera[2] = {};
  AttachmentResult previous;

  Rig() {
    // Every bone turns about an oblique axis, each at its own rate between the ticks.
    for (int t = 0; t < 2; ++t)
      for (uint64_t i = 0; i < kBones; ++i) {
        const float f = static_cast<float>(i);
        local[t][i] = AxisRotation(0.48f, 0.6f, 0.64f, 0.1f * f + 0.04f * static_cast<float>(t) * (f + 1), 1, 0.1f * f,
                                   0.3f, 0.02f * static_cast<float>(t));
      }
  }

  RigidMatrix World(int tick, uint64_t bone, const RigidMatrix* pose = nullptr, const RigidMatrix* at = nullptr) const {
    const RigidMatrix* locals = pose != nullptr ? pose : local[tick];
    RigidMatrix chain = locals[bone];
    for (int16_t p = parents[bone]; p >= 0; p = parents[p]) chain = Product(locals[p], chain);
    return Product(at != nullptr ? *at : root[tick], chain);
  }

  // The camera at offset from the bone; at the newer tick it drifts by drift along the bone's x.
  void Ride(uint64_t bone, const RigidMatrix& offset, bool transposed = false, float drift = 0.0f) {
    for (int t = 0; t < 2; ++t) {
      const RigidMatrix c = Product(World(t, bone), Product(Shift(t == 1 ? drift : 0.0f), offset));
      camera[t].matrix = UniformScaleMatrix(1.0f);
      for (int i = 0; i < 12; ++i)
        if (i % 4 != 3) camera[t].matrix.m[i] = transposed ? c.m[i % 4 * 4 + i / 4] : c.m[i];
      for (int r = 0; r < 3; ++r) camera[t].position[r] = c.m[r * 4 + 3];
    }
  }

  // Bone 7 a copy of bone 3 (identity local under it), moved by boneDrift at the newer tick; the
  // camera rides bone 3 with cameraDrift. Errors: bone 3 cameraDrift / 2, bone 7 |cameraDrift - boneDrift| / 2.
  void Twin(float cameraDrift, float boneDrift) {
    parents[7] = 3;
    local[0][7] = UniformScaleMatrix(1.0f);
    local[1][7] = Shift(boneDrift);
    Ride(3, HeadOffset(), false, cameraDrift);
  }
};

}  // namespace camera_rig
