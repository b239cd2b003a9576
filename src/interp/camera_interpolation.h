#pragma once
// The fixed-step presentation clock's tick side and the installation of the camera detours.
#include <windows.h>

#include <cstdint>
#include <string>

#include "interp/presentation_clock.h"

bool InstallCameraInterpolation(HMODULE host, std::wstring& message);
void UninstallCameraInterpolation();
// Clears the camera history, every other interpolation history and the cached viewport identity.
void ResetInterpolationState();

// The region cache behind the guarded host reads and writes is emptied a few times a second, from
// the tick and the render side alike (rendering goes on while a paused game stops ticking). A
// memory query costs tens of microseconds under some systems, far more than a frame's work.
void RefreshRegionCacheIfDue(double now);

// The process-wide clock and completed-step count, touched only on the host's main-loop thread.
PresentationClock& CameraClock();
uint64_t CompletedTickCounter();
// Seconds from the performance counter; false when the counter or its frequency fails.
bool NowSeconds(double* seconds);
struct RenderPhaseReading {
  bool ok = false;
  double alpha = 0.0;
  double rawAlpha = 0.0;
};
// The render phase from the host scheduler of the running engine.
RenderPhaseReading RenderPhase();
