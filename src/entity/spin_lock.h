#pragma once
// A lock for short table operations shared with the physics worker threads: one 32-bit word,
// 0 free, 1 held. Waiters give their processor away between attempts; detours that must never
// wait only try.
#include <windows.h>

#include <atomic>
#include <cstdint>

struct SpinLock {
  std::atomic<uint32_t> word{0};
};

inline bool TryAcquireSpinLock(SpinLock& lock) noexcept {
  return lock.word.exchange(1, std::memory_order_acquire) == 0;
}

inline void AcquireSpinLock(SpinLock& lock) noexcept {
  while (lock.word.exchange(1, std::memory_order_acquire) != 0) SwitchToThread();
}

inline void ReleaseSpinLock(SpinLock& lock) noexcept { lock.word.store(0, std::memory_order_release); }

// Holds the lock for one scope, waiting for it.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock) noexcept : lock_(lock) { AcquireSpinLock(lock_); }
  ~SpinLockGuard() { ReleaseSpinLock(lock_); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  SpinLock& lock_;
};
