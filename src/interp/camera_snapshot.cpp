#include "interp/camera_snapshot.h"

#include <algorithm>
#include <cmath>

namespace {

// Below this cos(pitch) the camera looks straight up or down: yaw and roll share one axis, and a
// float quaternion (about 1e-7 of noise per element) no longer tells them apart, so roll goes to
// yaw. The orientation drawn differs from the exact one by at most about this many radians.
constexpr double kGimbalCosine = 1e-5;

bool AnglesFinite(const CameraSnapshot& s) {
  return std::isfinite(s.pitch) && std::isfinite(s.yaw) && std::isfinite(s.roll);
}

Quaternion AxisAngle(float angle, float x, float y, float z) {
  const float half = angle * 0.5f;
  const float s = std::sin(half);
  return {std::cos(half), x * s, y * s, z * s};
}

}  // namespace

Quaternion SnapshotOrientation(const CameraSnapshot& s) noexcept {
  return Normalise(EulerToQuaternion({s.pitch, s.yaw, s.roll}));
}

bool ValidateSnapshot(const CameraSnapshot& snapshot) noexcept {
  for (float v : snapshot.position) {
    if (!std::isfinite(v)) return false;
  }
  if (snapshot.mode == kCameraModeEuler) return AnglesFinite(snapshot);
  if (snapshot.mode == kCameraModeMatrix) return ValidateRigid(snapshot.matrix, nullptr);
  return false;
}

bool SnapshotNearlyEqual(const CameraSnapshot& a, const CameraSnapshot& b, float tolerance) noexcept {
  if (a.mode != b.mode) return false;
  for (int i = 0; i < 3; ++i) {
    if (!(std::fabs(a.position[i] - b.position[i]) <= tolerance)) return false;
  }
  if (a.mode == kCameraModeMatrix) return NearlyEqual(a.matrix, b.matrix, tolerance);
  if (a.mode == kCameraModeEuler) {
    return std::fabs(a.pitch - b.pitch) <= tolerance && std::fabs(a.yaw - b.yaw) <= tolerance &&
           std::fabs(a.roll - b.roll) <= tolerance;
  }
  return false;
}

float SnapshotAngleBetween(const CameraSnapshot& a, const CameraSnapshot& b) noexcept {
  if (a.mode != b.mode) return kRigidPi;
  if (a.mode == kCameraModeMatrix) return AngleBetween(a.matrix, b.matrix);
  // Non-finite angles would normalise to the identity and read as "no turn at all".
  if (a.mode != kCameraModeEuler || !AnglesFinite(a) || !AnglesFinite(b)) return kRigidPi;
  return QuaternionAngleBetween(SnapshotOrientation(a), SnapshotOrientation(b));
}

bool SnapshotIsDiscontinuous(const CameraSnapshot& older, const CameraSnapshot& newer) noexcept {
  if (older.mode != newer.mode) return true;
  const float dx = newer.position[0] - older.position[0];
  const float dy = newer.position[1] - older.position[1];
  const float dz = newer.position[2] - older.position[2];
  if (!(dx * dx + dy * dy + dz * dz <= kDiscontinuityDistanceSquared)) return true;
  return SnapshotAngleBetween(older, newer) > kDiscontinuityAngle;
}

Quaternion EulerToQuaternion(const EulerAngles& angles) noexcept {
  const Quaternion qy = AxisAngle(angles.yaw, 0.0f, 1.0f, 0.0f);
  const Quaternion qx = AxisAngle(angles.pitch, 1.0f, 0.0f, 0.0f);
  const Quaternion qz = AxisAngle(angles.roll, 0.0f, 0.0f, 1.0f);
  return QuaternionMultiply(QuaternionMultiply(qy, qx), qz);
}

EulerAngles QuaternionToEuler(Quaternion q) noexcept {
  // In double: near pitch +-90 degrees yaw and roll come from differences of nearly equal terms,
  // which float rounds to noise (a yaw of 2.5 read back as 0).
  const double w0 = q.w, x0 = q.x, y0 = q.y, z0 = q.z;
  const double n = std::sqrt(w0 * w0 + x0 * x0 + y0 * y0 + z0 * z0);
  if (!(n > 0.0) || !std::isfinite(n)) return {};
  const double w = w0 / n, x = x0 / n, y = y0 / n, z = z0 / n;
  // Rotation matrix elements of qY(yaw) * qX(pitch) * qZ(roll).
  const double sinPitch = 2.0 * (w * x - y * z);
  const double m02 = 2.0 * (w * y + x * z);     // sin(yaw) cos(pitch)
  const double m22 = 1.0 - 2.0 * (x * x + y * y);  // cos(yaw) cos(pitch)
  const double cosPitch = std::hypot(m02, m22);
  EulerAngles angles{};
  angles.pitch = static_cast<float>(std::atan2(sinPitch, cosPitch));
  if (cosPitch > kGimbalCosine) {
    angles.yaw = static_cast<float>(std::atan2(m02, m22));
    angles.roll = static_cast<float>(std::atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (x * x + z * z)));
  } else {
    angles.yaw = static_cast<float>(std::atan2(2.0 * (w * y - x * z), 1.0 - 2.0 * (y * y + z * z)));
    angles.roll = 0.0f;
  }
  return angles;
}

bool InterpolateSnapshot(const CameraSnapshot& a, const CameraSnapshot& b, float t, CameraSnapshot* out) noexcept {
  const bool euler = a.mode == kCameraModeEuler && b.mode == kCameraModeEuler;
  return InterpolateOrientedSnapshot(a, euler ? SnapshotOrientation(a) : Quaternion{1, 0, 0, 0}, b,
                                     euler ? SnapshotOrientation(b) : Quaternion{1, 0, 0, 0}, t, out);
}

bool InterpolateOrientedSnapshot(const CameraSnapshot& a, const Quaternion& aOrientation, const CameraSnapshot& b,
                                 const Quaternion& bOrientation, float t, CameraSnapshot* out) noexcept {
  *out = CameraSnapshot{};
  if (!ValidateSnapshot(a) || !ValidateSnapshot(b) || !std::isfinite(t) || t < 0.0f || t > 1.0f ||
      a.mode != b.mode) {
    return false;
  }

  CameraSnapshot r{};
  for (int i = 0; i < 3; ++i) r.position[i] = a.position[i] + (b.position[i] - a.position[i]) * t;
  r.mode = a.mode;
  if (a.mode == kCameraModeEuler) {
    // Through quaternions, so 179 to -179 degrees of yaw turns 2 degrees, not 358.
    const EulerAngles angles = QuaternionToEuler(Slerp(aOrientation, bOrientation, t));
    r.pitch = angles.pitch;
    r.yaw = angles.yaw;
    r.roll = angles.roll;
  } else if (!InterpolateRigid(a.matrix, b.matrix, t, &r.matrix)) {
    return false;
  }

  if (!ValidateSnapshot(r)) return false;
  *out = r;
  return true;
}
