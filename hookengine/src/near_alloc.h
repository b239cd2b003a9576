// Executable memory close enough to a target for a rel32 jump from it: the hook's relay
// and trampoline live there. Slots are carved from 64 KB blocks; a block is released
// when its last slot is freed.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hookengine {

constexpr size_t kNearSlotSize = 128;
// Slots stay within this distance of the target, leaving room for the trampoline's
// RIP-relative operands to reach what the target reaches.
constexpr uintptr_t kNearReach = 0x40000000;

// An executable, writable slot (filled with int3) within kNearReach of origin; null if the
// address space around origin has no room.
void* AllocateNearSlot(const void* origin);
void FreeNearSlot(void* slot);

}  // namespace hookengine
