#include "plugin_loader.h"

#include <atomic>

#include "live_start.h"

namespace qv {
namespace {

// The first thread that starts while the plug-in is being loaded: its entry point
// starts the bootstrap thread, and that is the first thread it starts.
std::atomic<bool> g_watching{false};
std::atomic<HANDLE> g_first_thread{nullptr};
constexpr ULONGLONG kThreadStartWaitMs = 5000;

}  // namespace

void NoteThreadStart() {
  if (!g_watching.load() || g_first_thread.load()) return;
  HANDLE h = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentThreadId());
  HANDLE expected = nullptr;
  if (h && !g_first_thread.compare_exchange_strong(expected, h)) {
    CloseHandle(h);
    return;
  }
  if (h) HoldBootstrapUntilDamage();
}

// The bootstrap thread is caught as it starts: this DLL's thread-attach
// notification runs on the new thread before its start routine, so even a
// bootstrap that ends at once is seen. That notification waits for the loader
// lock, which LoadLibraryW holds, so the watch goes on a while after it returns.
namespace {

// Loads the plug-in and catches its bootstrap thread; null when there is none (r says why).
HANDLE LoadPluginAndCatch(const std::wstring& path, PluginLoad& r) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    r.problem = L"plug-in not found: " + path + L"; running without it";
    return nullptr;
  }
  g_watching.store(true);
  HMODULE module = LoadLibraryW(path.c_str());
  DWORD load_error = GetLastError();
  for (ULONGLONG start = GetTickCount64(); module && !g_first_thread.load() && GetTickCount64() - start < kThreadStartWaitMs;)
    Sleep(1);
  g_watching.store(false);
  HANDLE bootstrap = g_first_thread.exchange(nullptr);
  if (!module) {
    if (bootstrap) CloseHandle(bootstrap);
    r.problem = L"LoadLibraryW failed for " + path + L" (error " + std::to_wstring(load_error) +
                L"); running without it";
    return nullptr;
  }
  r.loaded = true;
  if (!bootstrap) r.problem = L"the plug-in started no bootstrap thread";
  return bootstrap;
}

}  // namespace

PluginLoad LoadPluginLive(const std::wstring& path, SiteTampering* before_load) {
  PluginLoad r;
  HANDLE bootstrap = LoadPluginAndCatch(path, r);
  if (bootstrap) TrackBootstrap(bootstrap, before_load);
  return r;
}

PluginLoad LoadPluginAndWait(const std::wstring& path, DWORD timeout_ms) {
  PluginLoad r;
  HANDLE bootstrap = LoadPluginAndCatch(path, r);
  if (!bootstrap) return r;
  if (WaitForSingleObject(bootstrap, timeout_ms) == WAIT_OBJECT_0 && GetExitCodeThread(bootstrap, &r.exit_code)) {
    r.finished = true;
  } else {
    r.problem = L"the plug-in's start-up did not finish within " + std::to_wstring(timeout_ms / 1000) + L" s";
  }
  CloseHandle(bootstrap);
  return r;
}

}  // namespace qv

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_THREAD_ATTACH) qv::NoteThreadStart();
  return TRUE;
}
