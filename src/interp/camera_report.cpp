#include "interp/camera_report.h"

#include "core/log.h"
#include "core/text.h"
#include "frame/frame_clock.h"

namespace {

constexpr double kCameraReportInterval = 5.0;
double g_lastCameraReport = 0.0;  // render thread only

std::wstring Slashed(const uint64_t* values, size_t first, size_t count) {
  std::wstring out;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += L'/';
    out += FormatUnsigned(values[first + i]);
  }
  return out;
}

}  // namespace

std::wstring FormatCameraCadence(const CameraRenderCounters& c) {
  const uint64_t publishes[] = {c.publishes[0], c.publishes[1], c.publishes[5], c.publishes[6]};
  return L"Camera cadence: frames=" + FormatUnsigned(c.listenerFrames) + L", modes(euler/matrix)=" +
         FormatUnsigned(c.eulerFrames) + L"/" + FormatUnsigned(c.matrixFrames) + L", applied=" +
         FormatUnsigned(c.applied) + L", phase-invalid=" + FormatUnsigned(c.phaseInvalid) + L", alpha-low/high=" +
         FormatUnsigned(c.alphaLow) + L"/" + FormatUnsigned(c.alphaHigh) +
         L", publishes(appended/unchanged/same-tick/discontinuity)=" + Slashed(publishes, 0, 4) +
         L", failures(apply/restore)=" + FormatUnsigned(c.applyFailures) + L"/" + FormatUnsigned(c.restoreFailures) +
         L", failure-detail(input/mode/readback/position/orientation)=" + Slashed(c.applyFailuresByCode, 1, 5) +
         L", restore=" + Slashed(c.restoreFailuresByCode, 1, 5) + L", failed-apply-rollback=" +
         FormatUnsigned(c.failedApplyRollbacks) + L".";
}

std::wstring FormatRenderPhaseRefine(const PhaseRefineCounters& c) {
  return L"Camera phase: refined=" + FormatUnsigned(c.refined) +
         L", host-phase(learning/coarse/paused/jumped/drifted)=" + Slashed(c.fallback, 0, kPhaseFallbackReasonCount) +
         L".";
}

void CameraCadenceCheck(double now, const CameraRenderCounters& counters) {
  if (g_lastCameraReport == 0.0) {
    g_lastCameraReport = now;
    return;
  }
  if (now - g_lastCameraReport < kCameraReportInterval) return;
  LogWrite(LogLevel::Info, FormatCameraCadence(counters));
  LogWrite(LogLevel::Debug, FormatRenderPhaseRefine(RenderPhaseRefineCounters()));
  g_lastCameraReport = now;
}
