/* Stands where QuarrenVelt.Framolt.dll goes, to see what a plug-in sees at start-up:
   it writes probe.txt beside itself and its start-up thread ends with code 42. */
#include <windows.h>
#include <stdio.h>

#include "site_table.h"

static HMODULE g_self;

static void ReportSite(FILE* f, const char* build, int id, const uint8_t* address) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info) {
    fprintf(f, "site %s %d query-failed\n", build, id);
    return;
  }
  int readable = info.State == MEM_COMMIT && !(info.Protect & (PAGE_NOACCESS | PAGE_GUARD));
  fprintf(f, "site %s %d protect=0x%lX byte=%s", build, id, info.Protect, readable ? "" : "none");
  if (readable) fprintf(f, "0x%02X", address[0]);
  fprintf(f, "\n");
}

static DWORD WINAPI ProbeThread(LPVOID parameter) {
  (void)parameter;
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(g_self, path, MAX_PATH);
  while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
  wcscpy(path + n, L"probe.txt");
  FILE* f = _wfopen(path, L"w");
  if (!f) return 1;
  const uint8_t* base = (const uint8_t*)GetModuleHandleW(NULL);
  uint32_t lfanew = *(const uint32_t*)(base + 0x3C);
  fprintf(f, "lfanew=0x%X\n", lfanew);
  if (lfanew >= 0x40 && lfanew < 0x400) {
    const uint8_t* nt = base + lfanew;
    fprintf(f, "machine=0x%X\n", *(const uint16_t*)(nt + 4));
    fprintf(f, "timestamp=0x%X\n", *(const uint32_t*)(nt + 8));
    fprintf(f, "magic=0x%X\n", *(const uint16_t*)(nt + 24));
    fprintf(f, "image-size=0x%X\n", *(const uint32_t*)(nt + 24 + 56));
  }
  for (int i = 0; i < 25; ++i) {
    ReportSite(f, "GOG", i, base + kQvExpectedSites[i].gog_rva);
    ReportSite(f, "Steam", i, base + kQvExpectedSites[i].steam_rva);
  }
  fclose(f);
  return 42;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
    DisableThreadLibraryCalls(instance);
    HANDLE h = CreateThread(NULL, 0, ProbeThread, NULL, 0, NULL);
    if (h) CloseHandle(h);
  }
  return TRUE;
}
