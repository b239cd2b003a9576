#pragma once
// Rigid-matrix and quaternion primitives shared by every interpolated object.
// Pure arithmetic in f32, the host's own precision: no Windows headers, no allocation.
#include <cstdint>

// Host matrix layout: 16 f32 in row order, points as column vectors, translation in
// m[3], m[7], m[11], bottom row (0, 0, 0, 1). The upper 3x3 is a rotation times a uniform scale.
struct RigidMatrix {
  float m[16];
};
static_assert(sizeof(RigidMatrix) == 64, "copied to and from host memory as 16 packed floats");

// Stored as (w, x, y, z).
struct Quaternion {
  float w;
  float x;
  float y;
  float z;
};

inline constexpr float kRigidPi = 3.1415927f;
// More than 5 units of travel (squared) or 120 degrees of turn between two ticks is a cut, not motion.
inline constexpr float kDiscontinuityDistanceSquared = 25.0f;
inline constexpr float kDiscontinuityAngle = 2.0943952f;

// Accepts a finite rotation times a uniform scale in (0.0001, 16) with bottom row (0, 0, 0, 1);
// mirrored matrices are refused. outScale (optional) receives the scale, 0 on refusal.
bool ValidateRigid(const RigidMatrix& matrix, float* outScale) noexcept;
// Every element within tolerance; NaN never compares equal.
bool NearlyEqual(const RigidMatrix& a, const RigidMatrix& b, float tolerance) noexcept;
// Exact bit pattern equality, the cheap test run before any trigonometry.
bool BytewiseEqual(const RigidMatrix& a, const RigidMatrix& b) noexcept;
RigidMatrix UniformScaleMatrix(float scale) noexcept;

Quaternion Normalise(Quaternion q) noexcept;  // identity when the length is zero or not finite
float QuaternionDot(const Quaternion& a, const Quaternion& b) noexcept;
Quaternion QuaternionMultiply(const Quaternion& a, const Quaternion& b) noexcept;  // Hamilton product
// Angle in radians between two orientations, through the chord between unit quaternions.
float QuaternionAngleBetween(Quaternion a, Quaternion b) noexcept;
// scale is the one ValidateRigid returned for the matrix.
Quaternion MatrixToQuaternion(const RigidMatrix& matrix, float scale) noexcept;
// Writes the nine rotation elements only; translation and bottom row stay as they are.
void QuaternionToMatrix(Quaternion q, float scale, RigidMatrix* matrix) noexcept;
Quaternion Slerp(Quaternion a, Quaternion b, float t) noexcept;  // shortest arc

// Blends rotation (slerp), scale and translation (linear); t in [0, 1]. On failure *out is zero.
bool InterpolateRigid(const RigidMatrix& a, const RigidMatrix& b, float t, RigidMatrix* out) noexcept;
// Radians between the rotations; pi when either matrix is not rigid, so a bad matrix reads as a cut.
float AngleBetween(const RigidMatrix& a, const RigidMatrix& b) noexcept;
bool IsDiscontinuous(const RigidMatrix& older, const RigidMatrix& newer) noexcept;
