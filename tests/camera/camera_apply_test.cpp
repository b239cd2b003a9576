// The listener camera's read, apply-and-verify and the pieces of the render path that need no host.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

#include "host/host_layout.h"
#include "interp/camera_report.h"
#include "interp/viewport_render.h"

namespace {

// A host camera laid out as the game lays it out, with setters that store what they are given
// plus an optional error, standing in for a host that doesn't keep what it was told.
struct alignas(16) FakeCamera {
  uint8_t bytes[0x800] = {};

  template <typename T>
  T Get(size_t offset) const {
    T value;
    std::memcpy(&value, bytes + offset, sizeof(T));
    return value;
  }
  template <typename T>
  void Set(size_t offset, const T& value) {
    std::memcpy(bytes + offset, &value, sizeof(T));
  }
};

float g_positionError = 0.0f;

void FakeSetPosition(void* camera, const float* xyz) {
  float stored[3] = {xyz[0] + g_positionError, xyz[1], xyz[2]};
  std::memcpy(static_cast<uint8_t*>(camera) + host_layout::kCameraPosition, stored, sizeof(stored));
}

void FakeSetRotationMatrix(void* camera, const float* m) {
  std::memcpy(static_cast<uint8_t*>(camera) + host_layout::kCameraRotation, m, 16 * sizeof(float));
}

RigidMatrix YawMatrix(float yaw) {
  RigidMatrix m{};
  m.m[0] = std::cos(yaw);
  m.m[2] = std::sin(yaw);
  m.m[5] = 1.0f;
  m.m[8] = -std::sin(yaw);
  m.m[10] = std::cos(yaw);
  m.m[15] = 1.0f;
  return m;
}

CameraSnapshot EulerSnapshot(float x, float yaw) {
  CameraSnapshot s{};
  s.position[0] = x;
  s.position[1] = 2.0f;
  s.position[2] = -3.0f;
  s.pitch = 0.1f;
  s.yaw = yaw;
  s.roll = 0.0f;
  s.mode = kCameraModeEuler;
  return s;
}

class CameraApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_positionError = 0.0f;
    SetCameraSetterAddresses(reinterpret_cast<void*>(&FakeSetPosition), reinterpret_cast<void*>(&FakeSetRotationMatrix));
  }
  void TearDown() override { SetCameraSetterAddresses(nullptr, nullptr); }
  FakeCamera camera;
};

TEST_F(CameraApplyTest, ReadsEulerAndMatrixModesAndRefusesOtherModes) {
  camera.Set(host_layout::kCameraMode, uint32_t{0});
  camera.Set(host_layout::kCameraPosition, std::array<float, 3>{1.0f, 2.0f, 3.0f});
  camera.Set(host_layout::kCameraYaw, 0.5f);
  camera.Set(host_layout::kCameraRotation, YawMatrix(1.0f));  // ignored in euler mode
  CameraSnapshot read{};
  ASSERT_TRUE(ReadCamera(camera.bytes, &read));
  EXPECT_EQ(read.mode, kCameraModeEuler);
  EXPECT_EQ(read.yaw, 0.5f);
  EXPECT_EQ(read.position[2], 3.0f);
  EXPECT_EQ(read.matrix.m[0], 0.0f) << "euler snapshots carry a zero matrix";

  camera.Set(host_layout::kCameraMode, uint32_t{1});
  ASSERT_TRUE(ReadCamera(camera.bytes, &read));
  EXPECT_EQ(read.mode, kCameraModeMatrix);
  EXPECT_EQ(read.yaw, 0.0f) << "matrix snapshots carry zero angles";
  EXPECT_EQ(read.matrix.m[2], std::sin(1.0f));

  camera.Set(host_layout::kCameraMode, uint32_t{2});
  EXPECT_FALSE(ReadCamera(camera.bytes, &read));
  camera.Set(host_layout::kCameraMode, uint32_t{0});
  camera.Set(host_layout::kCameraYaw, NAN);
  EXPECT_FALSE(ReadCamera(camera.bytes, &read)) << "a non-finite angle is not a camera state";
  EXPECT_FALSE(ReadCamera(nullptr, &read));
}

TEST_F(CameraApplyTest, AppliesEulerStateSetsDirtyFlagsAndVerifies) {
  camera.Set(host_layout::kCameraMode, uint32_t{0});
  const CameraSnapshot wanted = EulerSnapshot(4.0f, 0.75f);
  ASSERT_EQ(ApplyCamera(camera.bytes, wanted), CameraApplyFailure::Success);
  EXPECT_EQ(camera.Get<float>(host_layout::kCameraPosition), 4.0f);
  EXPECT_EQ(camera.Get<float>(host_layout::kCameraYaw), 0.75f);
  EXPECT_EQ(camera.Get<float>(host_layout::kCameraPitch), 0.1f);
  for (size_t offset : host_layout::kCameraDirtyFlags) EXPECT_EQ(camera.bytes[offset], 1) << offset;
  EXPECT_EQ(camera.bytes[0x6F2], 0) << "+0x6F2 belongs to the host";
}

