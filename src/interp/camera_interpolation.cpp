#include "interp/camera_interpolation.h"

#include "frame/frame_clock.h"
#include "frame/tick_detour.h"
#include "host/hook_install.h"
#include "host/host_validation.h"
#include "interp/viewport_render.h"

namespace {

void* g_renderViewportOriginal = nullptr;

DetourSite RenderDetourSite(HMODULE host) {
  return {SiteAddress(host, SiteId::SceneRenderViewport), ViewportRenderDetourAddress(), &g_renderViewportOriginal,
          L"MH_CreateHook(cScene::RenderViewport)"};
}

}  // namespace

void* RenderViewportOriginal() { return ForwardOf(g_renderViewportOriginal); }

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
  if (!InstallFrameClock(host, message)) return false;
  SetCameraSetterAddresses(SiteAddress(host, SiteId::CameraSetPosition), SiteAddress(host, SiteId::CameraSetRotationMatrix));
  SetResetHook(ResetHook::Camera, &ResetViewportRenderState);

  const DetourSite sites[] = {TickDetourSite(host), RenderDetourSite(host)};
  OpenDetourGate(FrameDetourGate());
  if (InstallDetours(sites, 2, L"MH_EnableHook(camera interpolation)", message)) return true;
  // The tick hook may have been live for a moment.
  CloseDetourGate(FrameDetourGate());
  SetResetHook(ResetHook::Camera, nullptr);
  UninstallFrameClock();
  return false;
}

void UninstallCameraInterpolation() {
  HMODULE host = GetModuleHandleW(nullptr);
  if (host == nullptr) return;
  // A frame drawn across the removal puts its camera back with the setters it applied it with;
  // nothing below is reset while a tick or a frame is still inside.
  CloseDetourGate(FrameDetourGate());
  if (SiteRva(SiteId::UpdaterRunMessage) != 0) {
    // The render detour goes first, as it was created last.
    const DetourSite sites[] = {RenderDetourSite(host), TickDetourSite(host)};
    RemoveDetours(sites, 2);
  }
  SetCameraSetterAddresses(nullptr, nullptr);
  ResetInterpolationState();
  SetResetHook(ResetHook::Camera, nullptr);
  UninstallFrameClock();
}
