#pragma once
// Installation of camera interpolation: the frame clock, the tick detour and the listener-viewport
// render detour.
#include <windows.h>

#include <string>

bool InstallCameraInterpolation(HMODULE host, std::wstring& message);
void UninstallCameraInterpolation();
