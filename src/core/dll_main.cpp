// The plug-in's entry point: start the bootstrap thread and return at once.
#include <windows.h>

#include "core/bootstrap.h"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  DisableThreadLibraryCalls(module);
  HANDLE thread = CreateThread(nullptr, 0, &BootstrapThreadProc, module, 0, nullptr);
  if (thread == nullptr) {
    OutputDebugStringW(L"[QuarrenVelt.Framolt] Could not create bootstrap thread; no hooks were installed.\n");
    return TRUE;
  }
  CloseHandle(thread);
  return TRUE;
}
