#include "interp/transform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "interp_test_support.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

RigidMatrix Identity() { return UniformScaleMatrix(1.0f); }

RigidMatrix WithElement(RigidMatrix m, int index, float value) {
  m.m[index] = value;
  return m;
}

RigidMatrix RowScaled(float r0, float r1, float r2) {
  RigidMatrix m = Identity();
  m.m[0] = r0;
  m.m[5] = r1;
  m.m[10] = r2;
  return m;
}

void ExpectMatrixNear(const RigidMatrix& actual, const RigidMatrix& expected, float tolerance) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(actual.m[i], expected.m[i], tolerance) << "element " << i;
}

struct RigidCase {
  const char* name;
  RigidMatrix matrix;
  bool accepted;
  float scale;
};

TEST(InterpTransform, ValidateRigidAcceptsOnlyRotationTimesUniformScale) {
  const RigidCase cases[] = {
      {"identity", Identity(), true, 1.0f},
      {"rotated and translated", AxisRotation(0.6f, 0.0f, 0.8f, 1.1f, 1.0f, 100.0f, -5.0f, 3.0f), true, 1.0f},
      {"bottom row within slack", WithElement(Identity(), 14, 0.001f), true, 1.0f},
      {"bottom row off", WithElement(Identity(), 14, 0.003f), false, 0.0f},
      {"m15 off", WithElement(Identity(), 15, 1.003f), false, 0.0f},
      {"uniform scale 2", RotationY(0.4f, 2.0f), true, 2.0f},
      {"scale 20", UniformScaleMatrix(20.0f), false, 0.0f},
      {"scale below minimum", UniformScaleMatrix(0.00005f), false, 0.0f},
      {"mirrored", RowScaled(-1.0f, 1.0f, 1.0f), false, 0.0f},
      {"NaN element", WithElement(Identity(), 3, kNaN), false, 0.0f},
      {"infinite element", WithElement(Identity(), 7, kInf), false, 0.0f},
      {"huge finite rows overflow", RowScaled(3e38f, 3e38f, 3e38f), false, 0.0f},
      {"sheared rows", WithElement(Identity(), 1, 0.01f), false, 0.0f},
      {"non-uniform scale", RowScaled(1.0f, 1.0f, 1.01f), false, 0.0f},
      // Row-length slack is absolute below scale 1 and relative above it.
      {"large scale, 0.4% row spread", RowScaled(10.0f, 10.0f, 10.04f), true, (10.0f + 10.0f + 10.04f) / 3.0f},
      {"small scale, 0.6% row spread", RowScaled(0.5f, 0.5f, 0.503f), true, (0.5f + 0.5f + 0.503f) / 3.0f},
      {"small scale, 0.8% row spread", RowScaled(0.5f, 0.5f, 0.506f), false, 0.0f},
  };
  for (const RigidCase& c : cases) {
    float scale = -1.0f;
    EXPECT_EQ(ValidateRigid(c.matrix, &scale), c.accepted) << c.name;
    EXPECT_NEAR(scale, c.scale, 1e-5f) << c.name;
  }
}

TEST(InterpTransform, QuaternionRoundTripCoversEveryBranch) {
  struct Case {
    const char* name;
    RigidMatrix matrix;
  };
  // Half-turns drive the trace negative and pick each diagonal branch in turn.
  const Case cases[] = {
      {"small turn (trace branch)", AxisRotation(0.0f, 1.0f, 0.0f, 0.3f)},
      {"half turn about X", AxisRotation(1.0f, 0.0f, 0.0f, 3.1f)},
      {"half turn about Y", AxisRotation(0.0f, 1.0f, 0.0f, 3.1f)},
      {"half turn about Z", AxisRotation(0.0f, 0.0f, 1.0f, 3.1f)},
      {"oblique 150 degrees", AxisRotation(0.48f, 0.6f, 0.64f, 150.0f * kDeg)},
      {"oblique with scale 3", AxisRotation(0.0f, 0.6f, -0.8f, 2.5f, 3.0f)},
  };
  for (const Case& c : cases) {
    float scale = 0.0f;
    ASSERT_TRUE(ValidateRigid(c.matrix, &scale)) << c.name;
    const Quaternion q = MatrixToQuaternion(c.matrix, scale);
    EXPECT_NEAR(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z, 1.0f, 1e-6f) << c.name;
    RigidMatrix back = UniformScaleMatrix(0.0f);
    QuaternionToMatrix(q, scale, &back);
    back.m[3] = c.matrix.m[3];
    back.m[7] = c.matrix.m[7];
    back.m[11] = c.matrix.m[11];
    back.m[15] = 1.0f;
    SCOPED_TRACE(c.name);
    ExpectMatrixNear(back, c.matrix, 2e-5f * scale);
  }
}

TEST(InterpTransform, NormaliseFallsBackToIdentityForDegenerateInput) {
  const Quaternion degenerate[] = {{0, 0, 0, 0}, {kNaN, 0, 0, 0}, {kInf, 1, 0, 0}, {3e38f, 3e38f, 0, 0}};
  for (const Quaternion& q : degenerate) {
    const Quaternion n = Normalise(q);
    EXPECT_EQ(n.w, 1.0f);
    EXPECT_EQ(n.x, 0.0f);
    EXPECT_EQ(n.y, 0.0f);
    EXPECT_EQ(n.z, 0.0f);
  }
  const Quaternion n = Normalise({0.0f, 3.0f, 0.0f, 4.0f});
  EXPECT_FLOAT_EQ(n.x, 0.6f);
  EXPECT_FLOAT_EQ(n.z, 0.8f);
}

