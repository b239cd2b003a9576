// Stops every other thread of the process while code they may be running changes, and
// moves a stopped thread's instruction pointer when the code under it moves.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

namespace hookengine {

struct FrozenThread {
  HANDLE handle;
  uintptr_t ip;  // 0 when the context could not be read; such a thread is left where it is
};

struct FrozenThreads {
  std::vector<FrozenThread> threads;
};

// Suspends the other threads and reads where each one stands. Returns false (nothing
// suspended) when the thread list cannot be built.
bool FreezeOtherThreads(FrozenThreads& frozen);

// Asks map for the new place of each stopped thread; map returns ip itself to leave it.
template <typename Map>
void MoveFrozenThreads(FrozenThreads& frozen, Map map);

void ThawThreads(FrozenThreads& frozen);

bool SetFrozenThreadIp(FrozenThread& thread, uintptr_t ip);

template <typename Map>
void MoveFrozenThreads(FrozenThreads& frozen, Map map) {
  for (FrozenThread& t : frozen.threads) {
    if (t.ip == 0) continue;
    const uintptr_t moved = map(t.ip);
    if (moved != t.ip) SetFrozenThreadIp(t, moved);
  }
}

}  // namespace hookengine
