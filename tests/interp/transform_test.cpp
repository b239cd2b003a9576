#include "interp/transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "interp_test_support.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

RigidMatrix With(RigidMatrix m, int index, float value) {
  m.m[index] = value;
  return m;
}

RigidMatrix Rows(float r0, float r1, float r2) {
  return With(With(With(UniformScaleMatrix(1.0f), 0, r0), 5, r1), 10, r2);
}

void ExpectMatrixNear(const RigidMatrix& actual, const RigidMatrix& expected, float tolerance) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(actual.m[i], expected.m[i], tolerance) << "element " << i;
}

TEST(InterpTransform, ValidateRigidAcceptsOnlyRotationTimesUniformScale) {
  const RigidMatrix id = UniformScaleMatrix(1.0f);
  const struct {
    const char* name;
    RigidMatrix matrix;
    float scale;  // 0: refused
  } cases[] = {
      {"rotated and translated", AxisRotation(0.6f, 0.0f, 0.8f, 1.1f, 1.0f, 100.0f, -5.0f, 3.0f), 1.0f},
      {"bottom row within slack", With(id, 14, 0.001f), 1.0f},
      {"bottom row off", With(id, 14, 0.003f), 0.0f},
      {"m15 off", With(id, 15, 1.003f), 0.0f},
      {"uniform scale 2", RotationY(0.4f, 2.0f), 2.0f},
      {"scale 20", UniformScaleMatrix(20.0f), 0.0f},
      {"mirrored", Rows(-1.0f, 1.0f, 1.0f), 0.0f},
      {"NaN element", With(id, 3, kNaN), 0.0f},
      {"huge rows overflow", Rows(3e38f, 3e38f, 3e38f), 0.0f},
      {"sheared", With(id, 1, 0.01f), 0.0f},
      // Row-length slack is absolute below scale 1 and relative above it.
      {"scale 10, 0.4% spread", Rows(10.0f, 10.0f, 10.04f), 30.04f / 3.0f},
      {"scale 0.5, 0.6% spread", Rows(0.5f, 0.5f, 0.503f), 1.503f / 3.0f},
      {"scale 0.5, 0.8% spread", Rows(0.5f, 0.5f, 0.506f), 0.0f},
  };
  for (const auto& c : cases) {
    float scale = -1.0f;
    EXPECT_EQ(ValidateRigid(c.matrix, &scale), c.scale != 0.0f) << c.name;
    EXPECT_NEAR(scale, c.scale, 1e-5f) << c.name;
  }
}

TEST(InterpTransform, QuaternionRoundTripCoversEveryBranch) {
  // Half-turns drive the trace negative and pick each diagonal branch in turn.
  const RigidMatrix cases[] = {
      AxisRotation(0, 1, 0, 0.3f),          AxisRotation(1, 0, 0, 3.1f), AxisRotation(0, 1, 0, 3.1f),
      AxisRotation(0, 0, 1, 3.1f),          AxisRotation(0.48f, 0.6f, 0.64f, 150.0f * kDeg),
      AxisRotation(0, 0.6f, -0.8f, 2.5f, 3.0f),
  };
  for (const RigidMatrix& m : cases) {
    float scale = 0.0f;
    ASSERT_TRUE(ValidateRigid(m, &scale));
    RigidMatrix back = UniformScaleMatrix(1.0f);
    QuaternionToMatrix(MatrixToQuaternion(m, scale), scale, &back);
    ExpectMatrixNear(back, m, 2e-5f * scale);
  }
  EXPECT_EQ(Normalise({0, 0, 0, 0}).w, 1.0f);
  EXPECT_EQ(Normalise({kNaN, 1, 0, 0}).w, 1.0f);
}

