#include "interp/viewport_render.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "core/log.h"
#include "core/text.h"
#include "host/hook_install.h"
#include "host/host_layout.h"
#include "host/host_memory.h"
#include "frame/frame_clock.h"
#include "interp/camera_report.h"
#include "interp/render_hooks.h"
#include "pacing/swap_runtime.h"

namespace {

using RenderViewportFn = void (*)(void* scene, void* viewport, float value, int flags);
using SetVectorFn = void (*)(void* camera, const float* values);

constexpr float kPitchLimit = 1.55f;
constexpr float kPositionTolerance = 0.0001f;
constexpr float kAngleTolerance = 0.001f;
constexpr uint32_t kNoSampleWarningFrames = 240;

struct ViewportIdentity {
  void* viewport = nullptr;
  void* companion = nullptr;
  void* camera = nullptr;
};

struct ViewportRenderState {
  CameraHistory history;
  ViewportIdentity identity;
  CameraRenderCounters counters;
  WorldYawPreviewState yawPreview;
  std::atomic<SetVectorFn> setPosition{nullptr};
  std::atomic<SetVectorFn> setRotationMatrix{nullptr};
  std::atomic<uint32_t> framesWithoutSample{0};
  std::atomic<bool> listenerFoundLogged{false};
  std::atomic<bool> layoutUnavailableLogged{false};
  std::atomic<bool> matrixModeLogged{false};
  std::atomic<bool> noSampleLogged{false};
  std::atomic<bool> activeLogged{false};
  std::atomic<bool> restoreFailedLogged{false};
};

ViewportRenderState g_render;

void CallHostRender(void* scene, void* viewport, float value, int flags) {
  reinterpret_cast<RenderViewportFn>(RenderViewportOriginal())(scene, viewport, value, flags);
}

void LogNoSampleOnce(HistoryPublishResult publish, const ClockSample& sample, CameraSampleResult result,
                     const RenderPhaseReading& phase) {
  const uint32_t frames = g_render.framesWithoutSample.fetch_add(1, std::memory_order_relaxed) + 1;
  if (frames < kNoSampleWarningFrames || !LatchOnce(g_render.noSampleLogged)) return;
  LogWrite(LogLevel::Warn,
           std::wstring(L"Camera interpolation has not produced a sample after 240 listener frames: pose-publish=") +
               HistoryPublishResultName(publish) + L", clock-sample=" + ClockSampleStatusName(sample.status) +
               L", camera-sample=" + CameraSampleResultName(result) + L", alpha=" +
               FormatBounded(64, L"%f", phase.alpha) + L", raw-alpha=" + FormatBounded(64, L"%f", phase.rawAlpha) +
               L".");
}

void CountApplyFailure(CameraApplyFailure failure, uint64_t& total, uint64_t* byCode) {
  ++total;
  const auto code = static_cast<size_t>(failure);
  if (code < 6) ++byCode[code];
}

// Everything after the decision that this is the listener viewport with a readable camera.
void RenderListenerViewport(void* scene, void* viewport, float value, int flags, void* camera,
                            const CameraSnapshot& authoritative) {
  CameraRenderCounters& counters = g_render.counters;
  const HistoryPublishResult publish =
      PublishCameraHistory(g_render.history, CompletedTickCounter(), FrameClock().generation, authoritative);

  ++counters.listenerFrames;
  if (authoritative.mode == kCameraModeMatrix) {
    ++counters.matrixFrames;
    if (LatchOnce(g_render.matrixModeLogged))
      LogWrite(LogLevel::Info, L"Camera interpolation entered validated matrix mode; scripted CameraSocket motion is "
                               L"now eligible for render interpolation.");
  } else {
    ++counters.eulerFrames;
  }
  const auto publishCode = static_cast<size_t>(publish);
  if (publishCode < kHistoryPublishResultCount) ++counters.publishes[publishCode];
  if (publish == HistoryPublishResult::Invalid) return CallHostRender(scene, viewport, value, flags);

  const RenderHooks hooks = LoadRenderHooks();
  PaceBeforeSample();
  if (hooks.guiCursor != nullptr) hooks.guiCursor();

  double now = 0.0;
  if (!NowSeconds(&now)) return CallHostRender(scene, viewport, value, flags);
  const RenderPhaseReading phase = RenderPhase();
  if (!phase.ok) ++counters.phaseInvalid;
  if (phase.ok && phase.rawAlpha < 0.0) ++counters.alphaLow;
  if (phase.ok && phase.rawAlpha > 1.0) ++counters.alphaHigh;

  const ClockSample sample = SampleClock(FrameClock(), now, phase.alpha, phase.ok);
  const CameraSample interpolated = SampleCameraHistory(g_render.history, sample);
  CameraCadenceCheck(now, counters);
  if (interpolated.result != CameraSampleResult::Applied) {
    LogNoSampleOnce(publish, sample, interpolated.result, phase);
    return CallHostRender(scene, viewport, value, flags);
  }

  CameraSnapshot drawn = interpolated.snapshot;
  CameraSnapshot older{};
  CameraSnapshot newer{};
  // The pair feeds only the mouse-look preview and the skeleton ride: fetched when one can use it.
  const bool previewActive = hooks.mouseLookActive != nullptr && hooks.mouseLookActive();
  const bool havePair = (previewActive || drawn.mode == kCameraModeMatrix) &&
                        FindCameraPair(g_render.history, sample, &older, &newer);
  MouseLookDelta look;
  if (previewActive && havePair) {
    look = hooks.mouseLookDelta(sample, older, newer);
    if (look.valid && drawn.mode == kCameraModeEuler) {
      drawn.yaw += look.yaw;
      drawn.pitch = std::clamp(drawn.pitch + look.pitch, -kPitchLimit, kPitchLimit);
    }
  }
  if (havePair && drawn.mode == kCameraModeMatrix && older.mode == kCameraModeMatrix &&
      newer.mode == kCameraModeMatrix) {
    const CameraTransform olderTransform{older.matrix, {older.position[0], older.position[1], older.position[2]}};
    const CameraTransform newerTransform{newer.matrix, {newer.position[0], newer.position[1], newer.position[2]}};
    CameraTransform riding{drawn.matrix, {drawn.position[0], drawn.position[1], drawn.position[2]}};
    if (hooks.attachCameraToSkeleton != nullptr &&
        hooks.attachCameraToSkeleton(sample, olderTransform, newerTransform, &riding)) {
      CameraSnapshot candidate = drawn;
      candidate.matrix = riding.matrix;
      std::memcpy(candidate.position, riding.position, sizeof(candidate.position));
      if (ValidateSnapshot(candidate)) drawn = candidate;
    }
  }

  const CameraApplyFailure applied = ApplyCamera(camera, drawn);
  if (applied != CameraApplyFailure::Success) {
    CountApplyFailure(applied, counters.applyFailures, counters.applyFailuresByCode);
    if (ApplyCamera(camera, authoritative) != CameraApplyFailure::Success) ++counters.failedApplyRollbacks;
    return CallHostRender(scene, viewport, value, flags);
  }
  ++counters.applied;
  if (LatchOnce(g_render.activeLogged))
    LogWrite(LogLevel::Info, L"Camera interpolation active on the validated Velt viewport/camera layout.");

  PublishWorldYawPreview(look.valid ? look.yaw : 0.0f, drawn.position[0], drawn.position[1], drawn.position[2]);
  if (hooks.entityApply != nullptr) hooks.entityApply(sample);
  if (hooks.particleApply != nullptr) hooks.particleApply(sample);

  CallHostRender(scene, viewport, value, flags);

  if (hooks.particleRestore != nullptr) hooks.particleRestore();
  if (hooks.entityRestore != nullptr) hooks.entityRestore();
  const CameraApplyFailure restored = ApplyCamera(camera, authoritative);
  if (restored != CameraApplyFailure::Success) {
    CountApplyFailure(restored, counters.restoreFailures, counters.restoreFailuresByCode);
    if (LatchOnce(g_render.restoreFailedLogged))
      LogWrite(LogLevel::Error, L"Camera interpolation could not restore authoritative camera state exactly; "
                                L"interpolation history was reset.");
    ResetInterpolationState();
  }
}

void RenderViewportDetour(void* scene, void* viewport, float value, int flags) {
  const GatePass pass(FrameDetourGate());
  if (!pass.Open()) return CallHostRender(scene, viewport, value, flags);
  if (viewport == nullptr || !FrameClock().configured || CompletedTickCounter() == 0)
    return CallHostRender(scene, viewport, value, flags);
  // Host memory seen in an earlier pass is looked at afresh: the game may have freed it since.
  AdvanceRegionCacheEpoch();

  // Camera, companion and listener flag in one guarded copy.
  struct ViewportFields {
    void* camera;
    void* companion;
    uint8_t pad[3];
    uint8_t listener;
  };
  static_assert(offsetof(ViewportFields, companion) == host_layout::kViewportCompanion - host_layout::kViewportCamera);
  static_assert(offsetof(ViewportFields, listener) == host_layout::kViewportListenerFlag - host_layout::kViewportCamera);
  ViewportFields fields{};
  const bool readable = ReadHostValueAt(viewport, host_layout::kViewportCamera, fields);
  const uint8_t listener = fields.listener;
  if (!readable || listener > 1) {
    ResetInterpolationState();
    return CallHostRender(scene, viewport, value, flags);
  }
  if (listener == 0) return CallHostRender(scene, viewport, value, flags);
  if (LatchOnce(g_render.listenerFoundLogged))
    LogWrite(LogLevel::Info, L"Camera interpolation found the active listener viewport at validated offset +0x2B.");

  void* camera = fields.camera;
  void* companion = fields.companion;
  CameraSnapshot authoritative{};
  if (camera == nullptr || companion == nullptr || !ReadCamera(camera, &authoritative)) {
    ResetInterpolationState();
    if (LatchOnce(g_render.layoutUnavailableLogged))
      LogWrite(LogLevel::Warn, L"Camera interpolation skipped a viewport whose validated Velt camera layout was unavailable.");
    return CallHostRender(scene, viewport, value, flags);
  }

  ViewportIdentity& identity = g_render.identity;
  if (identity.viewport != viewport || identity.companion != companion || identity.camera != camera) {
    ResetInterpolationState();
    identity = {viewport, companion, camera};
  }
  RenderListenerViewport(scene, viewport, value, flags, camera, authoritative);
}

}  // namespace

