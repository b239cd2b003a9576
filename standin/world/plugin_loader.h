// Loading QuarrenVelt.Framolt.dll the way the game does, and waiting for its start-up.
#pragma once

#include <windows.h>

#include <string>

namespace qv {

struct PluginLoad {
  bool loaded = false;
  bool finished = false;  // the bootstrap thread ended within the wait
  DWORD exit_code = 0;
  std::wstring problem;   // set when not loaded or not finished
};

PluginLoad LoadPluginAndWait(const std::wstring& path, DWORD timeout_ms);
// Returns as soon as the loader has, as the game does: the bootstrap thread goes to live_start.h,
// with the damage done before the load (which lasts until the start-up has ended).
struct SiteTampering;
PluginLoad LoadPluginLive(const std::wstring& path, SiteTampering* before_load);

// Called on every new thread of the process (thread-attach of the world DLL).
void NoteThreadStart();

}  // namespace qv
