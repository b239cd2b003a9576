#pragma once
// A small body skeleton at two ticks with a scripted camera riding one of its bones, built with the
// tests' own full 4x4 product so that expectations do not lean on the code under test.
#include <cstdint>

#include "interp/interp_test_support.h"
#include "pose/camera_skeleton.h"

namespace camera_rig {

inline constexpr uint64_t kBones = 10;

inline RigidMatrix Product(const RigidMatrix& a, const RigidMatrix& b) {
  RigidMatrix out{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      for (int k = 0; k < 4; ++k) out.m[r * 4 + c] += a.m[r * 4 + k] * b.m[k * 4 + c];
  return out;
}

inline RigidMatrix Identity() { return UniformScaleMatrix(1.0f); }
inline RigidMatrix Shift(float x, float y, float z) { return Translated(Identity(), x, y, z); }

inline float MaxDifference(const RigidMatrix& a, const RigidMatrix& b) {
  float worst = 0.0f;
  for (int i = 0; i < 16; ++i) {
    const float d = a.m[i] > b.m[i] ? a.m[i] - b.m[i] : b.m[i] - a.m[i];
    if (!(d <= worst)) worst = d;
  }
  return worst;
}

struct Rig {
  int16_t parents[kBones] = {-1, 0, 1, 2, 3, 4, 5, 6, 2, 8};
  RigidMatrix local[2][kBones];   // [0] older tick, [1] newer tick
  RigidMatrix root[2];
  CameraTransform camera[2];
  AttachmentResult previous;

  Rig() {
    for (uint64_t i = 0; i < kBones; ++i) {
      const float f = static_cast<float>(i);
      for (int t = 0; t < 2; ++t) {
        // Every bone turns about its own oblique axis and moves a little between the ticks.
        local[t][i] = AxisRotation(0.48f, 0.6f, 0.64f, 0.1f * f + 0.04f * static_cast<float>(t) * (f + 1.0f), 1.0f,
                                   0.1f * f, 0.3f, 0.02f * static_cast<float>(t));
      }
    }
    root[0] = AxisRotation(0.0f, 1.0f, 0.0f, 0.2f, 1.0f, 5.0f, 0.0f, 3.0f);
    root[1] = AxisRotation(0.0f, 1.0f, 0.0f, 0.25f, 1.0f, 5.1f, 0.0f, 3.05f);
  }

  // Root times the bone's chain of locals, walked by the tests' own product.
  RigidMatrix World(int tick, uint64_t bone, const RigidMatrix* pose = nullptr, const RigidMatrix* rootMatrix = nullptr) const {
    const RigidMatrix* locals = pose != nullptr ? pose : local[tick];
    RigidMatrix chain = locals[bone];
    for (int16_t p = parents[bone]; p >= 0; p = parents[p]) chain = Product(locals[p], chain);
    return Product(rootMatrix != nullptr ? *rootMatrix : root[tick], chain);
  }

  // The camera keeps offset to the bone; at the newer tick drift is added in the bone's frame first.
  void Ride(uint64_t bone, const RigidMatrix& offset, bool transposed = false, const RigidMatrix& drift = Identity()) {
    for (int t = 0; t < 2; ++t) {
      const RigidMatrix c = Product(World(t, bone), t == 1 ? Product(drift, offset) : offset);
      camera[t].matrix = RigidMatrix{};
      for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) camera[t].matrix.m[r * 4 + k] = transposed ? c.m[k * 4 + r] : c.m[r * 4 + k];
      camera[t].matrix.m[15] = 1.0f;
      for (int r = 0; r < 3; ++r) camera[t].position[r] = c.m[r * 4 + 3];
    }
  }

  AttachmentResult Search(uint64_t n = kBones) const {
    return SearchAttachment(local[0], local[1], parents, n, root[0], root[1], camera[0], camera[1], previous);
  }
};

// A head-camera offset: turned and lifted off the bone.
inline RigidMatrix HeadOffset() { return AxisRotation(1.0f, 0.0f, 0.0f, 0.3f, 1.0f, 0.0f, 0.12f, 0.08f); }

}  // namespace camera_rig
