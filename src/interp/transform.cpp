#include "interp/transform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

float RowLength(const float* m, int row) {
  const float a = m[row * 4];
  const float b = m[row * 4 + 1];
  const float c = m[row * 4 + 2];
  return std::sqrt(a * a + b * b + c * c);
}

float RowDot(const float* m, int i, int j) {
  return m[i * 4] * m[j * 4] + m[i * 4 + 1] * m[j * 4 + 1] + m[i * 4 + 2] * m[j * 4 + 2];
}

}  // namespace

bool ValidateRigid(const RigidMatrix& matrix, float* outScale) noexcept {
  if (outScale != nullptr) *outScale = 0.0f;
  const float* m = matrix.m;
  for (float v : matrix.m) {
    if (!std::isfinite(v)) return false;
  }
  if (std::fabs(m[12]) > 0.002f || std::fabs(m[13]) > 0.002f || std::fabs(m[14]) > 0.002f ||
      std::fabs(m[15] - 1.0f) > 0.002f) {
    return false;
  }

  const float r0 = RowLength(m, 0);
  const float r1 = RowLength(m, 1);
  const float r2 = RowLength(m, 2);
  const float s = (r0 + r1 + r2) / 3.0f;
  if (!std::isfinite(s) || s < 0.0001f || s > 16.0f) return false;

  const float rowTolerance = std::max(s, 1.0f) * 0.003f;
  if (std::fabs(r0 - s) > rowTolerance || std::fabs(r1 - s) > rowTolerance ||
      std::fabs(r2 - s) > rowTolerance) {
    return false;
  }

  const float s2 = s * s;
  if (std::fabs(RowDot(m, 0, 1)) / s2 > 0.003f || std::fabs(RowDot(m, 0, 2)) / s2 > 0.003f ||
      std::fabs(RowDot(m, 1, 2)) / s2 > 0.003f) {
    return false;
  }

  const float det = m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
                    m[2] * (m[4] * m[9] - m[5] * m[8]);
  if (std::fabs(det / (s2 * s) - 1.0f) > 0.005f) return false;  // also refuses mirrors

  if (outScale != nullptr) *outScale = s;
  return true;
}

bool NearlyEqual(const RigidMatrix& a, const RigidMatrix& b, float tolerance) noexcept {
  for (int i = 0; i < 16; ++i) {
    if (!(std::fabs(a.m[i] - b.m[i]) <= tolerance)) return false;
  }
  return true;
}

bool BytewiseEqual(const RigidMatrix& a, const RigidMatrix& b) noexcept {
  return std::memcmp(a.m, b.m, sizeof(a.m)) == 0;
}

RigidMatrix UniformScaleMatrix(float scale) noexcept {
  RigidMatrix r{};
  r.m[0] = scale;
  r.m[5] = scale;
  r.m[10] = scale;
  r.m[15] = 1.0f;
  return r;
}

Quaternion Normalise(Quaternion q) noexcept {
  // In double: the squares of any finite float neither underflow nor overflow there, so a tiny
  // or huge quaternion still comes back unit length.
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double n = w * w + x * x + y * y + z * z;
  if (n > 0.0 && std::isfinite(n)) {
    const double len = std::sqrt(n);
    return {static_cast<float>(w / len), static_cast<float>(x / len), static_cast<float>(y / len),
            static_cast<float>(z / len)};
  }
  return {1.0f, 0.0f, 0.0f, 0.0f};
}

float QuaternionDot(const Quaternion& a, const Quaternion& b) noexcept {
  return a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
}

