#include "interp/camera_history.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "interp_test_support.h"

namespace {

constexpr uint64_t kGen = 4;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

CameraSnapshot Euler(float x, float pitch = 0.0f, float yaw = 0.0f, float roll = 0.0f) {
  CameraSnapshot s{};
  s.position[0] = x;
  s.position[1] = 1.5f;
  s.position[2] = -2.0f;
  s.pitch = pitch;
  s.yaw = yaw;
  s.roll = roll;
  s.mode = kCameraModeEuler;
  return s;
}

CameraSnapshot Matrix(float x, float yaw) {
  CameraSnapshot s{};
  s.position[0] = x;
  s.mode = kCameraModeMatrix;
  s.matrix = RotationY(yaw);
  return s;
}

CameraHistory TwoTicks(const CameraSnapshot& first, const CameraSnapshot& second) {
  CameraHistory h{};
  EXPECT_EQ(PublishCameraHistory(h, 1, kGen, first), HistoryPublishResult::Generation);
  EXPECT_EQ(PublishCameraHistory(h, 2, kGen, second), HistoryPublishResult::Appended);
  return h;
}

const CameraHistoryEntry& Newest(const CameraHistory& h) { return h.entries[(h.head + h.count - 1) % 2]; }

TEST(InterpCameraSnapshot, Validation) {
  CameraSnapshot badMatrix = Matrix(0.0f, 0.3f);
  badMatrix.matrix.m[15] = 0.0f;
  CameraSnapshot badMode = Euler(0.0f);
  badMode.mode = 2;
  CameraSnapshot nanPosition = Euler(0.0f);
  nanPosition.position[2] = kNaN;
  const struct {
    const char* name;
    CameraSnapshot snapshot;
    bool valid;
  } cases[] = {
      {"euler", Euler(1.0f, 0.2f, 3.0f, -0.1f), true}, {"matrix", Matrix(1.0f, 0.4f), true},
      {"NaN position", nanPosition, false},            {"NaN angle", Euler(0.0f, 0.0f, kNaN), false},
      {"matrix not rigid", badMatrix, false},          {"mode 2", badMode, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ValidateSnapshot(c.snapshot), c.valid) << c.name;
}

TEST(InterpCameraSnapshot, EulerOrientationIsYawThenPitchThenRoll) {
  const float pitch = 0.3f, yaw = 1.1f, roll = -0.4f;
  const RigidMatrix ry = RotationY(yaw);
  const RigidMatrix rx = AxisRotation(1, 0, 0, pitch);
  const RigidMatrix rz = AxisRotation(0, 0, 1, roll);
  auto mul = [](const RigidMatrix& a, const RigidMatrix& b) {
    RigidMatrix r{};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j)
        for (int k = 0; k < 4; ++k) r.m[i * 4 + j] += a.m[i * 4 + k] * b.m[k * 4 + j];
    return r;
  };
  const RigidMatrix expected = mul(mul(ry, rx), rz);
  RigidMatrix actual = UniformScaleMatrix(1.0f);
  QuaternionToMatrix(EulerToQuaternion({pitch, yaw, roll}), 1.0f, &actual);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(actual.m[i], expected.m[i], 1e-6f) << i;
}

TEST(InterpCameraSnapshot, EulerRoundTrip) {
  const EulerAngles cases[] = {
      {0.0f, 0.0f, 0.0f}, {0.5f, 2.0f, -0.3f}, {-1.2f, -3.0f, 1.0f}, {1.5f, 0.7f, 2.9f}, {0.1f, 3.1f, -3.1f},
  };
  for (const EulerAngles& c : cases) {
    const EulerAngles back = QuaternionToEuler(EulerToQuaternion(c));
    EXPECT_NEAR(back.pitch, c.pitch, 1e-4f);
    EXPECT_NEAR(back.yaw, c.yaw, 1e-4f);
    EXPECT_NEAR(back.roll, c.roll, 1e-4f);
  }
  // Straight up, yaw and roll share an axis: all of the turn comes back as yaw.
  const EulerAngles up = QuaternionToEuler(EulerToQuaternion({90.0f * kDeg, 0.3f, 0.0f}));
  EXPECT_NEAR(up.pitch, 90.0f * kDeg, 1e-3f);
  EXPECT_NEAR(up.yaw, 0.3f, 1e-3f);
  EXPECT_EQ(up.roll, 0.0f);
}

TEST(InterpCameraSnapshot, InterpolateTakesTheShortWayRound) {
  CameraSnapshot out{};
  ASSERT_TRUE(InterpolateSnapshot(Euler(0.0f, 0.0f, 179.0f * kDeg), Euler(2.0f, 0.0f, -179.0f * kDeg), 0.5f, &out));
  EXPECT_NEAR(std::fabs(out.yaw), 180.0f * kDeg, 1e-3f);
  EXPECT_FLOAT_EQ(out.position[0], 1.0f);
  EXPECT_EQ(out.mode, kCameraModeEuler);
  EXPECT_TRUE(AllZero(&out.matrix, sizeof(out.matrix)));

  ASSERT_TRUE(InterpolateSnapshot(Matrix(0.0f, 0.0f), Matrix(1.0f, 90.0f * kDeg), 0.5f, &out));
  EXPECT_NEAR(AngleBetween(out.matrix, RotationY(45.0f * kDeg)), 0.0f, 1e-3f);
  EXPECT_EQ(out.yaw, 0.0f);

  EXPECT_FALSE(InterpolateSnapshot(Euler(0.0f), Matrix(0.0f, 0.0f), 0.5f, &out));
  EXPECT_TRUE(AllZero(&out, sizeof(out)));
  EXPECT_FALSE(InterpolateSnapshot(Euler(0.0f), Euler(1.0f), kNaN, &out));
}

TEST(InterpCameraSnapshot, AngleAndDiscontinuity) {
  EXPECT_NEAR(SnapshotAngleBetween(Euler(0, 0, 0.2f), Euler(0, 0, 1.2f)), 1.0f, 1e-4f);
  EXPECT_EQ(SnapshotAngleBetween(Euler(0), Matrix(0, 0)), kRigidPi);
  // Non-finite angles must not read as "no turn".
  EXPECT_EQ(SnapshotAngleBetween(Euler(0, kNaN), Euler(0)), kRigidPi);

  const struct {
    const char* name;
    CameraSnapshot newer;
    bool discontinuous;
  } cases[] = {
      {"small move", Euler(4.9f), false},
      {"6 unit jump", Euler(6.0f), true},
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
      {"same tick, 6 units from older", 2, kGen, Euler(6.5f), HistoryPublishResult::Discontinuity, 1},
      {"next tick", 3, kGen, Euler(2.0f), HistoryPublishResult::Appended, 2},
      {"next tick, teleport", 3, kGen, Euler(7.5f), HistoryPublishResult::Discontinuity, 1},
      {"next tick, matrix mode", 3, kGen, Matrix(1.0f, 0.0f), HistoryPublishResult::Discontinuity, 1},
      {"tick gap", 4, kGen, Euler(2.0f), HistoryPublishResult::Discontinuity, 1},
      {"older tick", 1, kGen, Euler(1.0f), HistoryPublishResult::NonMonotonic, 1},
      {"new generation", 3, kGen + 1, Euler(2.0f), HistoryPublishResult::Generation, 1},
  };
  for (const auto& c : cases) {
    CameraHistory h = TwoTicks(Euler(0.0f), Euler(1.0f));
    EXPECT_EQ(PublishCameraHistory(h, c.tick, c.generation, c.snapshot), c.result) << c.name;
    EXPECT_EQ(h.count, c.countAfter) << c.name;
    EXPECT_TRUE(h.valid) << c.name;
    EXPECT_EQ(h.generation, c.generation) << c.name;
  }
}

TEST(InterpCameraHistory, SameTickUpdateReplacesTheNewestEntryExactly) {
  CameraHistory h = TwoTicks(Euler(0.0f), Euler(1.0f));
  const CameraSnapshot moved = Euler(1.5f, 0.1234567f, -0.7654321f, 0.0f);
  ASSERT_EQ(PublishCameraHistory(h, 2, kGen, moved), HistoryPublishResult::SameTickUpdate);
  EXPECT_EQ(Newest(h).tick, 2u);
  EXPECT_EQ(std::memcmp(&Newest(h).snapshot, &moved, sizeof(moved)), 0);

  CameraSnapshot older{};
  CameraSnapshot newer{};
  ASSERT_TRUE(FindCameraPair(h, InterpolatedSample(1, 2, 0.5, kGen), &older, &newer));
  EXPECT_EQ(older.position[0], 0.0f);
  EXPECT_EQ(std::memcmp(&newer, &moved, sizeof(moved)), 0);

  // With one entry held there is no older state to break continuity with.
  CameraHistory single{};
  PublishCameraHistory(single, 1, kGen, Euler(0.0f));
  EXPECT_EQ(PublishCameraHistory(single, 1, kGen, Euler(9.0f)), HistoryPublishResult::SameTickUpdate);
  EXPECT_EQ(single.count, 1u);
}

TEST(InterpCameraHistory, InvalidSnapshotLeavesHistoryEmptyAndNotValid) {
  CameraHistory h = TwoTicks(Euler(0.0f), Euler(1.0f));
  EXPECT_EQ(PublishCameraHistory(h, 3, kGen, Euler(kNaN)), HistoryPublishResult::Invalid);
  EXPECT_EQ(h.count, 0u);
  EXPECT_FALSE(h.valid);
  EXPECT_EQ(h.generation, 0u);
}

TEST(InterpCameraHistory, TeleportSamplesMissingUntilTheNextTick) {
  CameraHistory h = TwoTicks(Euler(0.0f), Euler(1.0f));
  ASSERT_EQ(PublishCameraHistory(h, 3, kGen, Euler(7.5f)), HistoryPublishResult::Discontinuity);
  EXPECT_EQ(SampleCameraHistory(h, InterpolatedSample(2, 3, 0.5, kGen)).result,
            CameraSampleResult::SnapshotsMissing);
  ASSERT_EQ(PublishCameraHistory(h, 4, kGen, Euler(8.5f)), HistoryPublishResult::Appended);
  const CameraSample s = SampleCameraHistory(h, InterpolatedSample(3, 4, 0.5, kGen));
  ASSERT_EQ(s.result, CameraSampleResult::Applied);
  EXPECT_FLOAT_EQ(s.snapshot.position[0], 8.0f);
}

TEST(InterpCameraHistory, NewerClockGenerationMismatchesUntilRepublished) {
  CameraHistory h = TwoTicks(Euler(0.0f), Euler(1.0f));
  EXPECT_EQ(SampleCameraHistory(h, InterpolatedSample(1, 2, 0.5, kGen + 1)).result,
            CameraSampleResult::GenerationMismatch);
  ASSERT_EQ(PublishCameraHistory(h, 3, kGen + 1, Euler(2.0f)), HistoryPublishResult::Generation);
  ASSERT_EQ(PublishCameraHistory(h, 4, kGen + 1, Euler(3.0f)), HistoryPublishResult::Appended);
  EXPECT_EQ(SampleCameraHistory(h, InterpolatedSample(3, 4, 0.5, kGen + 1)).result, CameraSampleResult::Applied);
}

TEST(InterpCameraHistory, SampleFailuresCarryZeroSnapshot) {
  CameraHistory h = TwoTicks(Euler(0.0f), Euler(1.0f));
  ClockSample unavailable{};
  const struct {
    const char* name;
    ClockSample sample;
    CameraSampleResult result;
  } cases[] = {
      {"unavailable", unavailable, CameraSampleResult::ClockUnavailable},
      {"equal ticks", InterpolatedSample(2, 2, 0.5, kGen), CameraSampleResult::ClockUnavailable},
      {"tick not held", InterpolatedSample(0, 1, 0.5, kGen), CameraSampleResult::SnapshotsMissing},
      {"alpha NaN", InterpolatedSample(1, 2, std::nan(""), kGen), CameraSampleResult::Invalid},
  };
  for (const auto& c : cases) {
    const CameraSample s = SampleCameraHistory(h, c.sample);
    EXPECT_EQ(s.result, c.result) << c.name;
    EXPECT_TRUE(AllZero(&s.snapshot, sizeof(s.snapshot))) << c.name;
  }
  ResetCameraHistory(h);
  EXPECT_EQ(SampleCameraHistory(h, InterpolatedSample(1, 2, 0.5, 0)).result, CameraSampleResult::GenerationMismatch);
}

TEST(InterpCameraHistory, SampleResultNames) {
  const struct {
    uint32_t code;
    const wchar_t* name;
  } cases[] = {{0, L"applied"},           {1, L"clock-unavailable"}, {2, L"generation-mismatch"},
               {3, L"snapshots-missing"}, {4, L"invalid"},           {5, L"unknown"}};
  for (const auto& c : cases) {
    EXPECT_STREQ(CameraSampleResultName(static_cast<CameraSampleResult>(c.code)), c.name) << c.code;
  }
}

}  // namespace
