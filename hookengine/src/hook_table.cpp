// The hook table and MinHook's C interface over it. One lock serialises every call;
// hooks are patched only while all other threads are stopped. A removed hook's slot is
// retired, never freed: a detour that fetched its trampoline before the removal may still
// call it (see MinHook.h).
#include <windows.h>

#include <cstring>
#include <vector>

#include "MinHook.h"
#include "near_alloc.h"
#include "thread_freeze.h"
#include "trampoline.h"

namespace hookengine {
namespace {

constexpr size_t kTrampolineOffset = 16;  // the relay's 14 bytes come first in the slot
static_assert(kTrampolineOffset + kMaxTrampolineLength <= kNearSlotSize, "slot too small");
constexpr size_t kReadAhead = 32;  // enough for 5 bytes' worth of instructions of up to 15 bytes

struct Hook {
  uint8_t* target;
  void* detour;
  uint8_t* slot;  // relay to the detour, then the trampoline
  Trampoline trampoline;
  uint8_t original[kPatchLength];
  bool enabled;

  uint8_t* TrampolineCode() const { return slot + kTrampolineOffset; }
};

// The slot of a removed hook. Its trampoline stays callable: it runs the target's first
// instructions and jumps back into the target, whose own bytes are in place again.
struct RetiredSlot {
  uint8_t* target;
  uint8_t* slot;
  uint8_t length;  // trampoline bytes
};

struct Engine {
  SRWLOCK lock = SRWLOCK_INIT;
  bool initialized = false;
  std::vector<Hook> hooks;
  std::vector<RetiredSlot> retired;
};

Engine g_engine;

struct Locked {
  Locked() { AcquireSRWLockExclusive(&g_engine.lock); }
  ~Locked() { ReleaseSRWLockExclusive(&g_engine.lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

bool IsExecutableAddress(const void* p) {
  MEMORY_BASIC_INFORMATION mbi;
  if (p == nullptr || VirtualQuery(p, &mbi, sizeof mbi) != sizeof mbi) return false;
  return mbi.State == MEM_COMMIT && (mbi.Protect & kExecutable) != 0 && (mbi.Protect & PAGE_GUARD) == 0;
}

bool IsCommitted(const void* p) {
  MEMORY_BASIC_INFORMATION mbi;
  return VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi && mbi.State == MEM_COMMIT;
}

// How many bytes from p (up to max) can be read without faulting.
size_t ReadableExtent(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max) {
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(p + n, &mbi, sizeof mbi) != sizeof mbi) break;
    if (mbi.State != MEM_COMMIT || (mbi.Protect & kReadable) == 0 || (mbi.Protect & PAGE_GUARD) != 0) break;
    const uint8_t* end = static_cast<const uint8_t*>(mbi.BaseAddress) + mbi.RegionSize;
    n = static_cast<size_t>(end - p);
  }
  return n < max ? n : max;
}

Hook* FindHook(const void* target) {
  for (Hook& h : g_engine.hooks)
    if (h.target == target) return &h;
  return nullptr;
}

void WriteRelay(uint8_t* relay, void* detour) {
  // jmp [rip+0]; the detour may be anywhere in the address space.
  static const uint8_t kJmp[] = {0xFF, 0x25, 0, 0, 0, 0};
  std::memcpy(relay, kJmp, sizeof kJmp);
  const uint64_t address = reinterpret_cast<uintptr_t>(detour);
  std::memcpy(relay + sizeof kJmp, &address, sizeof address);
}

MH_STATUS PatchTarget(Hook& h, bool enable) {
  DWORD oldProtect;
  if (!VirtualProtect(h.target, kPatchLength, PAGE_EXECUTE_READWRITE, &oldProtect)) return MH_ERROR_MEMORY_PROTECT;
  if (enable) {
    uint8_t jump[kPatchLength] = {0xE9};
    const int32_t rel = static_cast<int32_t>(reinterpret_cast<intptr_t>(h.slot) -
                                             reinterpret_cast<intptr_t>(h.target + kPatchLength));
    std::memcpy(jump + 1, &rel, sizeof rel);
    std::memcpy(h.target, jump, kPatchLength);
  } else {
    std::memcpy(h.target, h.original, kPatchLength);
  }
  DWORD ignored;
  VirtualProtect(h.target, kPatchLength, oldProtect, &ignored);
  FlushInstructionCache(GetCurrentProcess(), h.target, kPatchLength);
  return MH_OK;
}

// A thread stopped inside the bytes just replaced by the jump continues at the same
// instruction in the trampoline.
uintptr_t IpAfterEnable(const Hook& h, uintptr_t ip) {
  const uintptr_t target = reinterpret_cast<uintptr_t>(h.target);
  if (ip < target || ip >= target + kPatchLength) return ip;
  for (uint8_t i = 0; i < h.trampoline.pointCount; ++i)
    if (h.trampoline.points[i].original == ip)
      return reinterpret_cast<uintptr_t>(h.TrampolineCode()) + h.trampoline.points[i].trampolineOffset;
  return ip;
}

// A thread stopped in the trampoline continues at the matching place of the restored
// target (or at the branch destination it was about to jump to).
uintptr_t IpAfterDisable(const Hook& h, uintptr_t ip) {
  const uintptr_t tramp = reinterpret_cast<uintptr_t>(h.TrampolineCode());
  if (ip < tramp || ip >= tramp + h.trampoline.length) return ip;
  for (uint8_t i = 0; i < h.trampoline.pointCount; ++i)
    if (tramp + h.trampoline.points[i].trampolineOffset == ip) return h.trampoline.points[i].original;
  return ip;
}

// Before the slot is freed: nothing may stay in it. The relay's only instruction jumps
// to the detour, so a thread there goes straight to it.
uintptr_t IpAfterRemove(const Hook& h, uintptr_t ip) {
  if (ip == reinterpret_cast<uintptr_t>(h.slot)) return reinterpret_cast<uintptr_t>(h.detour);
  return IpAfterDisable(h, ip);
}

// Room is reserved beforehand where threads are stopped.
void RetireSlot(const Hook& h) {
  try {
    g_engine.retired.push_back({h.target, h.slot, h.trampoline.length});
  } catch (...) {
    // Unrecorded, the slot is simply never reused.
  }
}

// A retired slot of the same target whose trampoline would come out byte for byte as the
// one just built: taking it back changes nothing a late caller of the old one could see.
uint8_t* TakeRetiredSlot(const uint8_t* target, const uint8_t* code, size_t readable) {
  for (size_t i = 0; i < g_engine.retired.size(); ++i) {
    const RetiredSlot r = g_engine.retired[i];
    if (r.target != target) continue;
    uint8_t rebuilt[kMaxTrampolineLength];
    Trampoline t;
    const uintptr_t at = reinterpret_cast<uintptr_t>(r.slot + kTrampolineOffset);
    if (!BuildTrampoline(reinterpret_cast<uintptr_t>(target), code, readable, at, rebuilt, t) || t.length != r.length ||
        std::memcmp(rebuilt, r.slot + kTrampolineOffset, t.length) != 0)
      continue;
    g_engine.retired.erase(g_engine.retired.begin() + static_cast<ptrdiff_t>(i));
    return r.slot;
  }
  return nullptr;
}

// Switches every listed hook that is not yet in the wanted state; stops at the first
// failure (the hooks switched before it stay switched).
MH_STATUS SetHooksEnabled(Hook* only, bool enable) {
  FrozenThreads frozen;
  if (!FreezeOtherThreads(frozen)) return MH_ERROR_MEMORY_ALLOC;
  MH_STATUS status = MH_OK;
  for (Hook& h : g_engine.hooks) {
    if ((only != nullptr && &h != only) || h.enabled == enable) continue;
    status = PatchTarget(h, enable);
    if (status != MH_OK) break;
    h.enabled = enable;
    MoveFrozenThreads(frozen, [&](uintptr_t ip) { return enable ? IpAfterEnable(h, ip) : IpAfterDisable(h, ip); });
  }
  ThawThreads(frozen);
  return status;
}

// Disables (when needed) and frees one hook, or all of them when only is null.
MH_STATUS RemoveHooks(Hook* only) {
  // Retiring must not allocate while threads are stopped: one may hold the heap lock.
  try {
    g_engine.retired.reserve(g_engine.retired.size() + (only != nullptr ? 1 : g_engine.hooks.size()));
  } catch (...) {
    return MH_ERROR_MEMORY_ALLOC;
  }
  FrozenThreads frozen;
  if (!FreezeOtherThreads(frozen)) return MH_ERROR_MEMORY_ALLOC;
  MH_STATUS status = MH_OK;
  for (size_t i = g_engine.hooks.size(); i-- > 0;) {
    Hook& h = g_engine.hooks[i];
    if (only != nullptr && &h != only) continue;
    if (h.enabled) {
      const MH_STATUS s = PatchTarget(h, false);
      // The jump stays, so must the slot it leads to; unless the target's memory is gone
      // and with it anything that could reach the slot.
      if (s != MH_OK && IsCommitted(h.target)) {
        status = s;
        continue;
      }
      h.enabled = false;
    }
    MoveFrozenThreads(frozen, [&](uintptr_t ip) { return IpAfterRemove(h, ip); });
    RetireSlot(h);
    g_engine.hooks.erase(g_engine.hooks.begin() + static_cast<ptrdiff_t>(i));
    if (only != nullptr) break;
  }
  ThawThreads(frozen);
  return status;
}

MH_STATUS CreateHook(void* target, void* detour, void** original) {
  if (!g_engine.initialized) return MH_ERROR_NOT_INITIALIZED;
  if (!IsExecutableAddress(target) || !IsExecutableAddress(detour)) return MH_ERROR_NOT_EXECUTABLE;
  if (FindHook(target) != nullptr) return MH_ERROR_ALREADY_CREATED;

  uint8_t* t = static_cast<uint8_t*>(target);
  uint8_t code[kReadAhead];
  const size_t readable = ReadableExtent(t, kReadAhead);
  std::memcpy(code, t, readable);

  uint8_t* slot = TakeRetiredSlot(t, code, readable);
  const bool reused = slot != nullptr;
  if (!reused) slot = static_cast<uint8_t*>(AllocateNearSlot(target));
  if (slot == nullptr) return MH_ERROR_MEMORY_ALLOC;

  Hook h = {};
  h.target = t;
  h.detour = detour;
  h.slot = slot;
  if (!BuildTrampoline(reinterpret_cast<uintptr_t>(t), code, readable, reinterpret_cast<uintptr_t>(h.TrampolineCode()),
                       h.TrampolineCode(), h.trampoline)) {
    FreeNearSlot(slot);  // never a reused one: its trampoline was just rebuilt successfully
    return MH_ERROR_UNSUPPORTED_FUNCTION;
  }
  WriteRelay(slot, detour);
  FlushInstructionCache(GetCurrentProcess(), slot, kNearSlotSize);
  std::memcpy(h.original, code, kPatchLength);
  try {
    g_engine.hooks.push_back(h);
  } catch (...) {
    if (reused) RetireSlot(h);
    else FreeNearSlot(slot);
    return MH_ERROR_MEMORY_ALLOC;
  }
  if (original != nullptr) *original = h.TrampolineCode();
  return MH_OK;
}

MH_STATUS SwitchHook(void* target, bool enable) {
  if (!g_engine.initialized) return MH_ERROR_NOT_INITIALIZED;
  if (target == MH_ALL_HOOKS) return SetHooksEnabled(nullptr, enable);
  Hook* h = FindHook(target);
  if (h == nullptr) return MH_ERROR_NOT_CREATED;
  if (h->enabled == enable) return enable ? MH_ERROR_ENABLED : MH_ERROR_DISABLED;
  return SetHooksEnabled(h, enable);
}

}  // namespace
}  // namespace hookengine

using namespace hookengine;

extern "C" {

MH_STATUS WINAPI MH_Initialize(VOID) {
  Locked lock;
  if (g_engine.initialized) return MH_ERROR_ALREADY_INITIALIZED;
  g_engine.initialized = true;
  return MH_OK;
}

MH_STATUS WINAPI MH_Uninitialize(VOID) {
  Locked lock;
  if (!g_engine.initialized) return MH_ERROR_NOT_INITIALIZED;
  const MH_STATUS status = RemoveHooks(nullptr);
  if (status != MH_OK) return status;
  g_engine.initialized = false;
  return MH_OK;
}

MH_STATUS WINAPI MH_CreateHook(LPVOID pTarget, LPVOID pDetour, LPVOID* ppOriginal) {
  Locked lock;
  return CreateHook(pTarget, pDetour, ppOriginal);
}

MH_STATUS WINAPI MH_CreateHookApiEx(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID* ppOriginal,
                                    LPVOID* ppTarget) {
  const HMODULE module = GetModuleHandleW(pszModule);
  if (module == nullptr) return MH_ERROR_MODULE_NOT_FOUND;
  void* target = reinterpret_cast<void*>(GetProcAddress(module, pszProcName));
  if (target == nullptr) return MH_ERROR_FUNCTION_NOT_FOUND;
  if (ppTarget != nullptr) *ppTarget = target;
  return MH_CreateHook(target, pDetour, ppOriginal);
}

MH_STATUS WINAPI MH_CreateHookApi(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID* ppOriginal) {
  return MH_CreateHookApiEx(pszModule, pszProcName, pDetour, ppOriginal, nullptr);
}

MH_STATUS WINAPI MH_RemoveHook(LPVOID pTarget) {
  Locked lock;
  if (!g_engine.initialized) return MH_ERROR_NOT_INITIALIZED;
  Hook* h = FindHook(pTarget);
  if (h == nullptr) return MH_ERROR_NOT_CREATED;
  return RemoveHooks(h);
}

MH_STATUS WINAPI MH_EnableHook(LPVOID pTarget) {
  Locked lock;
  return SwitchHook(pTarget, true);
}

MH_STATUS WINAPI MH_DisableHook(LPVOID pTarget) {
  Locked lock;
  return SwitchHook(pTarget, false);
}

const char* WINAPI MH_StatusToString(MH_STATUS status) {
  switch (status) {
    case MH_UNKNOWN: return "MH_UNKNOWN";
    case MH_OK: return "MH_OK";
    case MH_ERROR_ALREADY_INITIALIZED: return "MH_ERROR_ALREADY_INITIALIZED";
    case MH_ERROR_NOT_INITIALIZED: return "MH_ERROR_NOT_INITIALIZED";
    case MH_ERROR_ALREADY_CREATED: return "MH_ERROR_ALREADY_CREATED";
    case MH_ERROR_NOT_CREATED: return "MH_ERROR_NOT_CREATED";
    case MH_ERROR_ENABLED: return "MH_ERROR_ENABLED";
    case MH_ERROR_DISABLED: return "MH_ERROR_DISABLED";
    case MH_ERROR_NOT_EXECUTABLE: return "MH_ERROR_NOT_EXECUTABLE";
    case MH_ERROR_UNSUPPORTED_FUNCTION: return "MH_ERROR_UNSUPPORTED_FUNCTION";
    case MH_ERROR_MEMORY_ALLOC: return "MH_ERROR_MEMORY_ALLOC";
    case MH_ERROR_MEMORY_PROTECT: return "MH_ERROR_MEMORY_PROTECT";
    case MH_ERROR_MODULE_NOT_FOUND: return "MH_ERROR_MODULE_NOT_FOUND";
    case MH_ERROR_FUNCTION_NOT_FOUND: return "MH_ERROR_FUNCTION_NOT_FOUND";
  }
  return "(unknown)";
}

}  // extern "C"
