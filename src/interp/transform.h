#pragma once
// Rigid-matrix and quaternion primitives shared by every interpolated object.
// Pure arithmetic in f32, the host's own precision: no Windows headers, no allocation.
#include <cstddef>
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

// A rigid matrix's rotation and uniform scale, as MatrixToQuaternion and ValidateRigid give them. Kept
// beside stored matrices so that blending them every frame does not convert them again.
struct RigidRotation {
  Quaternion rotation;
  float scale;
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
// Shortest arc, from polynomials: within 1e-6 of the exact arc for unit inputs, and lerp-like
// (without a switch) as the two orientations meet.
Quaternion Slerp(Quaternion a, Quaternion b, float t) noexcept;
// Converts a matrix ValidateRigid accepted, with the scale it returned.
RigidRotation RigidRotationOf(const RigidMatrix& matrix, float scale) noexcept;

// Blends rotation (slerp), scale and translation (linear); t in [0, 1]. At t = 0 and t = 1 the
// result is a copy of a or b. On failure *out is zero.
bool InterpolateRigid(const RigidMatrix& a, const RigidMatrix& b, float t, RigidMatrix* out) noexcept;
// InterpolateRigid for matrices already known rigid, given their RigidRotationOf: no conversion,
// and the result is checked in full only when it is not rigid by construction.
bool BlendRigid(const RigidMatrix& a, const RigidRotation& ra, const RigidMatrix& b, const RigidRotation& rb, float t,
                RigidMatrix* out) noexcept;
// BlendRigid of a[i] and b[i] into out[i] for every i listed, the same result bone by bone, faster
// over many. On false (a bad t or a failed blend) out is partly written.
bool BlendRigidListed(const RigidMatrix* a, const RigidRotation* ra, const RigidMatrix* b, const RigidRotation* rb,
                      const uint16_t* indices, size_t count, float t, RigidMatrix* out) noexcept;
// Radians between the rotations; pi when either matrix is not rigid, so a bad matrix reads as a cut.
float AngleBetween(const RigidMatrix& a, const RigidMatrix& b) noexcept;
bool IsDiscontinuous(const RigidMatrix& older, const RigidMatrix& newer) noexcept;
// IsDiscontinuous for matrices already known rigid, given their RigidRotationOf.
bool IsDiscontinuousRigid(const RigidMatrix& older, const RigidRotation& olderRotation, const RigidMatrix& newer,
                          const RigidRotation& newerRotation) noexcept;
