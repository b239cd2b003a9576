#include "host/minhook_api.h"

namespace {

constexpr MinHookApi kRealMinHook = {&MH_Initialize, &MH_CreateHook, &MH_EnableHook, &MH_DisableHook, &MH_RemoveHook};
MinHookApi g_minHook = kRealMinHook;

}  // namespace

MinHookApi& MinHook() { return g_minHook; }
void RestoreMinHookApi() { g_minHook = kRealMinHook; }
