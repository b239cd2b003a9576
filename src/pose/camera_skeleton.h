#pragma once
// The scripted camera's ride on the body skeleton: once per pair of ticks, find the bone the
// camera keeps a constant offset to; at render time, rebuild the camera from the interpolated body.
#include <cstdint>
#include <string>

#include "frame/presentation_clock.h"
#include "interp/render_hooks.h"
#include "interp/transform.h"

struct AttachmentResult {
  bool found = false;
  uint64_t bone = 0;
  bool transposed = false;
  RigidMatrix offsetOlder{};
  RigidMatrix offsetNewer{};
  float offsetError = 0.0f;
};

struct AttachmentCounters {
  uint64_t matrixCameraFrames = 0, searches = 0, found = 0, framesApplied = 0;
  uint64_t switches = 0, boneChanges = 0;
  float worstOffsetError = 0.0f;
};

// Pure rules (no host, no state).
RigidMatrix MultiplyAffine(const RigidMatrix& a, const RigidMatrix& b) noexcept;
bool InverseRigid(const RigidMatrix& m, RigidMatrix* out) noexcept;
float OffsetError(const RigidMatrix& a, const RigidMatrix& b) noexcept;
// parents: one entry per bone, negative for a root, else an earlier bone's index.
bool GlobalBones(const RigidMatrix* local, const int16_t* parents, uint64_t n, RigidMatrix* global) noexcept;
bool GlobalBone(const RigidMatrix* local, const int16_t* parents, uint64_t n, uint64_t bone, RigidMatrix* out) noexcept;
AttachmentResult SearchAttachment(const RigidMatrix* olderPose, const RigidMatrix* newerPose, const int16_t* parents,
                                  uint64_t n, const RigidMatrix& olderRoot, const RigidMatrix& newerRoot,
                                  const CameraTransform& olderCamera, const CameraTransform& newerCamera,
                                  const AttachmentResult& previous) noexcept;
bool ApplyAttachment(const AttachmentResult& result, const RigidMatrix& worldBone, float alpha,
                     CameraTransform* camera) noexcept;

// The render detour's hook: true when *interpolated now holds the attached camera.
bool AttachCameraToSkeleton(const ClockSample& sample, const CameraTransform& older, const CameraTransform& newer,
                            CameraTransform* interpolated);
// Fills or empties the render hook slot; the cached result and counters survive a clock reset.
void JoinCameraSkeleton(bool join);
const AttachmentCounters& CameraSkeletonCounters();
const AttachmentResult& CameraSkeletonCachedResult();
void ZeroCameraSkeletonCounters();
// The interpolation report's line: empty when no matrix-camera frame came since the last one.
// Zeroes the counters either way; the cached result stays.
std::wstring TakeCameraSkeletonReportLine();
