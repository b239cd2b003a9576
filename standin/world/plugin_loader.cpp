#include "plugin_loader.h"

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

namespace qv {
namespace {

std::vector<DWORD> ProcessThreads() {
  std::vector<DWORD> ids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  DWORD pid = GetCurrentProcessId();
  for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e))
    if (e.th32OwnerProcessID == pid) ids.push_back(e.th32ThreadID);
  CloseHandle(snap);
  return ids;
}

}  // namespace

// The plug-in's entry point starts its bootstrap thread, which cannot run before
// LoadLibraryW returns; so the thread that is new afterwards, and earliest created
// if the bootstrap already started others, is the bootstrap.
PluginLoad LoadPluginAndWait(const std::wstring& path, DWORD timeout_ms) {
  PluginLoad r;
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    r.problem = L"plug-in not found: " + path + L"; running without it";
    return r;
  }
  std::vector<DWORD> before = ProcessThreads();
  HMODULE module = LoadLibraryW(path.c_str());
  std::vector<DWORD> after = ProcessThreads();
  if (!module) {
    r.problem = L"LoadLibraryW failed for " + path + L" (error " + std::to_wstring(GetLastError()) +
                L"); running without it";
    return r;
  }
  r.loaded = true;

  HANDLE bootstrap = nullptr;
  ULONGLONG earliest = ~0ull;
  for (DWORD id : after) {
    if (std::find(before.begin(), before.end(), id) != before.end()) continue;
    HANDLE h = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!h) continue;
    FILETIME created{}, exited{}, kernel{}, user{};
    ULONGLONG when = 0;
    if (GetThreadTimes(h, &created, &exited, &kernel, &user))
      when = (ULONGLONG{created.dwHighDateTime} << 32) | created.dwLowDateTime;
    if (!bootstrap || when < earliest) {
      if (bootstrap) CloseHandle(bootstrap);
      bootstrap = h;
      earliest = when;
    } else {
      CloseHandle(h);
    }
  }
  if (!bootstrap) {
    r.problem = L"no bootstrap thread of the plug-in was found";
    return r;
  }
  if (WaitForSingleObject(bootstrap, timeout_ms) == WAIT_OBJECT_0 && GetExitCodeThread(bootstrap, &r.exit_code)) {
    r.finished = true;
  } else {
    r.problem = L"the plug-in's start-up did not finish within " + std::to_wstring(timeout_ms / 1000) + L" s";
  }
  CloseHandle(bootstrap);
  return r;
}

}  // namespace qv
