#pragma once
// The periodic camera cadence line: how the render detour has fared since load.
#include <string>

#include "frame/render_phase_refine.h"
#include "interp/viewport_render.h"

// Called once per sampled listener frame; logs at most every 5 s of wall time.
void CameraCadenceCheck(double now, const CameraRenderCounters& counters);
std::wstring FormatCameraCadence(const CameraRenderCounters& counters);
// Its DEBUG companion: how many frames had a refined phase, and why the others kept the host's.
std::wstring FormatRenderPhaseRefine(const PhaseRefineCounters& counters);
