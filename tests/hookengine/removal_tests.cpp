// A detour that fetched its trampoline before its hook was removed may still call it: the
// host function must then run exactly once, as shipped, and the slot must not be reused
// for anything a late caller could notice.
#include <gtest/gtest.h>

#include <MinHook.h>

#include <cstring>
#include <vector>

#include "hex.h"

namespace {

constexpr size_t kCounter = 0x1000;  // a qword on the function's second, writable page

// lea rax,[rcx+1]; lock inc qword [rip+counter]; ret — a host function that counts its calls.
struct CountingFunction {
  CountingFunction() {
    base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 0x2000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    std::vector<uint8_t> code = Hex("48 8D 41 01 F0 48 FF 05 00 00 00 00 C3");
    const int32_t disp = static_cast<int32_t>(kCounter - 12);
    std::memcpy(code.data() + 8, &disp, 4);
    std::memcpy(base, code.data(), code.size());
    shipped = code;
    DWORD old;
    VirtualProtect(base, 0x1000, PAGE_EXECUTE_READ, &old);
  }
  ~CountingFunction() { VirtualFree(base, 0, MEM_RELEASE); }
  uint64_t Calls() const { return *reinterpret_cast<volatile uint64_t*>(base + kCounter); }
  uint8_t* base = nullptr;
  std::vector<uint8_t> shipped;
};

using Fn = uint64_t (*)(uint64_t);
uint64_t AddTenDetour(uint64_t x) { return x + 10; }

class HookRemoval : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MH_Initialize(), MH_OK); }
  void TearDown() override { EXPECT_EQ(MH_Uninitialize(), MH_OK); }
};

TEST_F(HookRemoval, TrampolineFetchedBeforeRemovalStillRunsTheHostFunctionOnce) {
  for (bool everEnabled : {true, false}) {
    CountingFunction f;
    void* trampoline = nullptr;
    ASSERT_EQ(MH_CreateHook(f.base, reinterpret_cast<void*>(&AddTenDetour), &trampoline), MH_OK);
    if (everEnabled) {
      ASSERT_EQ(MH_EnableHook(f.base), MH_OK);
      EXPECT_EQ(reinterpret_cast<Fn>(f.base)(1), 11u);
    }
    ASSERT_EQ(MH_RemoveHook(f.base), MH_OK);
    EXPECT_EQ(std::vector<uint8_t>(f.base, f.base + f.shipped.size()), f.shipped);

    const uint64_t before = f.Calls();
    EXPECT_EQ(reinterpret_cast<Fn>(trampoline)(41), 42u) << everEnabled;
    EXPECT_EQ(f.Calls(), before + 1) << everEnabled;
    EXPECT_EQ(reinterpret_cast<Fn>(f.base)(1), 2u);
  }
}

TEST_F(HookRemoval, RecreatingOnTheSameCodeTakesTheRetiredSlotBackAndNothingElseDoes) {
  CountingFunction f;
  void* first = nullptr;
  ASSERT_EQ(MH_CreateHook(f.base, reinterpret_cast<void*>(&AddTenDetour), &first), MH_OK);
  ASSERT_EQ(MH_RemoveHook(f.base), MH_OK);

  // Same bytes at the target: the old trampoline is reused, and still works for a late caller.
  void* again = nullptr;
  ASSERT_EQ(MH_CreateHook(f.base, reinterpret_cast<void*>(&AddTenDetour), &again), MH_OK);
  EXPECT_EQ(again, first);
  ASSERT_EQ(MH_EnableHook(f.base), MH_OK);
  EXPECT_EQ(reinterpret_cast<Fn>(f.base)(1), 11u);
  EXPECT_EQ(reinterpret_cast<Fn>(first)(1), 2u);
  ASSERT_EQ(MH_RemoveHook(f.base), MH_OK);

  // Different bytes at the target (someone changed the code): a new slot, the old one intact.
  DWORD old;
  VirtualProtect(f.base, 0x1000, PAGE_EXECUTE_READWRITE, &old);
  const std::vector<uint8_t> other = Hex("48 8D 41 02 F0 48 FF 05");
  std::memcpy(f.base, other.data(), 4);  // lea rax,[rcx+2]
  void* changed = nullptr;
  ASSERT_EQ(MH_CreateHook(f.base, reinterpret_cast<void*>(&AddTenDetour), &changed), MH_OK);
  EXPECT_NE(changed, first);
  EXPECT_EQ(reinterpret_cast<Fn>(changed)(1), 3u);
  EXPECT_EQ(reinterpret_cast<Fn>(first)(1), 2u) << "a retired trampoline keeps the code it was built from";
  ASSERT_EQ(MH_RemoveHook(f.base), MH_OK);
}

}  // namespace
