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

// Called on every new thread of the process (thread-attach of the world DLL).
void NoteThreadStart();

}  // namespace qv