TEST(InterpTransform, NormaliseKeepsTheDirectionOfTinyAndHugeQuaternions) {
  // Squared lengths that underflow or overflow in float: each must still come back unit length,
  // pointing the same way.
  const Quaternion cases[] = {
      {1e-30f, 0, 0, 0}, {0, 3e-25f, 0, -4e-25f}, {1e-45f, 0, 0, 0}, {0, 0, 1e-45f, 1e-45f},
      {3e30f, 4e30f, 0, 0}, {0, 0, 3e38f, -3e38f}, {1e-20f, 0, 2e-20f, 0},
  };
  for (const Quaternion& q : cases) {
    const Quaternion n = Normalise(q);
    const double len = std::sqrt(double{n.w} * n.w + double{n.x} * n.x + double{n.y} * n.y + double{n.z} * n.z);
    EXPECT_NEAR(len, 1.0, 1e-6) << q.w << " " << q.x << " " << q.y << " " << q.z;
    const double scale = q.w != 0 ? n.w / double{q.w} : q.x != 0 ? n.x / double{q.x} : n.y / double{q.y};
    EXPECT_NEAR(n.w, q.w * scale, 1e-6);
    EXPECT_NEAR(n.x, q.x * scale, 1e-6);
    EXPECT_NEAR(n.y, q.y * scale, 1e-6);
    EXPECT_NEAR(n.z, q.z * scale, 1e-6);
  }
}

TEST(InterpTransform, InterpolateRigidBlendsRotationScaleAndTranslation) {
  RigidMatrix out{};
  ASSERT_TRUE(InterpolateRigid(RotationY(0.0f), RotationY(90.0f * kDeg), 0.5f, &out));
  ExpectMatrixNear(out, RotationY(45.0f * kDeg), 1e-6f);

  const RigidMatrix a = Translated(RotationY(0.2f, 2.0f), 0.0f, 10.0f, -4.0f);
  const RigidMatrix b = Translated(RotationY(0.2f, 3.0f), 4.0f, 12.0f, -4.0f);
  ASSERT_TRUE(InterpolateRigid(a, b, 0.5f, &out));
  float scale = 0.0f;
  ASSERT_TRUE(ValidateRigid(out, &scale));
  EXPECT_NEAR(scale, 2.5f, 1e-5f);
  EXPECT_EQ(out.m[3], 2.0f);
  EXPECT_EQ(out.m[7], 11.0f);
  EXPECT_EQ(out.m[11], -4.0f);
}

TEST(InterpTransform, InterpolateRigidTakesTheShortArc) {
  // 90 degrees apart through 180; their quaternions come from different conversion branches
  // with a negative dot product.
  const RigidMatrix a = RotationY(170.0f * kDeg);
  const RigidMatrix b = RotationY(-100.0f * kDeg);
  ASSERT_LT(QuaternionDot(MatrixToQuaternion(a, 1.0f), MatrixToQuaternion(b, 1.0f)), 0.0f);
  RigidMatrix out{};
  ASSERT_TRUE(InterpolateRigid(a, b, 0.5f, &out));
  EXPECT_NEAR(AngleBetween(out, RotationY(-145.0f * kDeg)), 0.0f, 2e-3f);
}

TEST(InterpTransform, InterpolateRigidEndsAreExactCopies) {
  // Oblique, scaled and translated, so a conversion round trip would not reproduce them bit for bit.
  const RigidMatrix a = AxisRotation(0.48f, 0.6f, 0.64f, 0.7f, 1.3f, 5.0f, -2.0f, 1.0f);
  const RigidMatrix b = AxisRotation(0.0f, 0.6f, -0.8f, 2.9f, 0.7f, 5.5f, -2.5f, 1.5f);
  const struct {
    float t;
    const RigidMatrix* expected;
  } cases[] = {{0.0f, &a}, {-0.0f, &a}, {1.0f, &b}};
  for (const auto& c : cases) {
    RigidMatrix out{};
    ASSERT_TRUE(InterpolateRigid(a, b, c.t, &out)) << c.t;
    EXPECT_TRUE(BytewiseEqual(out, *c.expected)) << c.t;
  }
}

