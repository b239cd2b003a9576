// The game as it really starts: its main loop runs while the plug-in's bootstrap thread installs,
// and host code may change under the plug-in at a chosen frame (another tool hooking a function,
// a page made unreadable). Once the bootstrap has ended, what it rolled back is checked against the
// shipped bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "options.h"

namespace qv {

// Damage a timed --break-site or --protect-site applies after options.live_damage_frame frames.
// The plug-in's bootstrap thread is held at its start until then, so it always meets the damage.
bool PrepareLiveStart(std::wstring* error);
// Called on the bootstrap thread as it starts (thread attach), before its start routine.
void HoldBootstrapUntilDamage();
// The bootstrap thread, caught at load (the loader keeps no other handle), and the damage done
// before the load, which now lasts until the bootstrap has ended.
struct SiteTampering;
void TrackBootstrap(HANDLE bootstrap, SiteTampering* before_load);
// Once per presented frame: applies due damage, notices the end of the bootstrap, samples memory
// once warmed up (--memory, in every mode).
void LiveFrame(uint64_t frames);
// End of the main loop: waits for the bootstrap (up to timeout_ms) and settles as LiveFrame would.
inline constexpr DWORD kLiveStartWaitMs = 20000;
void FinishLiveStart(DWORD timeout_ms);

struct LiveStartResult {
  bool finished = false;
  DWORD exit_code = 0;
  uint64_t frames_before_exit = 0;  // frames presented while the bootstrap ran
  int shipped = -1;                 // after a failed bootstrap: 1 when every site and the present slot are as shipped
  std::wstring changed;             // what was not
  std::wstring problem;
  int64_t private_kib_warm = -1;    // the process's private memory once a tenth of the steps are done (--memory)
};
const LiveStartResult& LiveStart();

// The process's private memory in KiB, -1 when unknown.
int64_t PrivateKib();

// Every host site's entry bytes and the SDL_GL_SwapWindow import slot as shipped; names what differs.
bool HostCodeAsShipped(std::wstring* changed);

}  // namespace qv
