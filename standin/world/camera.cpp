// The scripted cameras. The simulation writes them only inside fixed steps; the shadow registry
// insists, at the start of every step, on finding exactly what was written.
#include <cmath>
#include <cstring>

#include "draw_log.h"
#include "input.h"
#include "layouts.h"
#include "shadow.h"
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

int g_listener_track = -1;

const wchar_t* const kCameraFields[4] = {L"position", L"pitch/yaw/roll", L"mode", L"rotation matrix"};
const char* const kCameraIds[kCameraCount] = {"0", "1", "2"};

void WriteCamera(World& w, int index, const CameraPose& p) {
  void* camera = w.camera.objects[index];
  const int* shadow = w.camera.shadows[index];
  reinterpret_cast<SetVectorFn>(SiteAddress(3))(camera, p.position);
  ShadowWrote(shadow[0], p.position);
  if (p.matrix) {
    reinterpret_cast<SetVectorFn>(SiteAddress(4))(camera, p.m);
    ShadowWrote(shadow[3], p.m);
  } else {
    Store<float>(camera, CameraLayout::kPitch, p.angles[0]);
    Store<float>(camera, CameraLayout::kYaw, p.angles[1]);
    Store<float>(camera, CameraLayout::kRoll, p.angles[2]);
    ShadowWrote(shadow[1], p.angles);
  }
  Store<uint32_t>(camera, CameraLayout::kMode, p.mode);
  ShadowWrote(shadow[2], &p.mode);
  std::memset(At(camera, CameraLayout::kDirtyFirst), 1, CameraLayout::kDirtyLast - CameraLayout::kDirtyFirst + 1);
}

}  // namespace

void PlayerEye(double t, float* position, float* yaw) {
  CameraPose p = PlayerPose(t, false, 0.0f);
  std::memcpy(position, p.position, sizeof p.position);
  *yaw = p.angles[1];
}

void CreateCameras() {
  World& w = TheWorld();
  static const float kZero[16] = {};
  // Every field is checked from the start: one the script never writes must stay as created.
  for (int i = 0; i < kCameraCount; ++i) {
    void* camera = NewHostObject(CameraLayout::kSize);
    w.camera.objects[i] = camera;
    const size_t at[4] = {CameraLayout::kPosition, CameraLayout::kPitch, CameraLayout::kMode, CameraLayout::kMatrix};
    const size_t size[4] = {12, 12, 4, 64};
    for (int f = 0; f < 4; ++f) {
      w.camera.shadows[i][f] = ShadowTrackMemory({L"camera", kCameraIds[i], kCameraFields[f]}, At(camera, at[f]), size[f]);
      ShadowWrote(w.camera.shadows[i][f], kZero);
    }
  }
  // Viewport 0 is the player's view (the listener); viewport 1 a second view with its own camera.
  Store<void*>(w.engine.viewports[0], ViewportLayout::kCamera, w.camera.objects[0]);
  Store<void*>(w.engine.viewports[1], ViewportLayout::kCamera, w.camera.objects[2]);
}

void CaptureListenerCamera(void* viewport, FrameRow* row) {
  void* camera = Load<void*>(viewport, ViewportLayout::kCamera);
  FrameRow& r = *row;
  r.mode = Load<uint32_t>(camera, CameraLayout::kMode);
  std::memcpy(r.position, At(camera, CameraLayout::kPosition), sizeof r.position);
  r.angles[0] = Load<float>(camera, CameraLayout::kPitch);
  r.angles[1] = Load<float>(camera, CameraLayout::kYaw);
  r.angles[2] = Load<float>(camera, CameraLayout::kRoll);
  if (r.mode == 1) std::memcpy(r.matrix, At(camera, CameraLayout::kMatrix), sizeof r.matrix);
  DrawLogRow(g_listener_track, r.position);
  // The renderer consumes the camera's dirty flags.
  std::memset(At(camera, CameraLayout::kDirtyFirst), 0, CameraLayout::kDirtyLast - CameraLayout::kDirtyFirst + 1);
}

void TrackListenerCamera() { g_listener_track = DrawLogTrack("camera", "listener"); }

void WriteListenerMatrixCamera(const float* m) {
  CameraPose p;
  p.mode = 1;
  p.matrix = true;
  std::memcpy(p.m, m, sizeof p.m);
  p.position[0] = m[3], p.position[1] = m[7], p.position[2] = m[11];
  WriteCamera(TheWorld(), 0, p);
}

void StepCameras(uint64_t k, double t) {
  World& w = TheWorld();
  const Options& o = w.options;
  bool full = o.scenario == Scenario::Full;

  bool matrix_mode = full && k >= kMatrixModeFrom && k < kMatrixModeUntil;
  float x_offset = full && k >= kTeleportAt ? kTeleportDistance : 0.0f;
  int listener = full && k >= kListenerSwitchAt ? 1 : 0;
  if (full && k == kListenerSwitchAt) Store<void*>(w.engine.listener_viewport, ViewportLayout::kCamera, w.camera.objects[1]);

  CameraPose pose = PlayerPose(t, matrix_mode, x_offset);
  // The camera rides the body's head: the skeleton step writes it.
  bool ride = o.scenario == Scenario::CameraRide;
  if (listener == 1) {
    // A second camera riding two units above the first, looking a little to the side.
    pose.position[1] += 2.0f;
    pose.angles[1] += 0.3f;
  }
  // With the hand on the mouse the player looks where the mouse turned them.
  if (LookDrivesListener() && !pose.matrix) ListenerLook(&pose.angles[0], &pose.angles[1]);
  if (o.camera_mode.set && k >= o.camera_mode.tick && k < o.camera_mode.tick + kInjectedModeSteps)
    pose.mode = o.camera_mode.value;
  if (!ride) WriteCamera(w, listener, pose);

  CameraPose second;
  second.position[1] = 10.0f;
  second.angles[0] = -0.3f;
  second.angles[1] = static_cast<float>(0.1 * t);
  WriteCamera(w, 2, second);
}

}  // namespace qv
