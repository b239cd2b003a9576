#pragma once
// The GUI cursor preview: at every listener frame the GUI is fed the OS cursor once more, and what
// hangs on the mouse (the cursor, images drawn at the mouse, elements seen following it) is moved
// there, while the host's own record of mouse motion stays as the game left it.
#include <windows.h>

#include <string>

// Detours cImGui::SendMousePosition, and the cursor and image draws where they match. Nothing stays
// changed when it returns false; the optional detours never make it fail.
bool InstallGuiCursorPreview(HMODULE host, bool diagnostics, std::wstring& message);
// Removes every detour it installed; harmless when not installed.
void UninstallGuiCursorPreview();