bool ReadCamera(const void* camera, CameraSnapshot* snapshot) {
  *snapshot = CameraSnapshot{};
  // One guarded test for everything the camera state spans; then only the fields in use are copied.
  constexpr size_t kBegin = host_layout::kCameraPosition;
  constexpr size_t kEnd = host_layout::kCameraRotation + sizeof(RigidMatrix);
  const auto* base = static_cast<const uint8_t*>(camera);
  if (camera == nullptr || !CheckHostRange(base + kBegin, kEnd - kBegin, false)) return false;
  CameraSnapshot read{};
  uint32_t mode = 0;
  std::memcpy(&mode, base + host_layout::kCameraMode, sizeof(mode));
  if (mode == kCameraModeMatrix) {
    std::memcpy(&read.matrix, base + host_layout::kCameraRotation, sizeof(read.matrix));
  } else if (mode == kCameraModeEuler) {
    std::memcpy(&read.pitch, base + host_layout::kCameraPitch, sizeof(float));
    std::memcpy(&read.yaw, base + host_layout::kCameraYaw, sizeof(float));
    std::memcpy(&read.roll, base + host_layout::kCameraRoll, sizeof(float));
  } else {
    return false;
  }
  std::memcpy(read.position, base + host_layout::kCameraPosition, sizeof(read.position));
  read.mode = mode;
  if (!ValidateSnapshot(read)) return false;
  *snapshot = read;
  return true;
}

