#include "particles/emitter_registry.h"

namespace {

// Busy-waits: the lock guards eight slots at most, and a detour must not give its time slice away.
class RegistryLock {
 public:
  explicit RegistryLock(std::atomic<uint32_t>& flag) : flag_(flag) {
    while (flag_.exchange(1, std::memory_order_acquire) != 0) {
      while (flag_.load(std::memory_order_relaxed) != 0) {
#if defined(__x86_64__) || defined(_M_X64)
        __builtin_ia32_pause();
#endif
      }
    }
  }
  ~RegistryLock() { flag_.store(0, std::memory_order_release); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  std::atomic<uint32_t>& flag_;
};

bool Fresh(const EmitterRegistrySlot& slot, uint64_t tick) { return slot.motionTick + 1 >= tick; }

EmitterRegistrySlot& ProbeSlot(EmitterRegistry& registry, uint64_t emitter, size_t step) {
  return registry.slots[(EmitterHomeSlot(emitter) + step) % kEmitterRegistrySlots];
}

}  // namespace

bool RegisterEmitter(EmitterRegistry& registry, uint64_t emitter, uint64_t tick) {
  if (emitter == 0) return false;
  RegistryLock hold(registry.lock);
  EmitterRegistrySlot* reusable = nullptr;
  for (size_t step = 0; step < kEmitterRegistryProbe; ++step) {
    EmitterRegistrySlot& slot = ProbeSlot(registry, emitter, step);
    if (slot.emitter == emitter) {
      slot.motionTick = tick;
      return true;
    }
    if (reusable == nullptr && (slot.emitter == 0 || !Fresh(slot, tick))) reusable = &slot;
  }
  if (reusable == nullptr) return false;
  *reusable = EmitterRegistrySlot{emitter, tick};
  return true;
}

bool EmitterRecentlyUpdated(EmitterRegistry& registry, uint64_t emitter, uint64_t tick) {
  if (emitter == 0) return false;
  RegistryLock hold(registry.lock);
  for (size_t step = 0; step < kEmitterRegistryProbe; ++step) {
    const EmitterRegistrySlot& slot = ProbeSlot(registry, emitter, step);
    if (slot.emitter == emitter) return Fresh(slot, tick);
  }
  return false;
}

void ClearEmitterRegistry(EmitterRegistry& registry) {
  RegistryLock hold(registry.lock);
  for (EmitterRegistrySlot& slot : registry.slots) slot = EmitterRegistrySlot{};
}
