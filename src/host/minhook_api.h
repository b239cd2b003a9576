#pragma once
// Every MinHook call of the plug-in goes through this table, so a test can make any call
// fail with a chosen status and then put the real engine back.
#include <MinHook.h>

struct MinHookApi {
  MH_STATUS(WINAPI* Initialize)();
  MH_STATUS(WINAPI* CreateHook)(LPVOID target, LPVOID detour, LPVOID* original);
  MH_STATUS(WINAPI* EnableHook)(LPVOID target);
  MH_STATUS(WINAPI* DisableHook)(LPVOID target);
  MH_STATUS(WINAPI* RemoveHook)(LPVOID target);
};

// The table in use; starts out as the real engine.
MinHookApi& MinHook();
// Restores the real engine's functions.
void RestoreMinHookApi();
