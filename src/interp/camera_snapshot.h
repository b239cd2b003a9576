#pragma once
// The plug-in's copy of one listener-camera state and the arithmetic over it.
#include <cstdint>

#include "interp/transform.h"

inline constexpr uint32_t kCameraModeEuler = 0;
inline constexpr uint32_t kCameraModeMatrix = 1;

// Both orientation forms live in one record so that a mode change between ticks is visible
// (and counts as a cut). Euler mode: matrix all zero. Matrix mode: angles zero.
struct CameraSnapshot {
  float position[3];
  float pitch;  // radians, about X
  float yaw;    // radians, about Y
  float roll;   // radians, about Z
  uint32_t mode;  // kCameraModeEuler, kCameraModeMatrix; anything else is invalid
  RigidMatrix matrix;
};
static_assert(sizeof(CameraSnapshot) == 92, "compared and copied bytewise; no padding");

struct EulerAngles {
  float pitch;
  float yaw;
  float roll;
};

bool ValidateSnapshot(const CameraSnapshot& snapshot) noexcept;
bool SnapshotNearlyEqual(const CameraSnapshot& a, const CameraSnapshot& b, float tolerance) noexcept;
// Radians between the two orientations; pi when the modes differ or either orientation is unusable.
float SnapshotAngleBetween(const CameraSnapshot& a, const CameraSnapshot& b) noexcept;
bool SnapshotIsDiscontinuous(const CameraSnapshot& older, const CameraSnapshot& newer) noexcept;

// The euler orientation qY(yaw) * qX(pitch) * qZ(roll), not normalised.
Quaternion EulerToQuaternion(const EulerAngles& angles) noexcept;
// Back to angles; at pitch +-90 degrees the roll folds into yaw and comes back 0.
EulerAngles QuaternionToEuler(Quaternion q) noexcept;

// Position linearly, orientation by slerp (euler) or InterpolateRigid (matrix); t in [0, 1].
// Fails on invalid input, differing modes or an invalid result; *out is then all zero.
bool InterpolateSnapshot(const CameraSnapshot& a, const CameraSnapshot& b, float t, CameraSnapshot* out) noexcept;
// The normalised euler orientation of a snapshot, as InterpolateSnapshot blends it.
Quaternion SnapshotOrientation(const CameraSnapshot& snapshot) noexcept;
// InterpolateSnapshot with the euler orientations already known (a history keeps them per entry,
// so a render pays the trigonometry once per tick, not once per frame). Ignored in matrix mode.
bool InterpolateOrientedSnapshot(const CameraSnapshot& a, const Quaternion& aOrientation, const CameraSnapshot& b,
                                 const Quaternion& bOrientation, float t, CameraSnapshot* out) noexcept;
