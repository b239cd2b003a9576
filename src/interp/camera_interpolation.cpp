#include "interp/camera_interpolation.h"

#include <atomic>
#include <cmath>

#include "core/log.h"
#include "core/perf_counter.h"
#include "core/text.h"
#include "host/hook_install.h"
#include "host/host_layout.h"
#include "host/host_memory.h"
#include "host/host_validation.h"
#include "interp/viewport_render.h"
#include "pacing/render_unlock.h"

namespace {

using RunMessageFn = void (*)(void* updater, int message, float value);
using SchedulerClockFn = uint64_t (*)(void* scheduler);

struct CameraInterpolationState {
  PresentationClock clock;
  uint64_t completedTicks = 0;
  int64_t frequency = 0;
  RunMessageFn runMessageOriginal = nullptr;
  void* renderViewportOriginal = nullptr;
  std::atomic<SchedulerClockFn> schedulerClock{nullptr};
  std::atomic<bool> clockActiveLogged{false};
  double lastRegionRefresh = 0.0;
};

constexpr double kRegionRefreshSeconds = 0.1;

CameraInterpolationState g_camera;

void RunMessageDetour(void* updater, int message, float value) {
  g_camera.runMessageOriginal(updater, message, value);
  if (!IsCompletedStep(message, value)) return;
  double now = 0.0;
  if (!NowSeconds(&now)) return;
  RefreshRegionCacheIfDue(now);
  if (!ConfigureClock(g_camera.clock, static_cast<double>(value), kDefaultClockMaxGap)) return;
  const uint64_t tick = ++g_camera.completedTicks;
  if (!PublishTick(g_camera.clock, tick, now, false).accepted) {
    ResetInterpolationState();
    return;
  }
  // Per-tick capture of the other subsystems runs here, in order: entities and poses, the
  // mouse-look preview, particles, the GUI cursor. None of them is part of this build yet.
  if (LatchOnce(g_camera.clockActiveLogged)) {
    LogWrite(LogLevel::Info, FormatBounded(256, L"Camera interpolation clock active: fixed step=%f ms, completed-step message=5.",
                                           static_cast<double>(value) * 1000.0));
  }
}

DetourSite CameraDetourSite(HMODULE host, size_t index) {
  if (index == 0)
    return {SiteAddress(host, SiteId::UpdaterRunMessage), reinterpret_cast<void*>(&RunMessageDetour),
            reinterpret_cast<void**>(&g_camera.runMessageOriginal), L"MH_CreateHook(cUpdater::RunMessage)"};
  return {SiteAddress(host, SiteId::SceneRenderViewport), ViewportRenderDetourAddress(),
          &g_camera.renderViewportOriginal, L"MH_CreateHook(cScene::RenderViewport)"};
}

}  // namespace

PresentationClock& CameraClock() { return g_camera.clock; }
uint64_t CompletedTickCounter() { return g_camera.completedTicks; }

bool NowSeconds(double* seconds) {
  int64_t count = 0;
  if (g_camera.frequency < 1 || !ReadPerformanceCounter(&count)) return false;
  const double value = static_cast<double>(count) / static_cast<double>(g_camera.frequency);
  if (!std::isfinite(value)) return false;
  *seconds = value;
  return true;
}

RenderPhaseReading RenderPhase() {
  RenderPhaseReading reading;
  void* engine = CurrentEngine();
  SchedulerClockFn schedulerClock = g_camera.schedulerClock.load(std::memory_order_acquire);
  if (engine == nullptr || schedulerClock == nullptr) return reading;
  void* scheduler = nullptr;
  if (!ReadHostValueAt(engine, host_layout::kEngineScheduler, scheduler) || scheduler == nullptr) return reading;
  uint64_t dueMs = 0;
  double unitMs = 0.0;
  double rate = 0.0;
  if (!ReadHostValueAt(scheduler, host_layout::kSchedulerDueMs, dueMs) ||
      !ReadHostValueAt(scheduler, host_layout::kSchedulerUnitMs, unitMs) ||
      !ReadHostValueAt(scheduler, host_layout::kSchedulerRate, rate))
    return reading;
  const uint64_t nowMs = schedulerClock(scheduler);
  const RenderPhaseResult phase = ComputeRenderPhase(dueMs, unitMs, rate, nowMs);
  reading.ok = phase.ok;
  reading.alpha = phase.alpha;
  reading.rawAlpha = phase.rawAlpha;
  return reading;
}

void* RenderViewportOriginal() { return g_camera.renderViewportOriginal; }

bool InstallCameraInterpolation(HMODULE host, std::wstring& message) {
  if (host == nullptr) {
    message = L"Host module is null while installing camera interpolation.";
    return false;
  }
  static constexpr SiteId kCheckedSites[] = {SiteId::UpdaterRunMessage, SiteId::SceneRenderViewport,
                                             SiteId::CameraSetRotationMatrix, SiteId::CameraSetPosition,
                                             SiteId::SchedulerClock};
  for (SiteId site : kCheckedSites) {
    if (!SiteMatches(host, site)) {
      message = L"Updater or viewport-render entry bytes do not match the supported build, or the scheduler clock is "
                L"unavailable.";
      return false;
    }
  }
  int64_t frequency = 0;
  if (!ReadPerformanceFrequency(&frequency) || frequency <= 0) {
    message = L"QueryPerformanceFrequency failed.";
    return false;
  }
  g_camera.frequency = frequency;
  SetCameraSetterAddresses(SiteAddress(host, SiteId::CameraSetPosition), SiteAddress(host, SiteId::CameraSetRotationMatrix));
  g_camera.schedulerClock.store(reinterpret_cast<SchedulerClockFn>(SiteAddress(host, SiteId::SchedulerClock)),
                                std::memory_order_release);

  const DetourSite sites[] = {CameraDetourSite(host, 0), CameraDetourSite(host, 1)};
  return InstallDetours(sites, 2, L"MH_EnableHook(camera interpolation)", message);
}

void UninstallCameraInterpolation() {
  HMODULE host = GetModuleHandleW(nullptr);
  if (host == nullptr) return;
  if (SiteRva(SiteId::UpdaterRunMessage) != 0) {
    // The render detour goes first, as it was created last.
    const DetourSite sites[] = {CameraDetourSite(host, 1), CameraDetourSite(host, 0)};
    RemoveDetours(sites, 2);
  }
  SetCameraSetterAddresses(nullptr, nullptr);
  ResetInterpolationState();
}

void RefreshRegionCacheIfDue(double now) {
  if (!(now - g_camera.lastRegionRefresh < kRegionRefreshSeconds) || now < g_camera.lastRegionRefresh) {
    AdvanceRegionCacheEpoch();
    g_camera.lastRegionRefresh = now;
  }
}

void ResetInterpolationState() {
  // Entity, world and skeletal histories and the mouse-look preview join here when they exist.
  ResetViewportRenderState();
  // Whatever suggested another camera or viewport also gets its memory looked at afresh.
  AdvanceRegionCacheEpoch();
}
