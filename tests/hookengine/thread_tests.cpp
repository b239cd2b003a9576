// Hooks switched on and off while other threads run the target flat out. The target's
// first bytes are slow (pause), so a switch nearly always finds a thread standing inside
// the bytes being replaced or inside the trampoline's copy of them.
#include <gtest/gtest.h>

#include <MinHook.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "hex.h"
#include "probe.h"

namespace {

constexpr size_t kCounter = 0x1000;  // on its own, writable page

TEST(HookThreads, SwitchingUnderLoadLosesNoCallAndMovesStoppedThreads) {
  ASSERT_EQ(MH_Initialize(), MH_OK);
  uint8_t* f = static_cast<uint8_t*>(VirtualAlloc(nullptr, 0x2000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(f, nullptr);
  // pause x3; lea rax,[rcx+1]; lock inc qword [rip+counter]; ret
  std::vector<uint8_t> code = Hex("F3 90 F3 90 F3 90 48 8D 41 01 F0 48 FF 05 00 00 00 00 C3");
  const int32_t disp = static_cast<int32_t>(kCounter - 18);
  std::memcpy(code.data() + 14, &disp, 4);
  std::memcpy(f, code.data(), code.size());
  std::memset(f + kCounter, 0, 8);
  DWORD old;
  VirtualProtect(f, 0x1000, PAGE_EXECUTE_READ, &old);
  auto originalCalls = [&] { return reinterpret_cast<std::atomic<uint64_t>*>(f + kCounter)->load(); };

  void* original = nullptr;
  ASSERT_EQ(MH_CreateHook(f, reinterpret_cast<void*>(&CountingDetour), &original), MH_OK);
  g_detourOriginal = original;
  g_detourCalls = 0;

  using Fn = uint64_t (*)(uint64_t);
  const Fn target = reinterpret_cast<Fn>(f);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> wrong{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 2; ++i)
    workers.emplace_back([&, i] {
      uint64_t mine = 0;
      for (uint64_t n = static_cast<uint64_t>(i) << 40; !stop.load(std::memory_order_relaxed); ++n, ++mine)
        if (target(n) != n + 1) wrong.fetch_add(1);
      calls.fetch_add(mine);
    });
  while (originalCalls() < 1000) Sleep(0);

  // Each switch enumerates the process's threads, which is slow under Wine: keep the
  // rounds few; nearly every one finds a thread inside the patched bytes.
  for (int round = 0; round < 100; ++round) {
    ASSERT_EQ(MH_EnableHook(f), MH_OK);
    Sleep(0);
    ASSERT_EQ(MH_DisableHook(f), MH_OK);
    Sleep(0);
  }
  ASSERT_EQ(MH_EnableHook(f), MH_OK);
  const uint64_t seenBefore = g_detourCalls;
  while (g_detourCalls < seenBefore + 1000) Sleep(0);
  stop = true;
  for (std::thread& w : workers) w.join();

  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_EQ(originalCalls(), calls.load()) << "every call must reach the original, directly or through the detour";
  EXPECT_GT(g_detourCalls, 1000u);
  EXPECT_LT(g_detourCalls, calls.load());
  ASSERT_EQ(MH_RemoveHook(f), MH_OK);
  EXPECT_EQ(std::vector<uint8_t>(f, f + code.size()), code);
  EXPECT_EQ(MH_Uninitialize(), MH_OK);
  VirtualFree(f, 0, MEM_RELEASE);
}

}  // namespace
