// Inline hooks with trampolines, behind MinHook's C interface: a build may link the
// real MinHook instead without any caller changing.
#pragma once

#if !defined(_M_X64) && !defined(__x86_64__)
#error "This hook engine supports x86_64 only."
#endif

#include <windows.h>

typedef enum MH_STATUS {
  MH_UNKNOWN = -1,
  MH_OK = 0,
  MH_ERROR_ALREADY_INITIALIZED,
  MH_ERROR_NOT_INITIALIZED,
  MH_ERROR_ALREADY_CREATED,
  MH_ERROR_NOT_CREATED,
  MH_ERROR_ENABLED,
  MH_ERROR_DISABLED,
  MH_ERROR_NOT_EXECUTABLE,
  MH_ERROR_UNSUPPORTED_FUNCTION,
  MH_ERROR_MEMORY_ALLOC,
  MH_ERROR_MEMORY_PROTECT,
  MH_ERROR_MODULE_NOT_FOUND,
  MH_ERROR_FUNCTION_NOT_FOUND
} MH_STATUS;

// Passed to MH_EnableHook / MH_DisableHook to act on every created hook at once.
#define MH_ALL_HOOKS NULL

#ifdef __cplusplus
extern "C" {
#endif

MH_STATUS WINAPI MH_Initialize(VOID);
MH_STATUS WINAPI MH_Uninitialize(VOID);

// Builds the trampoline and stores its address in *ppOriginal (when non-null); the
// target is not patched until MH_EnableHook.
MH_STATUS WINAPI MH_CreateHook(LPVOID pTarget, LPVOID pDetour, LPVOID *ppOriginal);
MH_STATUS WINAPI MH_CreateHookApi(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID *ppOriginal);
MH_STATUS WINAPI MH_CreateHookApiEx(LPCWSTR pszModule, LPCSTR pszProcName, LPVOID pDetour, LPVOID *ppOriginal,
                                    LPVOID *ppTarget);
// Disables the hook when needed and forgets it. Removal while other threads run the target:
// - Every other thread is suspended while the target's bytes are put back; a thread that
//   stood in the relay or in the trampoline's copy of those bytes is moved on to the
//   detour or to the matching place of the target.
// - The trampoline is never freed. A detour already running (or about to read its
//   trampoline pointer) when its hook is removed may still call the trampoline it got
//   from MH_CreateHook, at any later time: it runs the target's first instructions and
//   jumps back into the target, so the host function runs exactly once, as shipped.
// - The retired slot (128 bytes) is taken back only when a hook is created again on the
//   same target and its new trampoline comes out byte for byte the same, so a late caller
//   of the old one can never tell. Memory therefore grows only with the number of distinct
//   targets ever hooked, not with how often hooks come and go.
// An installed MinHook linked instead (FRAMOLT_USE_SYSTEM_MINHOOK) makes no such promise.
MH_STATUS WINAPI MH_RemoveHook(LPVOID pTarget);
MH_STATUS WINAPI MH_EnableHook(LPVOID pTarget);
MH_STATUS WINAPI MH_DisableHook(LPVOID pTarget);

const char *WINAPI MH_StatusToString(MH_STATUS status);

#ifdef __cplusplus
}
#endif
