// The pure half of the camera's ride on the body skeleton: matrix helpers, the bone search and the
// rebuild of the camera from a world bone. No host, no state.
#include <cmath>

#include "pose/camera_skeleton.h"

namespace {

constexpr float kOffsetTolerance = 0.002f;
constexpr uint64_t kMaxBones = 256;

// The camera as a matrix of the same kind as a bone: its 3x3, as stored or transposed, and its position.
RigidMatrix CameraMatrix(const CameraTransform& camera, bool transposed) {
  RigidMatrix c{};
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) c.m[r * 4 + k] = transposed ? camera.matrix.m[k * 4 + r] : camera.matrix.m[r * 4 + k];
    c.m[r * 4 + 3] = camera.position[r];
  }
  c.m[15] = 1.0f;
  return c;
}

struct Candidate {
  bool found = false;
  AttachmentResult result;
};

}  // namespace

RigidMatrix MultiplyAffine(const RigidMatrix& a, const RigidMatrix& b) noexcept {
  RigidMatrix out{};
  for (int r = 0; r < 3; ++r) {
    const float* row = &a.m[r * 4];
    for (int c = 0; c < 4; ++c) out.m[r * 4 + c] = row[0] * b.m[c] + row[1] * b.m[4 + c] + row[2] * b.m[8 + c] + row[3] * b.m[12 + c];
  }
  out.m[15] = 1.0f;
  return out;
}

bool InverseRigid(const RigidMatrix& m, RigidMatrix* out) noexcept {
  *out = RigidMatrix{};
  float scale = 0.0f;
  if (!ValidateRigid(m, &scale)) return false;
  const float inverseSquare = 1.0f / (scale * scale);
  RigidMatrix inverse{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) inverse.m[r * 4 + c] = m.m[c * 4 + r] * inverseSquare;
  }
  for (int r = 0; r < 3; ++r) {
    const float* row = &inverse.m[r * 4];
    inverse.m[r * 4 + 3] = -(row[0] * m.m[3] + row[1] * m.m[7] + row[2] * m.m[11]);
  }
  inverse.m[15] = 1.0f;
  *out = inverse;
  return true;
}

float OffsetError(const RigidMatrix& a, const RigidMatrix& b) noexcept {
  float worst = 0.0f;
  for (int i = 0; i < 12; ++i) {
    float difference = std::fabs(a.m[i] - b.m[i]);
    // Rotation elements are unitless; a translation error of twice as much is tolerated.
    if (i % 4 == 3) difference *= 0.5f;
    // A NaN must come out, so that the caller sees a non-finite error.
    if (std::isnan(difference)) return difference;
    if (difference > worst) worst = difference;
  }
  return worst;
}

bool GlobalBones(const RigidMatrix* local, const int16_t* parents, uint64_t n, RigidMatrix* global) noexcept {
  if (n > kMaxBones) return false;
  for (uint64_t i = 0; i < n; ++i) {
    const int16_t parent = parents[i];
    if (parent < 0) {
      global[i] = local[i];
    } else if (static_cast<uint64_t>(parent) >= i) {
      return false;
    } else {
      global[i] = MultiplyAffine(global[parent], local[i]);
    }
  }
  return true;
}

bool GlobalBone(const RigidMatrix* local, const int16_t* parents, uint64_t n, uint64_t bone, RigidMatrix* out) noexcept {
  *out = RigidMatrix{};
  if (n > kMaxBones || bone >= n) return false;
  RigidMatrix result = local[bone];
  uint64_t current = bone;
  for (uint64_t steps = 0; parents[current] >= 0; ++steps) {
    const auto parent = static_cast<uint64_t>(parents[current]);
    if (parent >= current || steps + 1 >= n) return false;
    result = MultiplyAffine(local[parent], result);
    current = parent;
  }
  *out = result;
  return true;
}

AttachmentResult SearchAttachment(const RigidMatrix* olderPose, const RigidMatrix* newerPose, const int16_t* parents,
                                  uint64_t n, const RigidMatrix& olderRoot, const RigidMatrix& newerRoot,
                                  const CameraTransform& olderCamera, const CameraTransform& newerCamera,
                                  const AttachmentResult& previous) noexcept {
  // Game thread only, once per tick pair: too large for the stack of a host callback.
  static RigidMatrix olderGlobal[kMaxBones];
  static RigidMatrix newerGlobal[kMaxBones];
  if (n < 1 || n > kMaxBones || !GlobalBones(olderPose, parents, n, olderGlobal) ||
      !GlobalBones(newerPose, parents, n, newerGlobal))
    return AttachmentResult{};

  Candidate best;
  Candidate sticky;
  for (const bool transposed : {false, true}) {
    const RigidMatrix olderCameraMatrix = CameraMatrix(olderCamera, transposed);
    const RigidMatrix newerCameraMatrix = CameraMatrix(newerCamera, transposed);
    for (uint64_t i = 0; i < n; ++i) {
      RigidMatrix olderInverse;
      RigidMatrix newerInverse;
      if (!InverseRigid(MultiplyAffine(olderRoot, olderGlobal[i]), &olderInverse) ||
          !InverseRigid(MultiplyAffine(newerRoot, newerGlobal[i]), &newerInverse))
        continue;
      AttachmentResult candidate;
      candidate.found = true;
      candidate.bone = i;
      candidate.transposed = transposed;
      candidate.offsetOlder = MultiplyAffine(olderInverse, olderCameraMatrix);
      candidate.offsetNewer = MultiplyAffine(newerInverse, newerCameraMatrix);
      candidate.offsetError = OffsetError(candidate.offsetOlder, candidate.offsetNewer);
      if (!std::isfinite(candidate.offsetError) || !(candidate.offsetError < kOffsetTolerance)) continue;
      if (previous.found && previous.bone == i && previous.transposed == transposed) sticky = {true, candidate};
      // A later bone must fit clearly better, so that near-equal fits keep the earliest bone.
      if (!best.found || candidate.offsetError < best.result.offsetError * 0.5f) best = {true, candidate};
    }
  }
  if (sticky.found) return sticky.result;
  if (best.found) return best.result;
  return AttachmentResult{};
}

bool ApplyAttachment(const AttachmentResult& result, const RigidMatrix& worldBone, float alpha,
                     CameraTransform* camera) noexcept {
  if (!result.found) return false;
  RigidMatrix offset;
  if (!InterpolateRigid(result.offsetOlder, result.offsetNewer, alpha, &offset)) offset = result.offsetNewer;
  const RigidMatrix attached = MultiplyAffine(worldBone, offset);
  if (!ValidateRigid(attached, nullptr)) return false;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k)
      camera->matrix.m[r * 4 + k] = result.transposed ? attached.m[k * 4 + r] : attached.m[r * 4 + k];
    camera->position[r] = attached.m[r * 4 + 3];
  }
  return true;
}