TEST(InterpTransform, InterpolateRigidNearTheScaleLimitStillSucceeds) {
  // Past the margin where a blend is rigid by construction the full check decides, and accepts.
  const struct {
    float sa;
    float sb;
  } cases[] = {{15.99f, 15.9999f}, {0.0001f * 1.0002f, 0.0001f * 1.0006f}};
  for (const auto& c : cases) {
    RigidMatrix out{};
    ASSERT_TRUE(InterpolateRigid(RotationY(0.1f, c.sa), RotationY(0.5f, c.sb), 0.5f, &out)) << c.sa;
    float scale = 0.0f;
    ASSERT_TRUE(ValidateRigid(out, &scale));
    EXPECT_NEAR(scale, (c.sa + c.sb) / 2.0f, 1e-5f * c.sb);
    EXPECT_NEAR(AngleBetween(out, RotationY(0.3f)), 0.0f, 1e-3f);
  }
}

TEST(InterpTransform, BlendingManyBonesGivesTheBitsOfBlendingEachAlone) {
  // Whole skeletons are blended several bones side by side; each must come out exactly as a blend
  // of that bone alone. The pairs cover the short arc, unequal scales, a pair past the margin of
  // rigid-by-construction blends, parallel rotations and far translations; the index list is out of
  // order and not a multiple of the side-by-side width.
  const RigidMatrix pairs[][2] = {
      {RotationY(170.0f * kDeg), RotationY(-100.0f * kDeg)},
      {AxisRotation(0.48f, 0.6f, 0.64f, 0.7f, 1.3f, 5.0f, -2.0f, 1.0f), AxisRotation(0.0f, 0.6f, -0.8f, 2.9f, 0.7f)},
      {RotationY(0.1f, 15.99f), RotationY(0.5f, 15.9999f)},
      {RotationY(0.4f), RotationY(0.4f, 1.0f)},
      {Translated(RotationY(0.2f, 2.0f), 1e6f, -3e5f, 7.0f), Translated(RotationY(0.25f, 3.0f), -1e6f, 2e5f, 8.0f)},
      {AxisRotation(0.6f, 0.0f, 0.8f, 3.1f), AxisRotation(0.6f, 0.0f, -0.8f, -3.0f, 0.5f)},
  };
  constexpr size_t kPairs = sizeof(pairs) / sizeof(pairs[0]);
  constexpr size_t kBones = 23;
  RigidMatrix a[kBones], b[kBones];
  RigidRotation ra[kBones], rb[kBones];
  uint16_t listed[kBones];
  for (size_t i = 0; i < kBones; ++i) {
    a[i] = Translated(pairs[i % kPairs][0], 0.5f * static_cast<float>(i), pairs[i % kPairs][0].m[7], 0.0f);
    b[i] = pairs[i % kPairs][1];
    float sa = 0.0f, sb = 0.0f;
    ASSERT_TRUE(ValidateRigid(a[i], &sa) && ValidateRigid(b[i], &sb)) << i;
    ra[i] = RigidRotationOf(a[i], sa);
    rb[i] = RigidRotationOf(b[i], sb);
    listed[i] = static_cast<uint16_t>((i * 7) % kBones);
  }
  for (const float t : {0.013f, 0.5f, 0.77f}) {
    RigidMatrix together[kBones] = {};
    ASSERT_TRUE(BlendRigidListed(a, ra, b, rb, listed, kBones, t, together)) << t;
    for (size_t i = 0; i < kBones; ++i) {
      RigidMatrix alone{};
      ASSERT_TRUE(BlendRigid(a[i], ra[i], b[i], rb[i], t, &alone)) << t << ", bone " << i;
      EXPECT_TRUE(BytewiseEqual(together[i], alone)) << t << ", bone " << i;
    }
  }
}

TEST(InterpTransform, InterpolateRigidRefusesBadInputAndZeroesOutput) {
  const RigidMatrix good = RotationY(0.3f);
  const struct {
    RigidMatrix a;
    RigidMatrix b;
    float t;
  } cases[] = {
      {good, good, -0.01f},
      {good, good, 1.01f},
      {good, good, kNaN},
      {Rows(-1.0f, 1.0f, 1.0f), good, 0.5f},
      {Translated(good, -3e38f, 0, 0), Translated(good, 3e38f, 0, 0), 0.5f},  // result overflows
  };
  for (const auto& c : cases) {
    RigidMatrix out = good;
    EXPECT_FALSE(InterpolateRigid(c.a, c.b, c.t, &out));
    EXPECT_TRUE(AllZero(&out, sizeof(out)));
  }
}

