// The player's hand and the host's input handler: relative mouse motion from a scripted track,
// stamped with the time each report arrives, read by the game once per fixed step and turned into a
// look amount and a camera turn by the host's own smoothing, inversion and gain.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

enum class InputScenario {
  None,     // no hand: the listener camera follows its script
  Look,     // sweeps, pauses, reversals, bursts; smoothing, inverted pitch, a new gain and a menu on the way
  Latency,  // yaw only, always the same way, smoothing off: what the picture answers and when
  Gui,      // a menu: relative mode off, the OS cursor on a path (gui.h)
};

// Faults of the host's input state, for the plug-in's sake.
enum class InputFault {
  None,
  ListCut,   // the last smoothing sample links to nothing
  ListLoop,  // the last smoothing sample links back to the first instead of the sentinel
  GuiTooManyElements,  // 2049 GUI elements in the second list
  GuiRelative,         // mid-drag the game turns relative mouse mode on for a while
  GuiLeave,            // the cursor leaves the window through its right edge and comes back
  GuiFocus,            // another program takes the focus for a while
};

bool ParseInputScenario(const std::wstring& text, InputScenario* out);
bool ParseInputFault(const std::wstring& text, InputFault* out);

// The input handler and the global behind the input-global RVA.
void CreateInput();
// The host's input step at the start of fixed step k: one read, one look amount, one turn.
void StepInput(uint64_t k);
// The listener camera's look, when the hand drives it.
bool LookDrivesListener();
void ListenerLook(float* pitch, float* yaw);
// Every count the hand produced must have reached the game by the end of the run.
bool CheckInputConservation(std::wstring* failure);
// The hand's reports and each step's read (--input-log).
bool WriteInputLog(std::wstring* error);
// "input-counts=..." for the summary line.
std::string InputSummary();

// The host's look-amount function behind its site.
float InputLookAmount(void* handler, float* look);

}  // namespace qv
