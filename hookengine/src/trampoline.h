// Builds the trampoline of a hook: the target's first whole instructions (at least the
// 5 bytes the hook's jump overwrites), relocated so they reach the same addresses,
// followed by a jump back to the rest of the target.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hookengine {

constexpr size_t kPatchLength = 5;         // E9 rel32
constexpr size_t kMaxTrampolineLength = 96;
constexpr size_t kMaxResumePoints = 24;

// A place a thread may stand in the trampoline, and where the same thread would stand
// in the unhooked target (or where it is about to jump).
struct ResumePoint {
  uint8_t trampolineOffset;
  uintptr_t original;
};

struct Trampoline {
  uint8_t length = 0;        // bytes written to the trampoline
  uint8_t copiedLength = 0;  // bytes of the target it replaces (>= kPatchLength)
  uint8_t pointCount = 0;
  ResumePoint points[kMaxResumePoints] = {};
};

// code holds a copy of the target's first codeLength bytes; the trampoline is written
// to out, which will execute at address outAddress (kMaxTrampolineLength bytes).
// False when the prologue cannot be relocated safely; out is then undefined.
bool BuildTrampoline(uintptr_t target, const uint8_t* code, size_t codeLength, uintptr_t outAddress, uint8_t* out,
                     Trampoline& result);

}  // namespace hookengine
