#pragma once
// The one way host functions are detoured: verify first, change second, undo all on failure.
#include <windows.h>

#include <string>
#include <string_view>

// what + " failed: " + status name + " (" + code + ")."
std::wstring FormatHookFailure(std::wstring_view what, int status);
// MinHook's name for a status code, "(unknown)" for codes outside -1..12.
const char* MinHookStatusName(int status);

struct DetourSite {
  void* target;                 // host module base + site RVA
  void* detour;
  void** trampolineSlot;        // filled by MH_CreateHook, cleared on undo
  const wchar_t* createName;    // e.g. L"MH_CreateHook(cEngine::Run)"
};

// MH_Initialize (already-initialised is fine), MH_CreateHook for every site in order, then
// MH_EnableHook for each. Any failure removes what this call created, clears the slots, fills
// message with FormatHookFailure and returns false. enableName names the enable step.
bool InstallDetours(const DetourSite* sites, size_t count, const wchar_t* enableName, std::wstring& message);
// Disables and removes each target (results ignored) and clears the slots.
void RemoveDetours(const DetourSite* sites, size_t count);
