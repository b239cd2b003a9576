#pragma once
// Which emitters the host simulated lately, keyed by address. Shared by the motion and graphics
// detours, which may run on any host thread: every operation takes the registry's spin lock,
// holds it for at most eight slots and never allocates. No Windows headers.
#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr size_t kEmitterRegistrySlots = 2048;
inline constexpr size_t kEmitterRegistryProbe = 8;

struct EmitterRegistrySlot {
  uint64_t emitter;     // host address; 0 marks an empty slot
  uint64_t motionTick;  // particle tick of the emitter's last motion update
};

struct EmitterRegistry {
  std::atomic<uint32_t> lock{0};
  EmitterRegistrySlot slots[kEmitterRegistrySlots] = {};
};

inline size_t EmitterHomeSlot(uint64_t emitter) { return (emitter >> 4) % kEmitterRegistrySlots; }

// Marks the emitter as simulated in particle tick `tick`. False when its eight slots hold other
// emitters updated in this or the previous tick (the registration is dropped).
bool RegisterEmitter(EmitterRegistry& registry, uint64_t emitter, uint64_t tick);
// True when the emitter's motion was updated in particle tick `tick` or the one before.
bool EmitterRecentlyUpdated(EmitterRegistry& registry, uint64_t emitter, uint64_t tick);
void ClearEmitterRegistry(EmitterRegistry& registry);