Quaternion QuaternionMultiply(const Quaternion& a, const Quaternion& b) noexcept {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
          a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
          a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

float QuaternionAngleBetween(Quaternion a, Quaternion b) noexcept {
  if (QuaternionDot(a, b) < 0.0f) b = {-b.w, -b.x, -b.y, -b.z};
  const float dw = a.w - b.w;
  const float dx = a.x - b.x;
  const float dy = a.y - b.y;
  const float dz = a.z - b.z;
  const float e = std::sqrt(dw * dw + dx * dx + dy * dy + dz * dz);
  return 4.0f * std::asin(std::min(1.0f, e / 2.0f));
}

Quaternion MatrixToQuaternion(const RigidMatrix& matrix, float scale) noexcept {
  const float* m = matrix.m;
  const float a00 = m[0] / scale, a01 = m[1] / scale, a02 = m[2] / scale;
  const float a10 = m[4] / scale, a11 = m[5] / scale, a12 = m[6] / scale;
  const float a20 = m[8] / scale, a21 = m[9] / scale, a22 = m[10] / scale;

  // Branch on the largest diagonal term so k never approaches zero.
  Quaternion q;
  const float trace = a00 + a11 + a22;
  if (trace > 0.0f) {
    const float k = 2.0f * std::sqrt(trace + 1.0f);
    q = {k / 4.0f, (a21 - a12) / k, (a02 - a20) / k, (a10 - a01) / k};
  } else if (a00 > a11 && a00 > a22) {
    const float k = 2.0f * std::sqrt(1.0f + a00 - a11 - a22);
    q = {(a21 - a12) / k, k / 4.0f, (a01 + a10) / k, (a02 + a20) / k};
  } else if (a11 > a22) {
    const float k = 2.0f * std::sqrt(1.0f + a11 - a00 - a22);
    q = {(a02 - a20) / k, (a01 + a10) / k, k / 4.0f, (a12 + a21) / k};
  } else {
    const float k = 2.0f * std::sqrt(1.0f + a22 - a00 - a11);
    q = {(a10 - a01) / k, (a02 + a20) / k, (a12 + a21) / k, k / 4.0f};
  }
  return Normalise(q);
}

void QuaternionToMatrix(Quaternion q, float scale, RigidMatrix* matrix) noexcept {
  q = Normalise(q);
  const float w = q.w, x = q.x, y = q.y, z = q.z;
  float* m = matrix->m;
  m[0] = (1.0f - 2.0f * (y * y + z * z)) * scale;
  m[1] = 2.0f * (x * y - w * z) * scale;
  m[2] = 2.0f * (w * y + x * z) * scale;
  m[4] = 2.0f * (w * z + x * y) * scale;
  m[5] = (1.0f - 2.0f * (x * x + z * z)) * scale;
  m[6] = 2.0f * (y * z - w * x) * scale;
  m[8] = 2.0f * (x * z - w * y) * scale;
  m[9] = 2.0f * (w * x + y * z) * scale;
  m[10] = (1.0f - 2.0f * (x * x + y * y)) * scale;
}

namespace {

// acos on [0, 1] to within 2e-8 (a polynomial under a square root), without the C runtime's
// trigonometry, which costs a fifth of a microsecond a call under some systems and runs for every
// interpolated object of every frame.
float AcosUnit(float c) noexcept {
  const float p = ((((((-0.0012624911f * c + 0.0066700901f) * c - 0.0170881256f) * c + 0.0308918810f) * c -
                     0.0501743046f) * c + 0.0889789874f) * c - 0.2145988016f) * c + 1.5707963050f;
  return std::sqrt(1.0f - c) * p;
}

// sin on [0, pi/2] by its series to x^11: the first term left out is below 6e-8 there.
float SinQuarter(float x) noexcept {
  const float x2 = x * x;
  return x * (1.0f + x2 * (-1.0f / 6.0f + x2 * (1.0f / 120.0f + x2 * (-1.0f / 5040.0f +
                                                                    x2 * (1.0f / 362880.0f - x2 / 39916800.0f)))));
}

}  // namespace

Quaternion Slerp(Quaternion a, Quaternion b, float t) noexcept {
  t = std::clamp(t, 0.0f, 1.0f);
  float d = QuaternionDot(a, b);
  if (d < 0.0f) {
    b = {-b.w, -b.x, -b.y, -b.z};
    d = -d;
  }
  const float c = std::clamp(d, 0.0f, 1.0f);
  if (c > 0.9995f) {
    // Nearly parallel: sin(theta) is too small to divide by, and lerp is exact enough.
    return Normalise({a.w + (b.w - a.w) * t, a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t,
                      a.z + (b.z - a.z) * t});
  }
  // The shortest arc is at most a quarter turn of the quaternion, so every angle lies in [0, pi/2].
  const float theta = AcosUnit(c);
  const float inverseSin = 1.0f / SinQuarter(theta);
  const float sa = SinQuarter((1.0f - t) * theta) * inverseSin;
  const float sb = SinQuarter(t * theta) * inverseSin;
  return Normalise({a.w * sa + b.w * sb, a.x * sa + b.x * sb, a.y * sa + b.y * sb, a.z * sa + b.z * sb});
}

bool InterpolateRigid(const RigidMatrix& a, const RigidMatrix& b, float t, RigidMatrix* out) noexcept {
  *out = RigidMatrix{};
  float sa = 0.0f;
  float sb = 0.0f;
  if (!ValidateRigid(a, &sa) || !ValidateRigid(b, &sb)) return false;
  if (!std::isfinite(t) || t < 0.0f || t > 1.0f) return false;

  const float s = sa + (sb - sa) * t;
  RigidMatrix r = UniformScaleMatrix(s);
  QuaternionToMatrix(Slerp(MatrixToQuaternion(a, sa), MatrixToQuaternion(b, sb), t), s, &r);
  for (int i : {3, 7, 11}) r.m[i] = a.m[i] + (b.m[i] - a.m[i]) * t;

  if (!ValidateRigid(r, nullptr)) return false;
  *out = r;
  return true;
}

float AngleBetween(const RigidMatrix& a, const RigidMatrix& b) noexcept {
  float sa = 0.0f;
  float sb = 0.0f;
  if (!ValidateRigid(a, &sa) || !ValidateRigid(b, &sb)) return kRigidPi;
  return QuaternionAngleBetween(MatrixToQuaternion(a, sa), MatrixToQuaternion(b, sb));
}

bool IsDiscontinuous(const RigidMatrix& older, const RigidMatrix& newer) noexcept {
  const float dx = newer.m[3] - older.m[3];
  const float dy = newer.m[7] - older.m[7];
  const float dz = newer.m[11] - older.m[11];
  // NaN fails "<=", so an unreadable distance counts as a cut.
  if (!(dx * dx + dy * dy + dz * dz <= kDiscontinuityDistanceSquared)) return true;
  return AngleBetween(older, newer) > kDiscontinuityAngle;
}
