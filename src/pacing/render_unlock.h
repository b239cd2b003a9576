#pragma once
// Lifts the engine's frame cap from inside its main loop.
#include <windows.h>

#include <string>

bool InstallRenderUnlock(HMODULE host, std::wstring& message);
void UninstallRenderUnlock();
// The engine object while cEngine::Run runs, else null.
void* CurrentEngine();
