#pragma once
// The process-wide presentation clock every render-time interpolation runs on, the completed-step
// count, wall time and the host scheduler's phase, and the reset that clears every history.
// Touched only on the host's main-loop thread.
#include <windows.h>

#include <cstdint>
#include <string>

#include "frame/presentation_clock.h"
#include "frame/render_phase_refine.h"

// Reads the performance frequency and the host's scheduler clock function. False with a message
// when either is unavailable.
bool InstallFrameClock(HMODULE host, std::wstring& message);
void UninstallFrameClock();

PresentationClock& FrameClock();
uint64_t CompletedTickCounter();
// Counts one completed step and returns its number.
uint64_t CountCompletedTick();

// Seconds from the performance counter; false when the counter or its frequency fails.
bool NowSeconds(double* seconds);

struct RenderPhaseReading {
  bool ok = false;
  double alpha = 0.0;
  double rawAlpha = 0.0;
};
// The render phase from the host scheduler of the running engine, refined below the host clock's
// millisecond while its relation to the performance counter holds.
RenderPhaseReading RenderPhase();
// Performance-counter seconds from which a render sample could find the host's next step due;
// false while the host clock's relation to the counter is not trusted.
bool NextStepDueSeconds(double* seconds);
// Frames whose phase was refined, and frames that kept the host's, by reason.
const PhaseRefineCounters& RenderPhaseRefineCounters();

// Who joins the reset of every interpolation history. Each subsystem that keeps histories sets its
// slot when it installs and clears it when it uninstalls; the order is the enum's.
enum class ResetHook : uint32_t { Camera = 0, Entities, MouseLook, Particles, GuiCursor, Count };
using ResetHookFn = void (*)();
void SetResetHook(ResetHook hook, ResetHookFn fn);

// Clears the camera history, every other interpolation history and the cached viewport identity.
void ResetInterpolationState();

struct DetourGate;
// Passed by the tick and render detours before they touch the clock, a history or host state; the
// camera's uninstaller closes it and waits for them before anything is reset.
DetourGate& FrameDetourGate();
