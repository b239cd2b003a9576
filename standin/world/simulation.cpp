// The scripted camera. The simulation writes cameras only inside fixed steps and
// insists, at the start of every step, on finding exactly what it wrote.
#include <cmath>
#include <cstdio>

#include "layouts.h"
#include "world.h"

namespace qv {
namespace {

using SetVectorFn = void (*)(void*, const float*);

// Scenario "full": steps (1-based) at which things happen.
constexpr uint64_t kMatrixModeFrom = 240;
constexpr uint64_t kMatrixModeUntil = 420;
constexpr uint64_t kTeleportAt = 480;
constexpr uint64_t kListenerSwitchAt = 600;
constexpr uint64_t kInjectedModeSteps = 10;
constexpr float kTeleportDistance = 40.0f;

struct CameraPose {
  uint32_t mode = 0;  // value stored in the mode field
  bool matrix = false;
  float position[3] = {};
  float angles[3] = {};
  float m[16] = {};
};

void RotationMatrix(double yaw, double pitch, double roll, const float* position, float* m) {
  double cy = std::cos(yaw), sy = std::sin(yaw);
  double cp = std::cos(pitch), sp = std::sin(pitch);
  double cr = std::cos(roll), sr = std::sin(roll);
  // Ry(yaw) * Rx(pitch) * Rz(roll), rows.
  double r[3][3] = {
      {cy * cr + sy * sp * sr, -cy * sr + sy * sp * cr, sy * cp},
      {cp * sr, cp * cr, -sp},
      {-sy * cr + cy * sp * sr, sy * sr + cy * sp * cr, cy * cp},
  };
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) m[row * 4 + col] = static_cast<float>(r[row][col]);
    m[row * 4 + 3] = position[row];
  }
  m[12] = m[13] = m[14] = 0.0f;
  m[15] = 1.0f;
}

CameraPose PlayerPose(double t, bool matrix_mode, float x_offset) {
  CameraPose p;
  p.position[0] = static_cast<float>(3.0 * t) + x_offset;
  p.position[1] = static_cast<float>(1.7 + 0.4 * std::sin(0.7 * t));
  p.position[2] = static_cast<float>(-2.0 * t);
  double yaw = 0.6 * t, pitch = 0.25 * std::sin(0.5 * t), roll = matrix_mode ? 0.2 * std::sin(t) : 0.0;
  p.angles[0] = static_cast<float>(pitch);
  p.angles[1] = static_cast<float>(yaw);
  p.angles[2] = static_cast<float>(roll);
  p.matrix = matrix_mode;
  p.mode = matrix_mode ? 1 : 0;
  if (matrix_mode) RotationMatrix(yaw, pitch, roll, p.position, p.m);
  return p;
}

void WriteCamera(World& w, int index, const CameraPose& p) {
  void* camera = w.cameras[index];
  CameraShadow& s = w.shadows[index];
  reinterpret_cast<SetVectorFn>(SiteAddress(3))(camera, p.position);
  std::memcpy(s.position, p.position, sizeof s.position);
  if (p.matrix) {
    reinterpret_cast<SetVectorFn>(SiteAddress(4))(camera, p.m);
    std::memcpy(s.matrix, p.m, sizeof s.matrix);
  } else {
    Store<float>(camera, CameraLayout::kPitch, p.angles[0]);
    Store<float>(camera, CameraLayout::kYaw, p.angles[1]);
    Store<float>(camera, CameraLayout::kRoll, p.angles[2]);
    std::memcpy(s.angles, p.angles, sizeof s.angles);
  }
  Store<uint32_t>(camera, CameraLayout::kMode, p.mode);
  s.mode = p.mode;
  std::memset(At(camera, CameraLayout::kDirtyFirst), 1, CameraLayout::kDirtyLast - CameraLayout::kDirtyFirst + 1);
}

std::wstring Describe(const wchar_t* what, const float* held, const float* wrote, int n) {
  wchar_t buf[512];
  std::wstring text = what;
  text += L" held (";
  for (int i = 0; i < n; ++i) {
    std::swprintf(buf, 512, L"%s%.9g", i ? L", " : L"", static_cast<double>(held[i]));
    text += buf;
  }
  text += L"), the simulation wrote (";
  for (int i = 0; i < n; ++i) {
    std::swprintf(buf, 512, L"%s%.9g", i ? L", " : L"", static_cast<double>(wrote[i]));
    text += buf;
  }
  return text + L")";
}

// Empty when the camera holds exactly (bitwise) what was written.
std::wstring CompareCamera(void* camera, const CameraShadow& s) {
  float position[3], angles[3], matrix[16];
  std::memcpy(position, At(camera, CameraLayout::kPosition), sizeof position);
  angles[0] = Load<float>(camera, CameraLayout::kPitch);
  angles[1] = Load<float>(camera, CameraLayout::kYaw);
  angles[2] = Load<float>(camera, CameraLayout::kRoll);
  std::memcpy(matrix, At(camera, CameraLayout::kMatrix), sizeof matrix);
  uint32_t mode = Load<uint32_t>(camera, CameraLayout::kMode);
  if (std::memcmp(position, s.position, sizeof position) != 0) return Describe(L"position", position, s.position, 3);
  if (std::memcmp(angles, s.angles, sizeof angles) != 0) return Describe(L"pitch/yaw/roll", angles, s.angles, 3);
  if (mode != s.mode) return L"mode held " + std::to_wstring(mode) + L", the simulation wrote " + std::to_wstring(s.mode);
  if (std::memcmp(matrix, s.matrix, sizeof matrix) != 0) return Describe(L"rotation matrix", matrix, s.matrix, 16);
  return {};
}

}  // namespace

void CheckCamerasBeforeStep() {
  World& w = TheWorld();
  for (int i = 0; i < kCameraCount; ++i) {
    std::wstring diff = CompareCamera(w.cameras[i], w.shadows[i]);
    if (diff.empty()) continue;
    if (w.violations++ == 0)
      w.first_violation = L"before step " + std::to_wstring(w.steps + 1) + L", camera " + std::to_wstring(i) +
                          L" " + diff;
  }
}

void SimulateStep(double step_seconds) {
  World& w = TheWorld();
  const Options& o = w.options;
  uint64_t k = w.steps + 1;
  w.sim_seconds += step_seconds;
  double t = w.sim_seconds;
  bool full = o.scenario == Scenario::Full;

  bool matrix_mode = full && k >= kMatrixModeFrom && k < kMatrixModeUntil;
  float x_offset = full && k >= kTeleportAt ? kTeleportDistance : 0.0f;
  int listener = full && k >= kListenerSwitchAt ? 1 : 0;
  if (full && k == kListenerSwitchAt) Store<void*>(w.listener_viewport, ViewportLayout::kCamera, w.cameras[1]);

  CameraPose pose = PlayerPose(t, matrix_mode, x_offset);
  if (listener == 1) {
    // A second camera riding two units above the first, looking a little to the side.
    pose.position[1] += 2.0f;
    pose.angles[1] += 0.3f;
  }
  if (o.camera_mode.set && k >= o.camera_mode.tick && k < o.camera_mode.tick + kInjectedModeSteps)
    pose.mode = o.camera_mode.value;
  WriteCamera(w, listener, pose);

  CameraPose second;
  second.position[1] = 10.0f;
  second.angles[0] = -0.3f;
  second.angles[1] = static_cast<float>(0.1 * t);
  WriteCamera(w, 2, second);
}

}  // namespace qv
