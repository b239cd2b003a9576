#pragma once
// The swap runtime: a detour in the host's SDL_GL_SwapWindow import slot that paces presents to
// TargetFPS and measures their cadence, with a reporter thread that logs it.
#include <windows.h>

#include <cstdint>
#include <string>

using SwapWindowFunction = void (*)(void* window);

// Redirects the host's SDL2.dll!SDL_GL_SwapWindow import slot. On false nothing is installed
// and message says why; on true message is empty.
bool InstallSwapRuntime(HMODULE host, bool telemetryOn, uint32_t reportIntervalSeconds, bool limiterOn,
                        uint32_t targetFps, std::wstring& message);
// Puts the slot back while it still holds the detour. Harmless when not installed.
void UninstallSwapRuntime();
// Render thread, just before the render-time clock sample: waits for the frame's deadline so the
// interpolated picture is computed for the moment it is presented. The next present then skips
// its own wait.
void PaceBeforeSample();

// What the slot points at while installed.
void SwapWindowDetour(void* window);
// The SDL_GL_SwapWindow the detour forwards to; null when not installed.
SwapWindowFunction SwapRuntimeOriginal();

// The lines of one report period, taken from the counters (which restart from zero).
struct SwapReport {
  bool hasCadence = false;
  std::wstring cadence;
  bool hasDelay = false;
  std::wstring delay;
};
SwapReport TakeSwapReport();

// Test seam: a point between the slot lookup and its replacement, and the reporter thread start.
struct SwapRuntimeTestHooks {
  void (*afterLookup)(uint64_t* slot) = nullptr;
  bool (*startReporter)() = nullptr;  // replaces CreateThread of the reporter when set
};
// nullptr restores normal behaviour. Tests only.
void SetSwapRuntimeTestHooksForTest(const SwapRuntimeTestHooks* hooks);
