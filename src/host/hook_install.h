#pragma once
// The one way host functions are detoured: verify first, change second, undo all on failure.
//
// Hooks are installed and removed on the bootstrap thread while the game is already running
// them. Three rules keep a detour that is in flight at that moment correct:
// - A trampoline slot always holds something that runs the host function exactly once: the
//   trampoline while the hook exists, and the host function itself once the hook is removed
//   (its entry bytes are back). It is never null for a hook that was ever created, and the
//   hook engine keeps removed trampolines callable, so a detour that fetched its slot before
//   the removal still calls a valid one. A detour reads its slot once (ForwardOf).
// - Detours that touch a feature's state pass a DetourGate; the uninstaller closes it and
//   waits for the detours inside to leave before it resets that state. A detour that meets a
//   closed gate only forwards the call.
// - State the host keeps (its camera, its import slot) is put back by whichever side applied
//   it, inside the gate, so a frame drawn across the removal is still restored exactly.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// what + " failed: " + status name + " (" + code + ")."
std::wstring FormatHookFailure(std::wstring_view what, int status);
// MinHook's name for a status code, "(unknown)" for codes outside -1..12.
const char* MinHookStatusName(int status);

struct DetourSite {
  void* target;                 // host module base + site RVA
  void* detour;
  void** trampolineSlot;        // filled by MH_CreateHook; the target itself after removal
  const wchar_t* createName;    // e.g. L"MH_CreateHook(cEngine::Run)"
};

// MH_Initialize (already-initialised is fine), MH_CreateHook for every site in order, then
// MH_EnableHook for each. Any failure removes what this call created, fills message with
// FormatHookFailure and returns false. enableName names the enable step. The slot of a hook
// that could not be created is null; the slots of removed hooks hold their targets.
bool InstallDetours(const DetourSite* sites, size_t count, const wchar_t* enableName, std::wstring& message);
// Disables and removes each target (results ignored). A removed hook's slot then holds its
// target; a hook that could not be removed keeps its trampoline, as it may still be entered.
void RemoveDetours(const DetourSite* sites, size_t count);

// The function a detour forwards to, read once per call (the bootstrap thread may change it).
template <class Fn>
Fn ForwardOf(const Fn& slot) {
  return __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
}

// Counts the detours working on a feature's state, so that its uninstaller can wait for
// them. Two atomic operations per pass; nothing sleeps on the detour's side.
struct DetourGate {
  std::atomic<bool> open{false};
  std::atomic<uint32_t> inside{0};
};

class GatePass {
 public:
  explicit GatePass(DetourGate& gate) : gate_(gate) {
    // Counted before the look at open, and the uninstaller closes before it counts: one of
    // the two always sees the other.
    gate_.inside.fetch_add(1, std::memory_order_seq_cst);
    open_ = gate_.open.load(std::memory_order_seq_cst);
  }
  ~GatePass() { gate_.inside.fetch_sub(1, std::memory_order_release); }
  GatePass(const GatePass&) = delete;
  GatePass& operator=(const GatePass&) = delete;
  // False once the feature is being removed: only forward the call.
  bool Open() const { return open_; }

 private:
  DetourGate& gate_;
  bool open_ = false;
};

// Before the feature's detours can first run.
void OpenDetourGate(DetourGate& gate);
// Refuses new passes, then waits until every detour inside has left.
void CloseDetourGate(DetourGate& gate);
// Waits for a moment with no detour inside, leaving the gate open: after a subsystem has emptied
// its render or tick hook slots, every pass that may still hold the old ones has then ended.
void DrainDetourGate(DetourGate& gate);
