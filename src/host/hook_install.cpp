#include "host/hook_install.h"

#include "core/text.h"
#include "host/minhook_api.h"

namespace {

const char* const kStatusNames[] = {
    "MH_UNKNOWN",
    "MH_OK",
    "MH_ERROR_ALREADY_INITIALIZED",
    "MH_ERROR_NOT_INITIALIZED",
    "MH_ERROR_ALREADY_CREATED",
    "MH_ERROR_NOT_CREATED",
    "MH_ERROR_ENABLED",
    "MH_ERROR_DISABLED",
    "MH_ERROR_NOT_EXECUTABLE",
    "MH_ERROR_UNSUPPORTED_FUNCTION",
    "MH_ERROR_MEMORY_ALLOC",
    "MH_ERROR_MEMORY_PROTECT",
    "MH_ERROR_MODULE_NOT_FOUND",
    "MH_ERROR_FUNCTION_NOT_FOUND",
};

}  // namespace

const char* MinHookStatusName(int status) {
  if (status < -1 || status > 12) return "(unknown)";
  return kStatusNames[status + 1];
}

std::wstring FormatHookFailure(std::wstring_view what, int status) {
  return std::wstring(what) + L" failed: " + WidenAscii(MinHookStatusName(status)) + L" (" + FormatSigned(status) +
         L").";
}

namespace {

void SetSlot(void** slot, void* value) { __atomic_store_n(slot, value, __ATOMIC_RELEASE); }

// The host function itself once the hook is gone; the trampoline while it may still be live.
void RemoveAndForwardToTarget(MinHookApi& mh, const DetourSite& site) {
  const MH_STATUS status = mh.RemoveHook(site.target);
  if (status == MH_OK || status == MH_ERROR_NOT_CREATED) SetSlot(site.trampolineSlot, site.target);
}

}  // namespace

bool InstallDetours(const DetourSite* sites, size_t count, const wchar_t* enableName, std::wstring& message) {
  MinHookApi& mh = MinHook();
  const MH_STATUS init = mh.Initialize();
  if (init != MH_OK && init != MH_ERROR_ALREADY_INITIALIZED) {
    message = FormatHookFailure(L"MH_Initialize", init);
    return false;
  }

  for (size_t created = 0; created < count; ++created) {
    const MH_STATUS status = mh.CreateHook(sites[created].target, sites[created].detour, sites[created].trampolineSlot);
    if (status != MH_OK) {
      for (size_t i = created; i-- > 0;) RemoveAndForwardToTarget(mh, sites[i]);
      SetSlot(sites[created].trampolineSlot, nullptr);
      message = FormatHookFailure(sites[created].createName, status);
      return false;
    }
  }

  for (size_t enabled = 0; enabled < count; ++enabled) {
    const MH_STATUS status = mh.EnableHook(sites[enabled].target);
    if (status != MH_OK) {
      for (size_t i = enabled; i-- > 0;) mh.DisableHook(sites[i].target);
      for (size_t i = count; i-- > 0;) RemoveAndForwardToTarget(mh, sites[i]);
      message = FormatHookFailure(enableName, status);
      return false;
    }
  }
  return true;
}

void RemoveDetours(const DetourSite* sites, size_t count) {
  MinHookApi& mh = MinHook();
  for (size_t i = 0; i < count; ++i) mh.DisableHook(sites[i].target);
  for (size_t i = 0; i < count; ++i) RemoveAndForwardToTarget(mh, sites[i]);
}

void OpenDetourGate(DetourGate& gate) { gate.open.store(true, std::memory_order_seq_cst); }

void CloseDetourGate(DetourGate& gate) {
  gate.open.store(false, std::memory_order_seq_cst);
  DrainDetourGate(gate);
}

void DrainDetourGate(DetourGate& gate) {
  // A detour stays inside for one host call at most (a viewport draw, a present).
  for (uint32_t spins = 0; gate.inside.load(std::memory_order_seq_cst) != 0; ++spins) {
    if (spins < 64) SwitchToThread();
    else Sleep(1);
  }
}
