#include "interp/camera_history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "interp_test_support.h"

namespace {

constexpr uint64_t kGen = 4;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

CameraSnapshot Euler(float x, float pitch = 0.0f, float yaw = 0.0f, float roll = 0.0f) {
  return {{x, 1.5f, -2.0f}, pitch, yaw, roll, kCameraModeEuler, {}};
}

CameraSnapshot Matrix(float x, float yaw) { return {{x, 0.0f, 0.0f}, 0, 0, 0, kCameraModeMatrix, RotationY(yaw)}; }

CameraHistory TwoTicks() {
  CameraHistory h{};
  EXPECT_EQ(PublishCameraHistory(h, 1, kGen, Euler(0.0f)), HistoryPublishResult::Generation);
  EXPECT_EQ(PublishCameraHistory(h, 2, kGen, Euler(1.0f)), HistoryPublishResult::Appended);
  return h;
}

RigidMatrix Multiply(const RigidMatrix& a, const RigidMatrix& b) {
  RigidMatrix r{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k) r.m[i * 4 + j] += a.m[i * 4 + k] * b.m[k * 4 + j];
  return r;
}

TEST(InterpCameraSnapshot, EulerOrientationIsYawThenPitchThenRoll) {
  const float pitch = 0.3f, yaw = 1.1f, roll = -0.4f;
  const RigidMatrix expected =
      Multiply(Multiply(RotationY(yaw), AxisRotation(1, 0, 0, pitch)), AxisRotation(0, 0, 1, roll));
  RigidMatrix actual = UniformScaleMatrix(1.0f);
  QuaternionToMatrix(EulerToQuaternion({pitch, yaw, roll}), 1.0f, &actual);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(actual.m[i], expected.m[i], 1e-6f) << i;
}

TEST(InterpCameraSnapshot, EulerRoundTrip) {
  const EulerAngles cases[] = {{0.5f, 2.0f, -0.3f}, {-1.2f, -3.0f, 1.0f}, {1.5f, 0.7f, 2.9f}};
  for (const EulerAngles& c : cases) {
    const EulerAngles back = QuaternionToEuler(EulerToQuaternion(c));
    EXPECT_NEAR(back.pitch, c.pitch, 1e-4f);
    EXPECT_NEAR(back.yaw, c.yaw, 1e-4f);
    EXPECT_NEAR(back.roll, c.roll, 1e-4f);
  }
  // Straight up, yaw and roll share an axis: the turn comes back as yaw, roll exactly 0.
  const EulerAngles up = QuaternionToEuler(EulerToQuaternion({90.0f * kDeg, 0.3f, 0.0f}));
  EXPECT_NEAR(up.pitch, 90.0f * kDeg, 1e-3f);
  EXPECT_NEAR(up.yaw, 0.3f, 1e-3f);
  EXPECT_EQ(up.roll, 0.0f);
}

// The exact orientation of euler angles, in double, as (w, x, y, z).
std::array<double, 4> ExactOrientation(double pitch, double yaw, double roll) {
  const double cy = std::cos(yaw / 2), sy = std::sin(yaw / 2), cp = std::cos(pitch / 2), sp = std::sin(pitch / 2);
  const double cr = std::cos(roll / 2), sr = std::sin(roll / 2);
  // qY * qX, then * qZ.
  const double w = cy * cp, x = cy * sp, y = sy * cp, z = -sy * sp;
  return {w * cr - z * sr, x * cr + y * sr, y * cr - x * sr, z * cr + w * sr};
}

double RadiansBetween(const std::array<double, 4>& a, const std::array<double, 4>& b) {
  double plus = 0, minus = 0;
  for (int i = 0; i < 4; ++i) {
    plus += (a[i] + b[i]) * (a[i] + b[i]);
    minus += (a[i] - b[i]) * (a[i] - b[i]);
  }
  return 4 * std::asin(std::min(1.0, std::sqrt(std::min(plus, minus)) / 2));
}

TEST(InterpCameraSnapshot, EulerNearStraightUpOrDownKeepsTheOrientation) {
  constexpr double kPi = 3.14159265358979323846;
  constexpr double kHalfPi = kPi / 2;
  // Pitches a few float steps either side of +-pi/2 (1.5707964 is the float nearest pi/2): the
  // angles read back must describe the orientation they came from, and a turn without roll
  // must come back as that yaw.
  int checked = 0;
  for (const float pole : {1.5707964f, -1.5707964f}) {
    float pitch = pole;
    for (int i = 0; i < 4; ++i) pitch = std::nextafter(pitch, 0.0f);
    for (int step = -4; step <= 4; ++step, pitch = std::nextafter(pitch, pole * 2)) {
      for (float yaw = -3.0f; yaw <= 3.0f; yaw += 0.25f) {
        for (float roll = -3.0f; roll <= 3.0f; roll += 0.5f) {
          const EulerAngles back = QuaternionToEuler(Normalise(EulerToQuaternion({pitch, yaw, roll})));
          const std::string label = testing::PrintToString(std::vector<float>{pitch, yaw, roll, back.pitch,
                                                                               back.yaw, back.roll});
          ++checked;
          ASSERT_LT(RadiansBetween(ExactOrientation(back.pitch, back.yaw, back.roll),
                                   ExactOrientation(pitch, yaw, roll)),
                    2e-5)
              << label;
          // Past the pole the same view reads as a pitch just short of it.
          ASSERT_NEAR(std::fabs(back.pitch), kHalfPi - std::fabs(kHalfPi - std::fabs(pitch)), 1e-6) << label;
        }
        const EulerAngles noRoll = QuaternionToEuler(Normalise(EulerToQuaternion({pitch, yaw, 0.0f})));
        ASSERT_NEAR(std::remainder(noRoll.yaw - yaw, 2 * kPi), 0.0, 1e-4) << pitch << " " << yaw;
        ASSERT_EQ(noRoll.roll, 0.0f) << pitch << " " << yaw;
      }
    }
  }
  EXPECT_EQ(checked, 2 * 9 * 25 * 13);
}

TEST(InterpCameraSnapshot, InterpolateTakesTheShortWayRound) {
  CameraSnapshot out{};
  ASSERT_TRUE(InterpolateSnapshot(Euler(0.0f, 0.0f, 179.0f * kDeg), Euler(2.0f, 0.0f, -179.0f * kDeg), 0.5f, &out));
  EXPECT_NEAR(std::fabs(out.yaw), 180.0f * kDeg, 1e-3f);
  EXPECT_EQ(out.position[0], 1.0f);
  EXPECT_TRUE(AllZero(&out.matrix, sizeof(out.matrix)));

  ASSERT_TRUE(InterpolateSnapshot(Matrix(0.0f, 0.0f), Matrix(1.0f, 90.0f * kDeg), 0.5f, &out));
  EXPECT_NEAR(AngleBetween(out.matrix, RotationY(45.0f * kDeg)), 0.0f, 1e-3f);

  EXPECT_FALSE(InterpolateSnapshot(Euler(0.0f), Matrix(0.0f, 0.0f), 0.5f, &out));
  EXPECT_TRUE(AllZero(&out, sizeof(out)));
}

TEST(InterpCameraSnapshot, ValidityAndDiscontinuity) {
  CameraSnapshot badMode = Euler(0.0f);
  badMode.mode = 2;
  EXPECT_FALSE(ValidateSnapshot(badMode));
  EXPECT_FALSE(ValidateSnapshot(Euler(kNaN)));
  // Non-finite angles must not read as "no turn".
  EXPECT_EQ(SnapshotAngleBetween(Euler(0, kNaN), Euler(0)), kRigidPi);
  const struct {
    const char* name;
    CameraSnapshot newer;
    bool discontinuous;
  } cases[] = {
      {"4.9 units", Euler(4.9f), false},
      {"6 units", Euler(6.0f), true},
      {"yaw 130 degrees", Euler(0, 0, 130.0f * kDeg), true},
      {"mode change", Matrix(0, 0), true},
  };
  for (const auto& c : cases) EXPECT_EQ(SnapshotIsDiscontinuous(Euler(0), c.newer), c.discontinuous) << c.name;
}

TEST(InterpCameraHistory, PublishOutcomes) {
  const struct {
    const char* name;
    uint64_t tick;
    uint64_t generation;
    CameraSnapshot snapshot;
    HistoryPublishResult result;
    uint64_t countAfter;
  } cases[] = {
      {"same tick, same state", 2, kGen, Euler(1.0f), HistoryPublishResult::Unchanged, 2},
      {"same tick, moved 0.5", 2, kGen, Euler(1.5f), HistoryPublishResult::SameTickUpdate, 2},
      {"same tick, 6.5 from older", 2, kGen, Euler(6.5f), HistoryPublishResult::Discontinuity, 1},
      {"next tick", 3, kGen, Euler(2.0f), HistoryPublishResult::Appended, 2},
      {"teleport", 3, kGen, Euler(7.5f), HistoryPublishResult::Discontinuity, 1},
      {"euler to matrix", 3, kGen, Matrix(1.0f, 0.0f), HistoryPublishResult::Discontinuity, 1},
      {"tick gap", 4, kGen, Euler(2.0f), HistoryPublishResult::Discontinuity, 1},
      {"older tick", 1, kGen, Euler(1.0f), HistoryPublishResult::NonMonotonic, 1},
      {"new generation", 3, kGen + 1, Euler(2.0f), HistoryPublishResult::Generation, 1},
      {"invalid", 3, kGen, Euler(kNaN), HistoryPublishResult::Invalid, 0},
  };
  for (const auto& c : cases) {
    CameraHistory h = TwoTicks();
    EXPECT_EQ(PublishCameraHistory(h, c.tick, c.generation, c.snapshot), c.result) << c.name;
    EXPECT_EQ(h.count, c.countAfter) << c.name;
    EXPECT_EQ(h.valid, c.result != HistoryPublishResult::Invalid) << c.name;
  }
}

TEST(InterpCameraHistory, SameTickUpdateReplacesTheNewestEntryExactly) {
  CameraHistory h = TwoTicks();
  const CameraSnapshot moved = Euler(1.5f, 0.1234567f, -0.7654321f, 0.0f);
  ASSERT_EQ(PublishCameraHistory(h, 2, kGen, moved), HistoryPublishResult::SameTickUpdate);
  CameraSnapshot older{};
  CameraSnapshot newer{};
  ASSERT_TRUE(FindCameraPair(h, InterpolatedSample(1, 2, 0.5, kGen), &older, &newer));
  EXPECT_EQ(older.position[0], 0.0f);
  EXPECT_EQ(std::memcmp(&newer, &moved, sizeof(moved)), 0);

  // With one entry held there is no older state to break continuity with.
  CameraHistory single{};
  PublishCameraHistory(single, 1, kGen, Euler(0.0f));
  EXPECT_EQ(PublishCameraHistory(single, 1, kGen, Euler(9.0f)), HistoryPublishResult::SameTickUpdate);
}

TEST(InterpCameraHistory, TeleportSamplesMissingUntilTheNextTick) {
  CameraHistory h = TwoTicks();
  ASSERT_EQ(PublishCameraHistory(h, 3, kGen, Euler(7.5f)), HistoryPublishResult::Discontinuity);
  EXPECT_EQ(SampleCameraHistory(h, InterpolatedSample(2, 3, 0.5, kGen)).result, CameraSampleResult::SnapshotsMissing);
  ASSERT_EQ(PublishCameraHistory(h, 4, kGen, Euler(8.5f)), HistoryPublishResult::Appended);
  const CameraSample s = SampleCameraHistory(h, InterpolatedSample(3, 4, 0.5, kGen));
  ASSERT_EQ(s.result, CameraSampleResult::Applied);
  EXPECT_EQ(s.snapshot.position[0], 8.0f);
}

TEST(InterpCameraHistory, SampleFailuresCarryZeroSnapshot) {
  const CameraHistory h = TwoTicks();
  const struct {
    const char* name;
    ClockSample sample;
    CameraSampleResult result;
  } cases[] = {
      {"unavailable", ClockSample{}, CameraSampleResult::ClockUnavailable},
      {"equal ticks", InterpolatedSample(2, 2, 0.5, kGen), CameraSampleResult::ClockUnavailable},
      {"newer generation", InterpolatedSample(1, 2, 0.5, kGen + 1), CameraSampleResult::GenerationMismatch},
      {"tick not held", InterpolatedSample(0, 1, 0.5, kGen), CameraSampleResult::SnapshotsMissing},
      {"alpha NaN", InterpolatedSample(1, 2, std::nan(""), kGen), CameraSampleResult::Invalid},
  };
  for (const auto& c : cases) {
    const CameraSample s = SampleCameraHistory(h, c.sample);
    EXPECT_EQ(s.result, c.result) << c.name;
    EXPECT_TRUE(AllZero(&s.snapshot, sizeof(s.snapshot))) << c.name;
  }
  const wchar_t* names[] = {L"applied", L"clock-unavailable", L"generation-mismatch", L"snapshots-missing", L"invalid",
                            L"unknown"};
  for (uint32_t code = 0; code < 6; ++code) {
    EXPECT_STREQ(CameraSampleResultName(static_cast<CameraSampleResult>(code)), names[code]);
  }
}

}  // namespace