TEST(InterpTransform, SlerpEndpointsAndNearlyParallelInputs) {
  const Quaternion a = {1.0f, 0.0f, 0.0f, 0.0f};
  const Quaternion b = Normalise({0.8f, 0.0f, 0.6f, 0.0f});
  EXPECT_NEAR(QuaternionAngleBetween(Slerp(a, b, 0.0f), a), 0.0f, 1e-3f);
  EXPECT_NEAR(QuaternionAngleBetween(Slerp(a, b, 1.0f), b), 0.0f, 1e-3f);
  // Within the lerp threshold the result must still be a unit quaternion between the two.
  const Quaternion close = Normalise({1.0f, 0.0f, 0.01f, 0.0f});
  const Quaternion mid = Slerp(a, close, 0.5f);
  EXPECT_NEAR(QuaternionDot(mid, mid), 1.0f, 1e-6f);
  EXPECT_NEAR(QuaternionAngleBetween(mid, a), QuaternionAngleBetween(a, close) / 2.0f, 1e-3f);
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
  EXPECT_FLOAT_EQ(out.m[3], 2.0f);
  EXPECT_FLOAT_EQ(out.m[7], 11.0f);
  EXPECT_FLOAT_EQ(out.m[11], -4.0f);
  EXPECT_EQ(out.m[12], 0.0f);
  EXPECT_EQ(out.m[15], 1.0f);

  ASSERT_TRUE(InterpolateRigid(a, b, 0.0f, &out));
  ExpectMatrixNear(out, a, 1e-5f);
}

TEST(InterpTransform, InterpolateRigidTakesTheShortArc) {
  // 170 and -100 degrees about Y are 90 degrees apart through 180; their quaternions come out of
  // different branches of the conversion with a negative dot product.
  const RigidMatrix a = RotationY(170.0f * kDeg);
  const RigidMatrix b = RotationY(-100.0f * kDeg);
  ASSERT_LT(QuaternionDot(MatrixToQuaternion(a, 1.0f), MatrixToQuaternion(b, 1.0f)), 0.0f);
  RigidMatrix out{};
  ASSERT_TRUE(InterpolateRigid(a, b, 0.5f, &out));
  EXPECT_NEAR(AngleBetween(out, RotationY(-145.0f * kDeg)), 0.0f, 2e-3f);
}

TEST(InterpTransform, InterpolateRigidRefusesBadInputAndZeroesOutput) {
  const RigidMatrix good = RotationY(0.3f);
  const RigidMatrix mirrored = RowScaled(-1.0f, 1.0f, 1.0f);
  const struct {
    const char* name;
    RigidMatrix a;
    RigidMatrix b;
    float t;
  } cases[] = {
      {"t below 0", good, good, -0.01f},
      {"t above 1", good, good, 1.01f},
      {"t NaN", good, good, kNaN},
      {"invalid older", mirrored, good, 0.5f},
      {"invalid newer", good, WithElement(good, 13, 0.5f), 0.5f},
      {"translation overflows", Translated(good, -3e38f, 0, 0), Translated(good, 3e38f, 0, 0), 0.5f},
  };
  for (const auto& c : cases) {
    RigidMatrix out = good;
    EXPECT_FALSE(InterpolateRigid(c.a, c.b, c.t, &out)) << c.name;
    EXPECT_TRUE(AllZero(&out, sizeof(out))) << c.name;
  }
}

TEST(InterpTransform, AngleBetweenAndDiscontinuityThresholds) {
  EXPECT_NEAR(AngleBetween(RotationY(0.0f), RotationY(90.0f * kDeg)), 90.0f * kDeg, 1e-4f);
  EXPECT_NEAR(AngleBetween(RotationY(170.0f * kDeg), RotationY(-170.0f * kDeg)), 20.0f * kDeg, 1e-3f);
  EXPECT_EQ(AngleBetween(RotationY(0.0f), RowScaled(-1.0f, 1.0f, 1.0f)), kRigidPi);

  const RigidMatrix origin = RotationY(0.0f);
  const struct {
    const char* name;
    RigidMatrix newer;
    bool discontinuous;
  } cases[] = {
      {"4.9 units", Translated(origin, 0.0f, 4.9f, 0.0f), false},
      {"5.1 units", Translated(origin, 3.0f, 0.0f, 4.1f), true},
      {"119 degrees", RotationY(119.0f * kDeg), false},
      {"121 degrees", RotationY(121.0f * kDeg), true},
      {"invalid newer", RowScaled(1.0f, 1.0f, 2.0f), true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsDiscontinuous(origin, c.newer), c.discontinuous) << c.name;
}

TEST(InterpTransform, NearlyEqualIsPerElementAndRejectsNaN) {
  const RigidMatrix a = RotationY(0.5f);
  EXPECT_TRUE(NearlyEqual(a, WithElement(a, 3, 0.5e-5f), 1e-5f));
  EXPECT_FALSE(NearlyEqual(a, WithElement(a, 3, 2e-5f), 1e-5f));
  EXPECT_FALSE(NearlyEqual(a, WithElement(a, 3, kNaN), 1e-5f));
}

}  // namespace