TEST(InterpTransform, DiscontinuityThresholds) {
  const RigidMatrix origin = RotationY(0.0f);
  EXPECT_EQ(AngleBetween(origin, Rows(-1.0f, 1.0f, 1.0f)), kRigidPi);
  const struct {
    const char* name;
    RigidMatrix newer;
    bool discontinuous;
  } cases[] = {
      {"4.9 units", Translated(origin, 0.0f, 4.9f, 0.0f), false},
      {"5.1 units", Translated(origin, 3.0f, 0.0f, 4.1f), true},
      {"119 degrees", RotationY(119.0f * kDeg), false},
      {"121 degrees", RotationY(121.0f * kDeg), true},
      {"119.99 degrees", RotationY(119.99f * kDeg), false},
      {"120.01 degrees", RotationY(120.01f * kDeg), true},
      {"not rigid", Rows(1.0f, 1.0f, 2.0f), true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsDiscontinuous(origin, c.newer), c.discontinuous) << c.name;
}

}  // namespace

namespace {

// Slerp in double with the C library's trigonometry: the reference the float path must follow.
Quaternion ExactSlerp(Quaternion a, Quaternion b, double t) {
  double d = static_cast<double>(QuaternionDot(a, b));
  if (d < 0.0) {
    b = {-b.w, -b.x, -b.y, -b.z};
    d = -d;
  }
  const double theta = std::acos(std::min(d, 1.0));
  const double sa = theta < 1e-9 ? 1.0 - t : std::sin((1.0 - t) * theta) / std::sin(theta);
  const double sb = theta < 1e-9 ? t : std::sin(t * theta) / std::sin(theta);
  return {static_cast<float>(a.w * sa + b.w * sb), static_cast<float>(a.x * sa + b.x * sb),
          static_cast<float>(a.y * sa + b.y * sb), static_cast<float>(a.z * sa + b.z * sb)};
}

TEST(InterpTransform, SlerpFollowsTheExactArcWithinOneHundredThousandth) {
  // Turns between the two orientations from none to a full turn, so that past a half turn the
  // quaternions' dot product is negative and the short way round is the other one; angles are
  // spaced evenly and also crowd towards zero, where lerp would take over.
  float worst = 0.0f;
  const Quaternion starts[] = {Normalise({0.9f, 0.1f, -0.3f, 0.2f}), Normalise({-0.2f, 0.7f, 0.1f, -0.6f})};
  for (const Quaternion& a : starts) {
    for (int axis = 0; axis < 2; ++axis) {
      for (int step = 0; step <= 900; ++step) {
        const double angle = step <= 800 ? 6.2831853 * step / 800.0 : 0.1 * std::pow(0.5, step - 800);
        const float c = static_cast<float>(std::cos(angle / 2));
        const float s = static_cast<float>(std::sin(angle / 2));
        const Quaternion turn = axis == 0 ? Quaternion{c, 0.0f, s, 0.0f} : Quaternion{c, 0.6f * s, 0.0f, -0.8f * s};
        const Quaternion b = QuaternionMultiply(turn, a);
        for (int k = 0; k <= 64; ++k) {
          const float t = static_cast<float>(k) / 64.0f;
          const Quaternion got = Slerp(a, b, t);
          const Quaternion want = ExactSlerp(a, b, t);
          for (float e : {got.w - want.w, got.x - want.x, got.y - want.y, got.z - want.z}) {
            worst = std::max(worst, std::fabs(e));
          }
        }
      }
    }
  }
  EXPECT_LT(worst, 1e-5f);
  char text[32];
  std::snprintf(text, sizeof(text), "%.3g", static_cast<double>(worst));
  RecordProperty("worst_component_error", text);
}

}  // namespace
