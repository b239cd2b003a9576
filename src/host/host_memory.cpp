#include "host/host_memory.h"

#include <windows.h>

#include <atomic>
#include <cstring>

namespace {

constexpr DWORD kUnusable = PAGE_NOACCESS | PAGE_GUARD;
constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr size_t kRegionCacheEntries = 32;

bool QueryRegion(const void* address, MEMORY_BASIC_INFORMATION& info) {
  if (VirtualQuery(address, &info, sizeof(info)) != sizeof(info)) return false;
  return info.State == MEM_COMMIT && (info.Protect & kUnusable) == 0 && info.Protect != 0;
}

bool InsideRegion(const MEMORY_BASIC_INFORMATION& info, const void* address, size_t length) {
  const auto start = reinterpret_cast<uintptr_t>(address);
  const auto regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  // The whole range must stay inside the queried region: the next one may be unreadable.
  return start <= regionEnd && length <= regionEnd - start;
}

struct RegionEntry {
  uintptr_t base;
  uintptr_t end;
  bool writable;
};

struct RegionCache {
  std::atomic<uint32_t> owner;   // thread id; 0 while the slot is free
  RegionEntry entries[kRegionCacheEntries];
  uint32_t lastHit;
  uint32_t nextReplace;
  uint32_t epoch;
};

// Each thread that checks ranges claims one cache for itself by its thread id and then writes it
// without locks. A thread that ends leaves its cache to the next thread given the same id; when
// every slot is taken, a thread asks the system each time. (A thread-local cache would cost a
// lookup through the compiler runtime's emulated TLS on every call.)
constexpr size_t kRegionCacheSlots = 8;
RegionCache g_caches[kRegionCacheSlots];
std::atomic<uint32_t> g_regionEpoch{1};
std::atomic<uint64_t> g_regionQueries{0};

// The calling thread's id, read from its thread environment block as GetCurrentThreadId does.
uint32_t CurrentThreadId() {
  uint32_t id;
  __asm__("movl %%gs:0x48, %0" : "=r"(id));
  return id;
}

RegionCache* ThreadCache() {
  const uint32_t self = CurrentThreadId();
  if (self == 0) return nullptr;   // no thread has id 0; 0 marks a free slot
  for (RegionCache& cache : g_caches)
    if (cache.owner.load(std::memory_order_relaxed) == self) return &cache;
  for (RegionCache& cache : g_caches) {
    uint32_t free = 0;
    if (cache.owner.load(std::memory_order_relaxed) == 0 &&
        cache.owner.compare_exchange_strong(free, self, std::memory_order_acquire)) {
      cache.epoch = 0;   // filled afresh on first use
      return &cache;
    }
  }
  return nullptr;
}

bool QueryAndCache(RegionCache* cache, const void* address, size_t length, bool needWrite,
                   HostRegionMemo* memo = nullptr) {
  g_regionQueries.fetch_add(1, std::memory_order_relaxed);
  MEMORY_BASIC_INFORMATION info;
  if (!QueryRegion(address, info) || (info.Protect & kReadable) == 0) return false;
  RegionEntry entry{reinterpret_cast<uintptr_t>(info.BaseAddress),
                    reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize, (info.Protect & kWritable) != 0};
  if (cache != nullptr) {
    uint32_t slot = cache->nextReplace;
    bool sameEnd = false;
    for (uint32_t i = 0; i < kRegionCacheEntries; ++i) {
      if (cache->entries[i].end == entry.end) {
        slot = i;
        sameEnd = true;
        break;
      }
    }
    // The system reports a region from the page asked about, so a walk downwards through one heap
    // would ask again for every object. Once that happens, the region is asked for once from the
    // start of its allocation: the same end means the same pages from there on.
    if (sameEnd && info.AllocationBase != nullptr && info.AllocationBase < info.BaseAddress) {
      g_regionQueries.fetch_add(1, std::memory_order_relaxed);
      MEMORY_BASIC_INFORMATION whole;
      if (VirtualQuery(info.AllocationBase, &whole, sizeof(whole)) == sizeof(whole) && whole.State == info.State &&
          whole.Protect == info.Protect &&
          reinterpret_cast<uintptr_t>(whole.BaseAddress) + whole.RegionSize == entry.end)
        entry.base = reinterpret_cast<uintptr_t>(whole.BaseAddress);
    }
    cache->entries[slot] = entry;
    if (slot == cache->nextReplace) cache->nextReplace = (cache->nextReplace + 1) % kRegionCacheEntries;
    cache->lastHit = slot;
  }
  if (memo != nullptr) *memo = HostRegionMemo{entry.base, entry.end, entry.writable};
  return InsideRegion(info, address, length) && (entry.writable || !needWrite);
}

}  // namespace

bool IsReadableHostRange(const void* address, size_t length) {
  MEMORY_BASIC_INFORMATION info;
  return address != nullptr && length != 0 && QueryRegion(address, info) && InsideRegion(info, address, length);
}

size_t ReadableBytesFrom(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  if (address == nullptr || !QueryRegion(address, info)) return 0;
  const auto regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  return static_cast<size_t>(regionEnd - reinterpret_cast<uintptr_t>(address));
}

void AdvanceRegionCacheEpoch() { g_regionEpoch.fetch_add(1, std::memory_order_relaxed); }
uint64_t RegionQueryCount() { return g_regionQueries.load(std::memory_order_relaxed); }

bool CheckHostRange(const void* address, size_t length, bool needWrite) {
  HostRegionMemo ignored;
  return CheckHostRangeAndRemember(address, length, needWrite, ignored);
}

bool CheckHostRangeAndRemember(const void* address, size_t length, bool needWrite, HostRegionMemo& memo) {
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (address == nullptr || length == 0 || start + length < start) return false;
  RegionCache* cache = ThreadCache();
  if (cache == nullptr) return QueryAndCache(nullptr, address, length, needWrite, &memo);
  const uint32_t epoch = g_regionEpoch.load(std::memory_order_relaxed);
  if (cache->epoch != epoch) {
    for (RegionEntry& entry : cache->entries) entry = RegionEntry{};
    cache->lastHit = 0;
    cache->nextReplace = 0;
    cache->epoch = epoch;
  }

  auto contains = [&](const RegionEntry& e) { return e.end != 0 && e.base <= start && start + length <= e.end; };
  auto answer = [&](const RegionEntry& e) {
    memo = HostRegionMemo{e.base, e.end, e.writable};
    return e.writable || !needWrite;
  };
  if (contains(cache->entries[cache->lastHit])) return answer(cache->entries[cache->lastHit]);
  for (uint32_t i = 0; i < kRegionCacheEntries; ++i) {
    if (contains(cache->entries[i])) {
      cache->lastHit = i;
      return answer(cache->entries[i]);
    }
  }
  return QueryAndCache(cache, address, length, needWrite, &memo);
}

bool ReadHostMemory(const void* address, void* out, size_t length) {
  if (out == nullptr || !CheckHostRange(address, length, false)) return false;
  std::memcpy(out, address, length);
  return true;
}

bool WriteHostMemory(void* address, const void* in, size_t length) {
  if (in == nullptr || !CheckHostRange(address, length, true)) return false;
  std::memcpy(address, in, length);
  return true;
}
