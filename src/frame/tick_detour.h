#pragma once
// The detour on the host updater's message handler: every completed fixed step is counted, published
// to the presentation clock, and handed to the subsystems that capture per tick, in a fixed order.
#include <windows.h>

#include <cstdint>

#include "host/hook_install.h"

// Per-tick capture, in the order RunTickHooks calls them. A subsystem sets its slot when it installs
// and clears it when it uninstalls; an empty slot is skipped.
enum class TickHook : uint32_t { EntityCapture = 0, MouseLook, Particles, GuiCursor, Count };
using TickHookFn = void (*)(uint64_t tick, uint64_t generation);
void SetTickHook(TickHook hook, TickHookFn fn);

// The tick detour's installation record (target, detour, trampoline slot, label).
DetourSite TickDetourSite(HMODULE host);
