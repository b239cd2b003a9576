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

void* RenderViewportOriginal() { return g_renderViewportOriginal; }

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
  if (InstallDetours(sites, 2, L"MH_EnableHook(camera interpolation)", message)) return true;
  SetResetHook(ResetHook::Camera, nullptr);
  UninstallFrameClock();
  return false;
}

void UninstallCameraInterpolation() {
  HMODULE host = GetModuleHandleW(nullptr);
  if (host == nullptr) return;
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
