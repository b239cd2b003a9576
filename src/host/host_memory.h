#pragma once
// Guarded access to host memory: test first, then copy. Never faults on unmapped or guarded pages.
#include <cstddef>
#include <cstdint>
#include <cstring>

// True when [address, address + length) lies in one committed region that is neither
// no-access nor guarded. Always asks the system; for install-time checks.
bool IsReadableHostRange(const void* address, size_t length);
// How many bytes from address on can be read without leaving its region; 0 when none.
size_t ReadableBytesFrom(const void* address);

// The per-frame guarded test: like IsReadableHostRange (and writable when asked), answered from a
// small cache of memory regions per thread. AdvanceRegionCacheEpoch empties every cache, so that
// each thread queries again; the camera path does so a few times a second and on every reset.
bool CheckHostRange(const void* address, size_t length, bool needWrite);
void AdvanceRegionCacheEpoch();
uint64_t RegionQueryCount();   // system queries made by CheckHostRange since load

// The region that answered a CheckHostRange, kept by a caller that checks many ranges in a row
// (the bones of a skeleton): a range inside it gets the answer the cache would give, without the
// cache's lookup. Like the cache it holds only until the epoch moves, so it lives for one pass over
// host memory and is never kept across frames. Empty until filled.
struct HostRegionMemo {
  uintptr_t base = 0;
  uintptr_t end = 0;
  bool writable = false;
};
bool CheckHostRangeAndRemember(const void* address, size_t length, bool needWrite, HostRegionMemo& memo);
inline bool CheckHostRange(const void* address, size_t length, bool needWrite, HostRegionMemo& memo) {
  const auto start = reinterpret_cast<uintptr_t>(address);
  // An empty memo holds nothing: no non-empty range fits below an end of 0.
  if (length != 0 && start >= memo.base && start <= memo.end && length <= memo.end - start)
    return memo.writable || !needWrite;
  return CheckHostRangeAndRemember(address, length, needWrite, memo);
}

// Copies length bytes out of / into host memory when CheckHostRange allows it.
bool ReadHostMemory(const void* address, void* out, size_t length);
bool WriteHostMemory(void* address, const void* in, size_t length);

// Typed copies: the size is known here, so the copy is a few moves rather than a call into the C
// runtime, whose copy routine is slow to start for small sizes under some systems.
template <typename T>
bool ReadHostValue(const void* address, T& out) {
  if (!CheckHostRange(address, sizeof(T), false)) return false;
  std::memcpy(&out, address, sizeof(T));
  return true;
}
template <typename T>
bool ReadHostValueAt(const void* base, size_t offset, T& out) {
  return base != nullptr && ReadHostValue(static_cast<const uint8_t*>(base) + offset, out);
}
template <typename T>
bool WriteHostValueAt(void* base, size_t offset, const T& value) {
  if (base == nullptr) return false;
  uint8_t* address = static_cast<uint8_t*>(base) + offset;
  if (!CheckHostRange(address, sizeof(T), true)) return false;
  std::memcpy(address, &value, sizeof(T));
  return true;
}