CameraApplyFailure ApplyCamera(void* camera, const CameraSnapshot& snapshot) {
  const SetVectorFn setPosition = g_render.setPosition.load(std::memory_order_acquire);
  const SetVectorFn setRotationMatrix = g_render.setRotationMatrix.load(std::memory_order_acquire);
  if (camera == nullptr || !ValidateSnapshot(snapshot) || setPosition == nullptr || setRotationMatrix == nullptr)
    return CameraApplyFailure::Input;
  uint32_t mode = 0;
  const uint32_t wanted = snapshot.mode == kCameraModeMatrix ? kCameraModeMatrix : kCameraModeEuler;
  if (!ReadHostValueAt(camera, host_layout::kCameraMode, mode) || mode != wanted) return CameraApplyFailure::Mode;

  setPosition(camera, snapshot.position);
  if (snapshot.mode == kCameraModeMatrix) {
    setRotationMatrix(camera, snapshot.matrix.m);
  } else {
    static_assert(host_layout::kCameraYaw == host_layout::kCameraPitch + 4 &&
                  host_layout::kCameraRoll == host_layout::kCameraPitch + 8);
    const float angles[3] = {snapshot.pitch, snapshot.yaw, snapshot.roll};
    WriteHostValueAt(camera, host_layout::kCameraPitch, angles);
  }
  const uint8_t dirty = 1;
  for (size_t offset : host_layout::kCameraDirtyFlags) WriteHostValueAt(camera, offset, dirty);

  CameraSnapshot readBack{};
  if (!ReadCamera(camera, &readBack)) return CameraApplyFailure::Readback;
  for (int i = 0; i < 3; ++i)
    if (!(std::fabs(readBack.position[i] - snapshot.position[i]) < kPositionTolerance)) return CameraApplyFailure::Position;
  // The host almost always keeps exactly what it was given: then the angle between is 0 and the
  // trigonometry can be skipped.
  const bool sameOrientation = snapshot.mode == kCameraModeMatrix
                                   ? std::memcmp(&readBack.matrix, &snapshot.matrix, sizeof(RigidMatrix)) == 0
                                   : readBack.pitch == snapshot.pitch && readBack.yaw == snapshot.yaw &&
                                         readBack.roll == snapshot.roll;
  if (!sameOrientation && !(SnapshotAngleBetween(readBack, snapshot) < kAngleTolerance))
    return CameraApplyFailure::Orientation;
  return CameraApplyFailure::Success;
}

