#pragma once
// The mouse-look preview: at every listener frame the mouse motion the game has not read yet turns
// the drawn camera by what the game will make of it at its next step. Nothing is taken from the
// game: every count read at render time reaches the game at its next own read.
#include <windows.h>

#include <string>

#include "frame/presentation_clock.h"
#include "interp/camera_snapshot.h"
#include "interp/render_hooks.h"

// Replaces the host's SDL_GetRelativeMouseState import and detours its look-amount function.
// Nothing stays changed when it returns false.
bool InstallMouseLookPreview(HMODULE host, bool diagnostics, std::wstring& message);
// Puts the import slot back and removes the detour; harmless when not installed.
void UninstallMouseLookPreview();

bool IsMouseLookActive();
// The yaw and pitch lead for one listener frame, for the pair the camera history blends.
MouseLookDelta PreviewDelta(const ClockSample& sample, const CameraSnapshot& older, const CameraSnapshot& newer);
// Forgets the last tick's look and every axis's trust; what was learnt about the host stays.
void ResetMouseLookPreview();
