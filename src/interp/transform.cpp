#include "interp/transform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define FRAMOLT_BLEND_FOUR 1
#endif

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

namespace {

// All 16 elements finite, without a branch per element: an exponent of all ones is an infinity or
// a NaN.
bool AllFinite(const float* m) noexcept {
  uint32_t special = 0;
  for (int i = 0; i < 16; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &m[i], sizeof(bits));
    special |= static_cast<uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  return special == 0;
}

}  // namespace

bool ValidateRigid(const RigidMatrix& matrix, float* outScale) noexcept {
  if (outScale != nullptr) *outScale = 0.0f;
  const float* m = matrix.m;
  if (!AllFinite(m)) return false;
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

  // One division for the three dot tests and the determinant's.
  const float inverseS = 1.0f / s;
  const float inverseS2 = inverseS * inverseS;
  if (std::fabs(RowDot(m, 0, 1)) * inverseS2 > 0.003f || std::fabs(RowDot(m, 0, 2)) * inverseS2 > 0.003f ||
      std::fabs(RowDot(m, 1, 2)) * inverseS2 > 0.003f) {
    return false;
  }

  const float det = m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
                    m[2] * (m[4] * m[9] - m[5] * m[8]);
  if (std::fabs(det * inverseS2 * inverseS - 1.0f) > 0.005f) return false;  // also refuses mirrors

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

namespace {

// Squared chord between two unit quaternions along the shorter arc (b flipped to a's side).
float ShortArcChordSquared(Quaternion a, Quaternion b) noexcept {
  if (QuaternionDot(a, b) < 0.0f) b = {-b.w, -b.x, -b.y, -b.z};
  const float dw = a.w - b.w;
  const float dx = a.x - b.x;
  const float dy = a.y - b.y;
  const float dz = a.z - b.z;
  return dw * dw + dx * dx + dy * dy + dz * dz;
}

}  // namespace

float QuaternionAngleBetween(Quaternion a, Quaternion b) noexcept {
  const float e = std::sqrt(ShortArcChordSquared(a, b));
  return 4.0f * std::asin(std::min(1.0f, e / 2.0f));
}

namespace {

// For quaternions near unit length (conversions and blends of unit ones) float is exact enough;
// anything far from it takes the careful way.
Quaternion NormaliseNearUnit(Quaternion q) noexcept {
  const float n = q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z;
  if (!(n > 1e-6f && n < 1e6f)) return Normalise(q);
  const float inverse = 1.0f / std::sqrt(n);
  return {q.w * inverse, q.x * inverse, q.y * inverse, q.z * inverse};
}

}  // namespace

Quaternion MatrixToQuaternion(const RigidMatrix& matrix, float scale) noexcept {
  const float* m = matrix.m;
  const float inverseScale = 1.0f / scale;
  const float a00 = m[0] * inverseScale, a01 = m[1] * inverseScale, a02 = m[2] * inverseScale;
  const float a10 = m[4] * inverseScale, a11 = m[5] * inverseScale, a12 = m[6] * inverseScale;
  const float a20 = m[8] * inverseScale, a21 = m[9] * inverseScale, a22 = m[10] * inverseScale;

  // Branch on the largest diagonal term so k never approaches zero.
  Quaternion q;
  const float trace = a00 + a11 + a22;
  if (trace > 0.0f) {
    const float k = 2.0f * std::sqrt(trace + 1.0f);
    const float r = 1.0f / k;
    q = {k * 0.25f, (a21 - a12) * r, (a02 - a20) * r, (a10 - a01) * r};
  } else if (a00 > a11 && a00 > a22) {
    const float k = 2.0f * std::sqrt(1.0f + a00 - a11 - a22);
    const float r = 1.0f / k;
    q = {(a21 - a12) * r, k * 0.25f, (a01 + a10) * r, (a02 + a20) * r};
  } else if (a11 > a22) {
    const float k = 2.0f * std::sqrt(1.0f + a11 - a00 - a22);
    const float r = 1.0f / k;
    q = {(a02 - a20) * r, (a01 + a10) * r, k * 0.25f, (a12 + a21) * r};
  } else {
    const float k = 2.0f * std::sqrt(1.0f + a22 - a00 - a11);
    const float r = 1.0f / k;
    q = {(a10 - a01) * r, (a02 + a20) * r, (a12 + a21) * r, k * 0.25f};
  }
  return NormaliseNearUnit(q);
}

RigidRotation RigidRotationOf(const RigidMatrix& matrix, float scale) noexcept {
  return {MatrixToQuaternion(matrix, scale), scale};
}

void QuaternionToMatrix(Quaternion q, float scale, RigidMatrix* matrix) noexcept {
  q = NormaliseNearUnit(q);
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

// sin(x) / x on [0, pi/2] by its series to x^10: the first term left out is below 4e-8 there.
float SinOverAngle(float x) noexcept {
  const float x2 = x * x;
  return 1.0f + x2 * (-1.0f / 6.0f +
                      x2 * (1.0f / 120.0f + x2 * (-1.0f / 5040.0f + x2 * (1.0f / 362880.0f - x2 * (1.0f / 39916800.0f)))));
}

struct ArcWeights {
  float a;
  float b;
};

// Weights of two unit quaternions whose dot product is c in [0, 1] on the arc at t: the exact
// sin((1 - t) theta) and sin(t theta), divided by theta rather than sin(theta). The sum is then off
// unit length by the factor sin(theta) / theta, which the caller's normalisation removes, and the
// weights stay finite and smooth as theta reaches 0, where they become those of lerp: no switch
// to lerp for nearly parallel inputs and no division by a vanishing sine.
// The shortest arc is at most a quarter turn of the quaternion, so every angle lies in [0, pi/2].
ArcWeights ArcWeightsAt(float c, float t) noexcept {
  const float theta = AcosUnit(c);
  const float u = 1.0f - t;
  return {u * SinOverAngle(u * theta), t * SinOverAngle(t * theta)};
}

}  // namespace

Quaternion Slerp(Quaternion a, Quaternion b, float t) noexcept {
  t = std::clamp(t, 0.0f, 1.0f);
  float d = QuaternionDot(a, b);
  if (d < 0.0f) {
    b = {-b.w, -b.x, -b.y, -b.z};
    d = -d;
  }
  const ArcWeights k = ArcWeightsAt(std::clamp(d, 0.0f, 1.0f), t);
  return NormaliseNearUnit({a.w * k.a + b.w * k.b, a.x * k.a + b.x * k.b, a.y * k.a + b.y * k.b,
                            a.z * k.a + b.z * k.b});
}

namespace {

// A blend of two rigid matrices is rigid by construction when its quaternion had a sane length
// and its scale and translation are finite and in range; the margins cover float rounding of the
// row lengths the full check would measure. Anything else gets the full check.
constexpr float kProvenScaleLow = 0.0001f * 1.001f;
constexpr float kProvenScaleHigh = 16.0f * 0.999f;

// Builds one blended matrix from the arc weights of its two rotations (the newer one's carrying
// the shortest-arc side). The rotation is that of the normalised blend times the blended scale,
// normalised through the factor 2 s / |q|^2 instead of a square root.
bool BuildBlend(const RigidMatrix& a, const RigidRotation& ra, const RigidMatrix& b, const RigidRotation& rb, float t,
                float ka, float kb, RigidMatrix* out) noexcept {
  const Quaternion& qa = ra.rotation;
  const Quaternion& qb = rb.rotation;
  const float w = qa.w * ka + qb.w * kb;
  const float x = qa.x * ka + qb.x * kb;
  const float y = qa.y * ka + qb.y * kb;
  const float z = qa.z * ka + qb.z * kb;
  const float n = w * w + x * x + y * y + z * z;
  const float s = ra.scale + (rb.scale - ra.scale) * t;
  const float f = 2.0f * s / n;
  RigidMatrix r;
  r.m[0] = s - f * (y * y + z * z);
  r.m[1] = f * (x * y - w * z);
  r.m[2] = f * (w * y + x * z);
  r.m[3] = a.m[3] + (b.m[3] - a.m[3]) * t;
  r.m[4] = f * (w * z + x * y);
  r.m[5] = s - f * (x * x + z * z);
  r.m[6] = f * (y * z - w * x);
  r.m[7] = a.m[7] + (b.m[7] - a.m[7]) * t;
  r.m[8] = f * (x * z - w * y);
  r.m[9] = f * (w * x + y * z);
  r.m[10] = s - f * (x * x + y * y);
  r.m[11] = a.m[11] + (b.m[11] - a.m[11]) * t;
  r.m[12] = 0.0f;
  r.m[13] = 0.0f;
  r.m[14] = 0.0f;
  r.m[15] = 1.0f;

  const bool rigidByConstruction = n >= 0.25f && n <= 4.0f && s >= kProvenScaleLow && s <= kProvenScaleHigh &&
                                   std::isfinite(r.m[3]) && std::isfinite(r.m[7]) && std::isfinite(r.m[11]);
  if (!rigidByConstruction && !ValidateRigid(r, nullptr)) return false;
  *out = r;
  return true;
}

// Bones go through the blend in groups, one short loop per stage: each loop's iterations are
// independent, so the processor overlaps them instead of waiting out one bone's long chain of
// dependent multiplications after another.
constexpr size_t kBlendGroup = 16;

#ifdef FRAMOLT_BLEND_FOUR
// Four bones side by side, one per lane, through the very operations of QuaternionDot, ArcWeightsAt
// and BuildBlend in their order: the result is the same bits as theirs, at a fraction of the cost
// for whole skeletons. A lane whose blend is not rigid by construction takes BuildBlend itself.
class FourLanes {
 public:
  explicit FourLanes(float t) : t_(_mm_set1_ps(t)), u_(_mm_set1_ps(1.0f - t)), t1_(t) {}

  bool Blend(const RigidMatrix* a, const RigidRotation* ra, const RigidMatrix* b, const RigidRotation* rb,
             const uint16_t* listed, RigidMatrix* out) const noexcept {
    const uint16_t i0 = listed[0], i1 = listed[1], i2 = listed[2], i3 = listed[3];
    __m128 aw = Load(ra[i0]), ax = Load(ra[i1]), ay = Load(ra[i2]), az = Load(ra[i3]);
    _MM_TRANSPOSE4_PS(aw, ax, ay, az);
    __m128 bw = Load(rb[i0]), bx = Load(rb[i1]), by = Load(rb[i2]), bz = Load(rb[i3]);
    _MM_TRANSPOSE4_PS(bw, bx, by, bz);

    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    const __m128 d = Add(Add(Add(Mul(aw, bw), Mul(ax, bx)), Mul(ay, by)), Mul(az, bz));
    const __m128 negative = _mm_cmplt_ps(d, zero);
    const __m128 side = _mm_or_ps(_mm_and_ps(negative, _mm_set1_ps(-1.0f)), _mm_andnot_ps(negative, one));
    const __m128 cosine = _mm_min_ps(one, Mul(d, side));   // std::min(d * side, 1): NaN stays NaN

    const __m128 theta = AcosUnitFour(cosine);
    const __m128 ka = Mul(u_, SinOverAngleFour(Mul(u_, theta)));
    const __m128 kb = Mul(Mul(t_, SinOverAngleFour(Mul(t_, theta))), side);

    const __m128 w = Add(Mul(aw, ka), Mul(bw, kb));
    const __m128 x = Add(Mul(ax, ka), Mul(bx, kb));
    const __m128 y = Add(Mul(ay, ka), Mul(by, kb));
    const __m128 z = Add(Mul(az, ka), Mul(bz, kb));
    const __m128 n = Add(Add(Add(Mul(w, w), Mul(x, x)), Mul(y, y)), Mul(z, z));
    const __m128 sa = _mm_set_ps(ra[i3].scale, ra[i2].scale, ra[i1].scale, ra[i0].scale);
    const __m128 sb = _mm_set_ps(rb[i3].scale, rb[i2].scale, rb[i1].scale, rb[i0].scale);
    const __m128 s = Add(sa, Mul(_mm_sub_ps(sb, sa), t_));
    const __m128 f = _mm_div_ps(Mul(_mm_set1_ps(2.0f), s), n);

    __m128 m0 = _mm_sub_ps(s, Mul(f, Add(Mul(y, y), Mul(z, z))));
    __m128 m1 = Mul(f, _mm_sub_ps(Mul(x, y), Mul(w, z)));
    __m128 m2 = Mul(f, Add(Mul(w, y), Mul(x, z)));
    __m128 m4 = Mul(f, Add(Mul(w, z), Mul(x, y)));
    __m128 m5 = _mm_sub_ps(s, Mul(f, Add(Mul(x, x), Mul(z, z))));
    __m128 m6 = Mul(f, _mm_sub_ps(Mul(y, z), Mul(w, x)));
    __m128 m8 = Mul(f, _mm_sub_ps(Mul(x, z), Mul(w, y)));
    __m128 m9 = Mul(f, Add(Mul(w, x), Mul(y, z)));
    __m128 m10 = _mm_sub_ps(s, Mul(f, Add(Mul(x, x), Mul(y, y))));
    __m128 m3 = Translation(a, b, listed, 3);
    __m128 m7 = Translation(a, b, listed, 7);
    __m128 m11 = Translation(a, b, listed, 11);

    __m128 proven = _mm_and_ps(_mm_cmpge_ps(n, _mm_set1_ps(0.25f)), _mm_cmple_ps(n, _mm_set1_ps(4.0f)));
    proven = _mm_and_ps(proven, _mm_cmpge_ps(s, _mm_set1_ps(kProvenScaleLow)));
    proven = _mm_and_ps(proven, _mm_cmple_ps(s, _mm_set1_ps(kProvenScaleHigh)));
    proven = _mm_and_ps(proven, Finite(m3));
    proven = _mm_and_ps(proven, Finite(m7));
    proven = _mm_and_ps(proven, Finite(m11));
    const int provenLanes = _mm_movemask_ps(proven);

    _MM_TRANSPOSE4_PS(m0, m1, m2, m3);
    _MM_TRANSPOSE4_PS(m4, m5, m6, m7);
    _MM_TRANSPOSE4_PS(m8, m9, m10, m11);
    const __m128 rows[4][3] = {{m0, m4, m8}, {m1, m5, m9}, {m2, m6, m10}, {m3, m7, m11}};
    alignas(16) float kaLanes[4], kbLanes[4];
    _mm_store_ps(kaLanes, ka);
    _mm_store_ps(kbLanes, kb);
    for (int lane = 0; lane < 4; ++lane) {
      const uint16_t i = listed[lane];
      if ((provenLanes >> lane & 1) == 0) {
        if (!BuildBlend(a[i], ra[i], b[i], rb[i], t1_, kaLanes[lane], kbLanes[lane], &out[i])) return false;
        continue;
      }
      float* m = out[i].m;
      _mm_storeu_ps(m, rows[lane][0]);
      _mm_storeu_ps(m + 4, rows[lane][1]);
      _mm_storeu_ps(m + 8, rows[lane][2]);
      _mm_storeu_ps(m + 12, _mm_set_ps(1.0f, 0.0f, 0.0f, 0.0f));
    }
    return true;
  }

 private:
  static __m128 Mul(__m128 p, __m128 q) { return _mm_mul_ps(p, q); }
  static __m128 Add(__m128 p, __m128 q) { return _mm_add_ps(p, q); }
  static __m128 Load(const RigidRotation& r) { return _mm_loadu_ps(&r.rotation.w); }
  // x - x is 0 for a finite x and NaN for an infinity or a NaN.
  static __m128 Finite(__m128 v) { return _mm_cmpeq_ps(_mm_sub_ps(v, v), _mm_setzero_ps()); }

  static __m128 AcosUnitFour(__m128 c) {
    __m128 p = Add(Mul(_mm_set1_ps(-0.0012624911f), c), _mm_set1_ps(0.0066700901f));
    p = _mm_sub_ps(Mul(p, c), _mm_set1_ps(0.0170881256f));
    p = Add(Mul(p, c), _mm_set1_ps(0.0308918810f));
    p = _mm_sub_ps(Mul(p, c), _mm_set1_ps(0.0501743046f));
    p = Add(Mul(p, c), _mm_set1_ps(0.0889789874f));
    p = _mm_sub_ps(Mul(p, c), _mm_set1_ps(0.2145988016f));
    p = Add(Mul(p, c), _mm_set1_ps(1.5707963050f));
    return Mul(_mm_sqrt_ps(_mm_sub_ps(_mm_set1_ps(1.0f), c)), p);
  }

  static __m128 SinOverAngleFour(__m128 v) {
    const __m128 x2 = Mul(v, v);
    __m128 r = _mm_sub_ps(_mm_set1_ps(1.0f / 362880.0f), Mul(x2, _mm_set1_ps(1.0f / 39916800.0f)));
    r = Add(_mm_set1_ps(-1.0f / 5040.0f), Mul(x2, r));
    r = Add(_mm_set1_ps(1.0f / 120.0f), Mul(x2, r));
    r = Add(_mm_set1_ps(-1.0f / 6.0f), Mul(x2, r));
    return Add(_mm_set1_ps(1.0f), Mul(x2, r));
  }

  __m128 Translation(const RigidMatrix* a, const RigidMatrix* b, const uint16_t* listed, int element) const {
    const __m128 pa = _mm_set_ps(a[listed[3]].m[element], a[listed[2]].m[element], a[listed[1]].m[element],
                                 a[listed[0]].m[element]);
    const __m128 pb = _mm_set_ps(b[listed[3]].m[element], b[listed[2]].m[element], b[listed[1]].m[element],
                                 b[listed[0]].m[element]);
    return Add(pa, Mul(_mm_sub_ps(pb, pa), t_));
  }

  __m128 t_;
  __m128 u_;
  float t1_;
};
#endif

}  // namespace

bool BlendRigidListed(const RigidMatrix* a, const RigidRotation* ra, const RigidMatrix* b, const RigidRotation* rb,
                      const uint16_t* indices, size_t count, float t, RigidMatrix* out) noexcept {
  // The ends are the inputs themselves: an object at rest on a tick is drawn exactly where the
  // game put it, and writes back nothing new. NaN fails both tests.
  if (!(t > 0.0f && t < 1.0f)) {
    if (t != 0.0f && t != 1.0f) return false;
    const RigidMatrix* end = t == 0.0f ? a : b;
    for (size_t k = 0; k < count; ++k) out[indices[k]] = end[indices[k]];
    return true;
  }

  size_t start = 0;
#ifdef FRAMOLT_BLEND_FOUR
  const FourLanes four(t);
  for (; start + 4 <= count; start += 4)
    if (!four.Blend(a, ra, b, rb, indices + start, out)) return false;
#endif
  float cosine[kBlendGroup];
  float side[kBlendGroup];
  ArcWeights weights[kBlendGroup];
  for (size_t base = start; base < count; base += kBlendGroup) {
    const size_t group = std::min(kBlendGroup, count - base);
    const uint16_t* listed = indices + base;
    for (size_t k = 0; k < group; ++k) {
      const float d = QuaternionDot(ra[listed[k]].rotation, rb[listed[k]].rotation);
      side[k] = d < 0.0f ? -1.0f : 1.0f;  // shortest arc
      cosine[k] = std::min(d * side[k], 1.0f);
    }
    for (size_t k = 0; k < group; ++k) weights[k] = ArcWeightsAt(cosine[k], t);
    for (size_t k = 0; k < group; ++k) {
      const uint16_t i = listed[k];
      if (!BuildBlend(a[i], ra[i], b[i], rb[i], t, weights[k].a, weights[k].b * side[k], &out[i])) return false;
    }
  }
  return true;
}

bool BlendRigid(const RigidMatrix& a, const RigidRotation& ra, const RigidMatrix& b, const RigidRotation& rb, float t,
                RigidMatrix* out) noexcept {
  const uint16_t only = 0;
  if (BlendRigidListed(&a, &ra, &b, &rb, &only, 1, t, out)) return true;
  *out = RigidMatrix{};
  return false;
}

bool InterpolateRigid(const RigidMatrix& a, const RigidMatrix& b, float t, RigidMatrix* out) noexcept {
  float sa = 0.0f;
  float sb = 0.0f;
  if (!ValidateRigid(a, &sa) || !ValidateRigid(b, &sb) || !(t >= 0.0f && t <= 1.0f)) {
    *out = RigidMatrix{};
    return false;
  }
  if (t == 0.0f || t == 1.0f) return BlendRigid(a, {}, b, {}, t, out);  // a copy: no conversion needed
  return BlendRigid(a, RigidRotationOf(a, sa), b, RigidRotationOf(b, sb), t, out);
}

float AngleBetween(const RigidMatrix& a, const RigidMatrix& b) noexcept {
  float sa = 0.0f;
  float sb = 0.0f;
  if (!ValidateRigid(a, &sa) || !ValidateRigid(b, &sb)) return kRigidPi;
  return QuaternionAngleBetween(MatrixToQuaternion(a, sa), MatrixToQuaternion(b, sb));
}

namespace {

// Squared chords between unit quaternions safely below and above the one at kDiscontinuityAngle
// (4 asin(chord / 2) = 120 degrees at a chord of exactly 1): outside this band the comparison
// needs no arcsine, inside it the exact angle decides as before.
constexpr float kChordSquaredSurelyBelow = 0.999f;
constexpr float kChordSquaredSurelyAbove = 1.001f;

bool TurnedTooFar(Quaternion older, Quaternion newer) noexcept {
  const float chordSquared = ShortArcChordSquared(older, newer);
  if (chordSquared < kChordSquaredSurelyBelow) return false;
  if (chordSquared > kChordSquaredSurelyAbove) return true;
  return QuaternionAngleBetween(older, newer) > kDiscontinuityAngle;
}

bool MovedTooFar(const RigidMatrix& older, const RigidMatrix& newer) noexcept {
  const float dx = newer.m[3] - older.m[3];
  const float dy = newer.m[7] - older.m[7];
  const float dz = newer.m[11] - older.m[11];
  // NaN fails "<=", so an unreadable distance counts as a cut.
  return !(dx * dx + dy * dy + dz * dz <= kDiscontinuityDistanceSquared);
}

}  // namespace

bool IsDiscontinuous(const RigidMatrix& older, const RigidMatrix& newer) noexcept {
  if (MovedTooFar(older, newer)) return true;
  float so = 0.0f;
  float sn = 0.0f;
  if (!ValidateRigid(older, &so) || !ValidateRigid(newer, &sn)) return true;  // reads as a turn of pi
  return TurnedTooFar(MatrixToQuaternion(older, so), MatrixToQuaternion(newer, sn));
}

bool IsDiscontinuousRigid(const RigidMatrix& older, const RigidRotation& olderRotation, const RigidMatrix& newer,
                          const RigidRotation& newerRotation) noexcept {
  return MovedTooFar(older, newer) || TurnedTooFar(olderRotation.rotation, newerRotation.rotation);
}