void SetCameraSetterAddresses(void* setPosition, void* setRotationMatrix) {
  g_render.setPosition.store(reinterpret_cast<SetVectorFn>(setPosition), std::memory_order_release);
  g_render.setRotationMatrix.store(reinterpret_cast<SetVectorFn>(setRotationMatrix), std::memory_order_release);
}

void* ViewportRenderDetourAddress() { return reinterpret_cast<void*>(&RenderViewportDetour); }

void ResetViewportRenderState() {
  ResetCameraHistory(g_render.history);
  g_render.identity = ViewportIdentity{};
}

void PublishWorldYawPreview(float yawDelta, float x, float y, float z) {
  WorldYawPreviewState& preview = g_render.yawPreview;
  preview.valid = false;
  if (!std::isfinite(yawDelta) || !std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z) ||
      std::fabs(yawDelta) < 1e-7f)
    return;
  const float c = std::cos(yawDelta);
  const float s = std::sin(yawDelta);
  preview.matrix = RigidMatrix{};
  float* m = preview.matrix.m;
  m[0] = c;
  m[2] = s;
  m[3] = x - x * c - z * s;
  m[5] = 1.0f;
  m[8] = -s;
  m[10] = c;
  m[11] = z + x * s - z * c;
  m[15] = 1.0f;
  preview.valid = true;
}

const WorldYawPreviewState& WorldYawPreview() { return g_render.yawPreview; }
const CameraRenderCounters& CameraCounters() { return g_render.counters; }
