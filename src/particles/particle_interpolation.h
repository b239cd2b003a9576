#pragma once
// Particles drawn between fixed steps: a detour on the emitter's motion update marks emitters the
// host simulated lately, and a detour on its graphics update draws their particles blended at the
// presentation clock's alpha, then puts the simulated positions back. Blending is on only between
// the listener render's particle apply and restore.
#include <windows.h>

#include <string>

// False with a message, leaving nothing installed, when the sites don't match or a hook fails.
bool InstallParticleInterpolation(HMODULE host, bool diagnostics, std::wstring& message);
// Harmless when nothing is installed.
void UninstallParticleInterpolation();
