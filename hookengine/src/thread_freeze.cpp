#include "thread_freeze.h"

#include <tlhelp32.h>

#include <cstddef>

namespace hookengine {
namespace {

constexpr DWORD kThreadAccess =
    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_INFORMATION;

bool ListOtherThreads(std::vector<DWORD>& ids) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  const DWORD self = GetCurrentThreadId();
  const DWORD process = GetCurrentProcessId();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  bool ok = true;
  try {
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.dwSize >= offsetof(THREADENTRY32, th32OwnerProcessID) + sizeof entry.th32OwnerProcessID &&
          entry.th32OwnerProcessID == process && entry.th32ThreadID != self)
        ids.push_back(entry.th32ThreadID);
      entry.dwSize = sizeof entry;
    }
  } catch (...) {
    ok = false;
  }
  CloseHandle(snapshot);
  return ok;
}

}  // namespace

bool FreezeOtherThreads(FrozenThreads& frozen) {
  std::vector<DWORD> ids;
  if (!ListOtherThreads(ids)) return false;
  // Everything is allocated before the first suspension: a stopped thread may hold the
  // heap lock.
  try {
    frozen.threads.clear();
    frozen.threads.reserve(ids.size());
  } catch (...) {
    return false;
  }
  for (DWORD id : ids) {
    const HANDLE h = OpenThread(kThreadAccess, FALSE, id);
    if (h == nullptr) continue;  // already gone
    if (SuspendThread(h) == static_cast<DWORD>(-1)) {
      CloseHandle(h);
      continue;
    }
    frozen.threads.push_back(FrozenThread{h, 0});
  }
  // Suspension is asynchronous; reading the context waits until the thread has stopped.
  for (FrozenThread& t : frozen.threads) {
    CONTEXT ctx = {};
    ctx.ContextFlags = CONTEXT_CONTROL;
    if (GetThreadContext(t.handle, &ctx)) t.ip = static_cast<uintptr_t>(ctx.Rip);
  }
  return true;
}

bool SetFrozenThreadIp(FrozenThread& thread, uintptr_t ip) {
  CONTEXT ctx = {};
  ctx.ContextFlags = CONTEXT_CONTROL;
  if (!GetThreadContext(thread.handle, &ctx)) return false;
  ctx.Rip = ip;
  if (!SetThreadContext(thread.handle, &ctx)) return false;
  thread.ip = ip;
  return true;
}

void ThawThreads(FrozenThreads& frozen) {
  for (FrozenThread& t : frozen.threads) {
    ResumeThread(t.handle);
    CloseHandle(t.handle);
  }
  frozen.threads.clear();
}

}  // namespace hookengine