TEST_F(CameraApplyTest, AppliesMatrixStateThroughTheSetter) {
  camera.Set(host_layout::kCameraMode, uint32_t{1});
  CameraSnapshot wanted{};
  wanted.mode = kCameraModeMatrix;
  wanted.matrix = YawMatrix(0.3f);
  wanted.position[0] = 7.0f;
  ASSERT_EQ(ApplyCamera(camera.bytes, wanted), CameraApplyFailure::Success);
  EXPECT_EQ(camera.Get<RigidMatrix>(host_layout::kCameraRotation).m[2], std::sin(0.3f));
}

TEST_F(CameraApplyTest, ReportsEachFailureByItsCode) {
  camera.Set(host_layout::kCameraMode, uint32_t{0});
  CameraSnapshot matrixState{};
  matrixState.mode = kCameraModeMatrix;
  matrixState.matrix = YawMatrix(0.0f);
  EXPECT_EQ(ApplyCamera(camera.bytes, matrixState), CameraApplyFailure::Mode);
  EXPECT_EQ(ApplyCamera(nullptr, EulerSnapshot(0, 0)), CameraApplyFailure::Input);
  CameraSnapshot broken = EulerSnapshot(0, 0);
  broken.position[1] = INFINITY;
  EXPECT_EQ(ApplyCamera(camera.bytes, broken), CameraApplyFailure::Input);

  // A host that keeps the position 0.0002 off: the verification catches it.
  g_positionError = 0.0002f;
  EXPECT_EQ(ApplyCamera(camera.bytes, EulerSnapshot(1.0f, 0.0f)), CameraApplyFailure::Position);
  g_positionError = 0.00005f;
  EXPECT_EQ(ApplyCamera(camera.bytes, EulerSnapshot(1.0f, 0.0f)), CameraApplyFailure::Success);

  SetCameraSetterAddresses(reinterpret_cast<void*>(&FakeSetPosition), nullptr);
  EXPECT_EQ(ApplyCamera(camera.bytes, EulerSnapshot(1.0f, 0.0f)), CameraApplyFailure::Input)
      << "without the rotation setter nothing is applied";
}

TEST(WorldYawPreviewTest, RotatesAboutTheVerticalLineThroughTheCamera) {
  PublishWorldYawPreview(0.5f, 3.0f, 1.0f, -2.0f);
  ASSERT_TRUE(WorldYawPreview().valid);
  const float* m = WorldYawPreview().matrix.m;
  // The camera's own position is a fixed point of the turn.
  const float x = m[0] * 3.0f + m[1] * 1.0f + m[2] * -2.0f + m[3];
  const float z = m[8] * 3.0f + m[9] * 1.0f + m[10] * -2.0f + m[11];
  EXPECT_NEAR(x, 3.0f, 1e-5f);
  EXPECT_NEAR(z, -2.0f, 1e-5f);
  EXPECT_EQ(m[5], 1.0f);
  EXPECT_EQ(m[15], 1.0f);

  PublishWorldYawPreview(5e-8f, 3.0f, 1.0f, -2.0f);
  EXPECT_FALSE(WorldYawPreview().valid) << "a negligible turn publishes nothing";
  PublishWorldYawPreview(0.5f, NAN, 1.0f, -2.0f);
  EXPECT_FALSE(WorldYawPreview().valid);
}

TEST(CameraCadenceTest, FormatsEveryCounterGroup) {
  CameraRenderCounters c;
  c.listenerFrames = 1200;
  c.eulerFrames = 1000;
  c.matrixFrames = 200;
  c.applied = 1100;
  c.phaseInvalid = 3;
  c.alphaLow = 4;
  c.alphaHigh = 5;
  c.publishes[0] = 10;  // appended
  c.publishes[1] = 20;  // unchanged
  c.publishes[2] = 99;  // invalid: not in the line
  c.publishes[5] = 30;  // same-tick-update
  c.publishes[6] = 40;  // discontinuity
  c.applyFailures = 6;
  c.applyFailuresByCode[2] = 6;
  c.restoreFailures = 1;
  c.restoreFailuresByCode[4] = 1;
  c.failedApplyRollbacks = 2;
  EXPECT_EQ(FormatCameraCadence(c),
            L"Camera cadence: frames=1200, modes(euler/matrix)=1000/200, applied=1100, phase-invalid=3, "
            L"alpha-low/high=4/5, publishes(appended/unchanged/same-tick/discontinuity)=10/20/30/40, "
            L"failures(apply/restore)=6/1, failure-detail(input/mode/readback/position/orientation)=0/6/0/0/0, "
            L"restore=0/0/0/1/0, failed-apply-rollback=2.");
}

}  // namespace
