#include "pacing/render_unlock.h"

#include <atomic>
#include <cstdint>

#include "core/log.h"
#include "host/hook_install.h"
#include "host/host_layout.h"
#include "host/host_memory.h"
#include "host/host_validation.h"

namespace {

using EngineRunFn = void (*)(void* engine);

struct RenderUnlockState {
  EngineRunFn original = nullptr;
  std::atomic<void*> currentEngine{nullptr};
  std::atomic<bool> activeLogged{false};
  // One latch per line: an unreadable byte in one run must not hide a non-boolean one later.
  std::atomic<bool> unreadableLogged{false};
  std::atomic<bool> notBooleanLogged{false};
  std::atomic<bool> unwritableLogged{false};
};

RenderUnlockState g_unlock;

void EngineRunDetour(void* engine) {
  const EngineRunFn original = ForwardOf(g_unlock.original);
  g_unlock.currentEngine.store(engine, std::memory_order_release);
  uint8_t limit = 0;
  if (engine != nullptr) {
    const uint8_t unlocked = 0;
    if (!ReadHostValueAt(engine, host_layout::kEngineLimitFps, limit)) {
      if (LatchOnce(g_unlock.unreadableLogged))
        LogWrite(LogLevel::Error, L"Render unlock disabled at runtime: the byte at cEngine+0x88 could not be read.");
    } else if (limit != 0 && limit != 1) {
      if (LatchOnce(g_unlock.notBooleanLogged))
        LogWrite(LogLevel::Error, L"Render unlock disabled at runtime: the byte at cEngine+0x88 was not boolean.");
    } else if (!WriteHostValueAt(engine, host_layout::kEngineLimitFps, unlocked)) {
      // The engine keeps its own limit; saying "active" here would report a failure as success.
      if (LatchOnce(g_unlock.unwritableLogged))
        LogWrite(LogLevel::Error, L"Render unlock disabled at runtime: the byte at cEngine+0x88 could not be written.");
    } else if (LatchOnce(g_unlock.activeLogged)) {
      LogWrite(LogLevel::Info, L"Render unlock active: validated cEngine::mbLimitFPS and set it to false.");
    }
  }
  original(engine);
  g_unlock.currentEngine.store(nullptr, std::memory_order_release);
}

DetourSite EngineRunDetourSite(HMODULE host) {
  return {SiteAddress(host, SiteId::EngineRun), reinterpret_cast<void*>(&EngineRunDetour),
          reinterpret_cast<void**>(&g_unlock.original), L"MH_CreateHook(cEngine::Run)"};
}

}  // namespace

bool InstallRenderUnlock(HMODULE host, std::wstring& message) {
  if (host == nullptr) {
    message = L"Host module is null while installing render unlock.";
    return false;
  }
  if (!SiteMatches(host, SiteId::EngineRun)) {
    message = L"cEngine::Run entry bytes do not match the supported build.";
    return false;
  }
  const DetourSite site = EngineRunDetourSite(host);
  return InstallDetours(&site, 1, L"MH_EnableHook(cEngine::Run)", message);
}

void UninstallRenderUnlock() {
  HMODULE host = GetModuleHandleW(nullptr);
  if (host != nullptr && SiteRva(SiteId::EngineRun) != 0) {
    const DetourSite site = EngineRunDetourSite(host);
    RemoveDetours(&site, 1);
  }
  g_unlock.currentEngine.store(nullptr, std::memory_order_release);
}

void* CurrentEngine() { return g_unlock.currentEngine.load(std::memory_order_acquire); }
