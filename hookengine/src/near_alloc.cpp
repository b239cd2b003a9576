#include "near_alloc.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace hookengine {
namespace {

constexpr size_t kBlockSize = 0x10000;
constexpr size_t kSlotsPerBlock = kBlockSize / kNearSlotSize;

struct Block {
  uintptr_t base;
  size_t used;
  uint64_t inUse[kSlotsPerBlock / 64];
};

// Guarded by the hook table's lock, like every other engine state.
std::vector<Block> g_blocks;

uintptr_t AlignDown(uintptr_t v, uintptr_t a) { return v / a * a; }

struct Window {
  uintptr_t low;
  uintptr_t high;  // last acceptable block base
};

Window ReachOf(uintptr_t origin) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uintptr_t minApp = reinterpret_cast<uintptr_t>(si.lpMinimumApplicationAddress);
  const uintptr_t maxApp = reinterpret_cast<uintptr_t>(si.lpMaximumApplicationAddress);
  Window w;
  w.low = origin > kNearReach ? origin - kNearReach : 0;
  if (w.low < minApp) w.low = minApp;
  w.high = origin + kNearReach - kBlockSize;
  if (w.high > maxApp - kBlockSize) w.high = maxApp - kBlockSize;
  return w;
}

bool IsFreeBlockAt(uintptr_t addr, MEMORY_BASIC_INFORMATION& mbi) {
  mbi = MEMORY_BASIC_INFORMATION{};
  if (VirtualQuery(reinterpret_cast<void*>(addr), &mbi, sizeof mbi) != sizeof mbi) return false;
  return mbi.State == MEM_FREE && addr + kBlockSize <= reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
}

// The nearest block-sized free range at or below from (exclusive of from's granule).
uintptr_t FindFreeBelow(uintptr_t from, const Window& w, uintptr_t granularity) {
  uintptr_t addr = AlignDown(from, granularity);
  while (addr >= w.low + granularity) {
    addr -= granularity;
    MEMORY_BASIC_INFORMATION mbi;
    if (IsFreeBlockAt(addr, mbi)) return addr;
    // A region only extends forward from the queried page; an allocation's start is the
    // way down past it.
    if (mbi.State != MEM_FREE && mbi.State != 0) {
      const uintptr_t allocationBase = reinterpret_cast<uintptr_t>(mbi.AllocationBase);
      if (allocationBase < addr) addr = AlignDown(allocationBase, granularity);
    }
  }
  return 0;
}

// The nearest block-sized free range at or above from.
uintptr_t FindFreeAbove(uintptr_t from, const Window& w, uintptr_t granularity) {
  uintptr_t addr = AlignDown(from, granularity);
  while (addr <= w.high) {
    MEMORY_BASIC_INFORMATION mbi;
    if (IsFreeBlockAt(addr, mbi)) return addr;
    if (mbi.RegionSize == 0) return 0;
    const uintptr_t end = reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
    const uintptr_t next = AlignDown(end + granularity - 1, granularity);
    if (next <= addr) return 0;
    addr = next;
  }
  return 0;
}

uintptr_t Distance(uintptr_t a, uintptr_t b) { return a > b ? a - b : b - a; }

Block* AllocateBlockNear(uintptr_t origin) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const uintptr_t granularity = si.dwAllocationGranularity;
  const Window w = ReachOf(origin);
  // Walk outward both ways, nearest candidate first. A range can look free and still be
  // refused (taken meanwhile by another thread, or kept by the system): move past it.
  uintptr_t downFrom = origin;
  uintptr_t upFrom = origin;
  for (;;) {
    const uintptr_t below = FindFreeBelow(downFrom, w, granularity);
    const uintptr_t above = FindFreeAbove(upFrom, w, granularity);
    if (below == 0 && above == 0) return nullptr;
    const bool takeAbove = below == 0 || (above != 0 && Distance(above, origin) < Distance(below, origin));
    const uintptr_t candidate = takeAbove ? above : below;
    g_blocks.reserve(g_blocks.size() + 1);  // may throw: before anything needs undoing
    void* p = VirtualAlloc(reinterpret_cast<void*>(candidate), kBlockSize, MEM_RESERVE | MEM_COMMIT,
                           PAGE_EXECUTE_READWRITE);
    if (p != nullptr) {
      g_blocks.push_back(Block{reinterpret_cast<uintptr_t>(p), 0, {}});
      return &g_blocks.back();
    }
    if (takeAbove) upFrom = candidate + granularity;
    else downFrom = candidate;
  }
}

bool InReach(const Block& b, uintptr_t origin) {
  const Window w = ReachOf(origin);
  return b.base >= w.low && b.base <= w.high;
}

}  // namespace

void* AllocateNearSlot(const void* origin) {
  const uintptr_t o = reinterpret_cast<uintptr_t>(origin);
  Block* block = nullptr;
  for (Block& b : g_blocks) {
    if (b.used < kSlotsPerBlock && InReach(b, o)) {
      block = &b;
      break;
    }
  }
  if (block == nullptr) {
    try {
      block = AllocateBlockNear(o);
    } catch (...) {  // the block list could not grow
      return nullptr;
    }
  }
  if (block == nullptr) return nullptr;
  for (size_t i = 0; i < kSlotsPerBlock; ++i) {
    uint64_t& word = block->inUse[i / 64];
    const uint64_t bit = uint64_t{1} << (i % 64);
    if ((word & bit) == 0) {
      word |= bit;
      ++block->used;
      void* slot = reinterpret_cast<void*>(block->base + i * kNearSlotSize);
      std::memset(slot, 0xCC, kNearSlotSize);  // stray execution traps instead of sliding
      return slot;
    }
  }
  return nullptr;
}

void FreeNearSlot(void* slot) {
  const uintptr_t s = reinterpret_cast<uintptr_t>(slot);
  for (size_t k = 0; k < g_blocks.size(); ++k) {
    Block& b = g_blocks[k];
    if (s < b.base || s >= b.base + kBlockSize) continue;
    const size_t i = (s - b.base) / kNearSlotSize;
    const uint64_t bit = uint64_t{1} << (i % 64);
    if ((b.inUse[i / 64] & bit) == 0) return;
    b.inUse[i / 64] &= ~bit;
    std::memset(slot, 0xCC, kNearSlotSize);
    if (--b.used == 0) {
      VirtualFree(reinterpret_cast<void*>(b.base), 0, MEM_RELEASE);
      g_blocks.erase(g_blocks.begin() + static_cast<ptrdiff_t>(k));
    }
    return;
  }
}

}  // namespace hookengine
