// Each status a MinHook user relies on, produced by the situation it names.
#include <gtest/gtest.h>

#include <MinHook.h>

#include <cstring>
#include <vector>

#include "code_region.h"
#include "hex.h"

namespace {

// A small executable allocation holding one function.
struct Function {
  explicit Function(const std::vector<uint8_t>& code, DWORD protect = PAGE_EXECUTE_READ) {
    base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 0x1000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    std::memset(base, 0xCC, 0x1000);
    std::memcpy(base, code.data(), code.size());
    DWORD old;
    VirtualProtect(base, 0x1000, protect, &old);
  }
  ~Function() { VirtualFree(base, 0, MEM_RELEASE); }
  Function(const Function&) = delete;
  Function& operator=(const Function&) = delete;
  uint8_t* base;
};

// mov eax, 7; ret, padded: a function any engine can hook.
const std::vector<uint8_t> kPlain = Hex("B8 07 00 00 00 C3");

void* Detour() { return reinterpret_cast<void*>(&CountingDetour); }

TEST(HookStatus, EveryCallNeedsInitialize) {
  Function f(kPlain);
  void* original = nullptr;
  EXPECT_EQ(MH_Uninitialize(), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_CreateHook(f.base, Detour(), &original), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_EnableHook(f.base), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_DisableHook(f.base), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(MH_RemoveHook(f.base), MH_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(original, nullptr);

  ASSERT_EQ(MH_Initialize(), MH_OK);
  EXPECT_EQ(MH_Initialize(), MH_ERROR_ALREADY_INITIALIZED);
  ASSERT_EQ(MH_Uninitialize(), MH_OK);
  EXPECT_EQ(MH_Uninitialize(), MH_ERROR_NOT_INITIALIZED);
  // Initialising again after an uninitialise works.
  ASSERT_EQ(MH_Initialize(), MH_OK);
  EXPECT_EQ(MH_Uninitialize(), MH_OK);
}

class HookStatusInitialized : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MH_Initialize(), MH_OK); }
  void TearDown() override { EXPECT_EQ(MH_Uninitialize(), MH_OK); }
};

TEST_F(HookStatusInitialized, LifecycleStatusesFollowTheHooksState) {
  Function f(kPlain);
  Function other(kPlain);
  void* original = nullptr;
  EXPECT_EQ(MH_EnableHook(f.base), MH_ERROR_NOT_CREATED);
  EXPECT_EQ(MH_DisableHook(f.base), MH_ERROR_NOT_CREATED);
  EXPECT_EQ(MH_RemoveHook(f.base), MH_ERROR_NOT_CREATED);

  ASSERT_EQ(MH_CreateHook(f.base, Detour(), &original), MH_OK);
  void* second = nullptr;
  EXPECT_EQ(MH_CreateHook(f.base, Detour(), &second), MH_ERROR_ALREADY_CREATED);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(MH_DisableHook(f.base), MH_ERROR_DISABLED);
  EXPECT_EQ(MH_EnableHook(other.base), MH_ERROR_NOT_CREATED);
  ASSERT_EQ(MH_EnableHook(f.base), MH_OK);
  EXPECT_EQ(MH_EnableHook(f.base), MH_ERROR_ENABLED);
  ASSERT_EQ(MH_DisableHook(f.base), MH_OK);
  EXPECT_EQ(MH_DisableHook(f.base), MH_ERROR_DISABLED);
  // Removing an enabled hook disables it first.
  ASSERT_EQ(MH_EnableHook(f.base), MH_OK);
  ASSERT_EQ(MH_RemoveHook(f.base), MH_OK);
  EXPECT_EQ(std::vector<uint8_t>(f.base, f.base + kPlain.size()), kPlain);
  EXPECT_EQ(reinterpret_cast<int (*)()>(original)(), 7) << "a removed hook's trampoline stays callable";
  EXPECT_EQ(MH_RemoveHook(f.base), MH_ERROR_NOT_CREATED);
  // Created anew after removal.
  EXPECT_EQ(MH_CreateHook(f.base, Detour(), nullptr), MH_OK);
  EXPECT_EQ(MH_RemoveHook(f.base), MH_OK);
}

TEST_F(HookStatusInitialized, TargetAndDetourMustBeExecutable) {
  Function code(kPlain);
  Function data(kPlain, PAGE_READWRITE);
  Function freed(kPlain);
  uint8_t* gone = freed.base;
  VirtualFree(freed.base, 0, MEM_RELEASE);
  freed.base = nullptr;
  EXPECT_EQ(MH_CreateHook(data.base, Detour(), nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(code.base, data.base, nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(nullptr, Detour(), nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(code.base, nullptr, nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_CreateHook(gone, Detour(), nullptr), MH_ERROR_NOT_EXECUTABLE);
  EXPECT_EQ(MH_EnableHook(data.base), MH_ERROR_NOT_CREATED);
}

TEST_F(HookStatusInitialized, ProloguesThatCannotMoveAreRefusedAndLeftAlone) {
  const char* cases[] = {
      "EB FE",                    // jumps to itself
      "31 C0 FF C0 EB FA",        // loops back to the entry
      "90 90 90 74 FB 90 90 90",  // conditional branch into the patched bytes
      "C3",                       // returns before 5 bytes: the neighbour would be overwritten
      "0F 0B",                    // ud2 before 5 bytes
      "06 90 90 90 90 90",        // not an instruction in long mode
      "C7 F8 00 00 00 00 90",     // xbegin: relative abort address
  };
  for (const char* bytes : cases) {
    SCOPED_TRACE(bytes);
    const std::vector<uint8_t> code = Hex(bytes);
    Function f(code);
    const std::vector<uint8_t> before(f.base, f.base + 16);
    void* original = reinterpret_cast<void*>(1);
    EXPECT_EQ(MH_CreateHook(f.base, Detour(), &original), MH_ERROR_UNSUPPORTED_FUNCTION);
    EXPECT_EQ(original, reinterpret_cast<void*>(1));
    EXPECT_EQ(MH_EnableHook(f.base), MH_ERROR_NOT_CREATED);
    EXPECT_EQ(before, std::vector<uint8_t>(f.base, f.base + 16));
  }
}

TEST_F(HookStatusInitialized, NoFreeMemoryNearTheTargetIsAnAllocationFailure) {
  // A target high in the address space, with every free range within reach of it reserved.
  uint8_t* target = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 0x10000, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(target, nullptr);
  std::memcpy(target, kPlain.data(), kPlain.size());
  std::vector<void*> reserved;
  const uintptr_t t = reinterpret_cast<uintptr_t>(target);
  const uintptr_t span = 0x48000000;  // a little beyond the engine's reach on either side
  uintptr_t at = t > span ? t - span : 0x10000;
  while (at < t + span) {
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(reinterpret_cast<void*>(at), &mbi, sizeof mbi) != sizeof mbi) break;
    const uintptr_t base = reinterpret_cast<uintptr_t>(mbi.BaseAddress);
    const uintptr_t end = base + mbi.RegionSize;
    if (mbi.State == MEM_FREE) {
      const uintptr_t first = (base + 0xFFFF) & ~uintptr_t{0xFFFF};
      const uintptr_t last = end & ~uintptr_t{0xFFFF};
      if (last > first) {
        void* r = VirtualAlloc(reinterpret_cast<void*>(first), last - first, MEM_RESERVE, PAGE_NOACCESS);
        if (r != nullptr) {
          reserved.push_back(r);
        } else {
          // Part of the range is held back by the system: take what can be taken, block by block.
          for (uintptr_t b = first; b < last; b += 0x10000) {
            r = VirtualAlloc(reinterpret_cast<void*>(b), 0x10000, MEM_RESERVE, PAGE_NOACCESS);
            if (r != nullptr) reserved.push_back(r);
          }
        }
      }
    }
    at = end;
  }
  ASSERT_FALSE(reserved.empty());

  void* original = nullptr;
  EXPECT_EQ(MH_CreateHook(target, Detour(), &original), MH_ERROR_MEMORY_ALLOC) << "target " << static_cast<void*>(target)
                                                                              << ", trampoline at " << original;
  MH_RemoveHook(target);
  for (void* r : reserved) VirtualFree(r, 0, MEM_RELEASE);
  EXPECT_EQ(MH_CreateHook(target, Detour(), nullptr), MH_OK) << "the failure was not about space";
  EXPECT_EQ(MH_RemoveHook(target), MH_OK);
  VirtualFree(target, 0, MEM_RELEASE);
}

TEST_F(HookStatusInitialized, PatchAcrossTwoAllocationsIsAProtectionFailure) {
  // VirtualProtect works within one allocation only; a target whose first 5 bytes
  // straddle two of them cannot be made writable.
  uint8_t* both = nullptr;
  for (int attempt = 0; attempt < 16 && both == nullptr; ++attempt) {
    void* probe = VirtualAlloc(nullptr, 0x20000, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(probe, nullptr);
    VirtualFree(probe, 0, MEM_RELEASE);
    uint8_t* lo = static_cast<uint8_t*>(VirtualAlloc(probe, 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    uint8_t* hi = static_cast<uint8_t*>(
        VirtualAlloc(static_cast<uint8_t*>(probe) + 0x10000, 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    if (lo != nullptr && hi != nullptr) both = lo;
    else {
      if (lo) VirtualFree(lo, 0, MEM_RELEASE);
      if (hi) VirtualFree(hi, 0, MEM_RELEASE);
    }
  }
  ASSERT_NE(both, nullptr);
  uint8_t* target = both + 0x10000 - 2;
  const std::vector<uint8_t> code = Hex("90 90 90 90 90 B8 07 00 00 00 C3");
  std::memcpy(target, code.data(), code.size());

  ASSERT_EQ(MH_CreateHook(target, Detour(), nullptr), MH_OK);
  EXPECT_EQ(MH_EnableHook(target), MH_ERROR_MEMORY_PROTECT);
  EXPECT_EQ(code, std::vector<uint8_t>(target, target + code.size()));
  EXPECT_EQ(MH_DisableHook(target), MH_ERROR_DISABLED);
  EXPECT_EQ(MH_RemoveHook(target), MH_OK);
  VirtualFree(both, 0, MEM_RELEASE);
  VirtualFree(both + 0x10000, 0, MEM_RELEASE);
}

TEST_F(HookStatusInitialized, AllHooksSwitchTogetherAndShareNearMemory) {
  Function a(kPlain);
  Function b(Hex("B8 09 00 00 00 C3"));
  using Fn = int (*)();
  void* originalA = nullptr;
  void* originalB = nullptr;
  ASSERT_EQ(MH_CreateHook(a.base, Detour(), &originalA), MH_OK);
  ASSERT_EQ(MH_CreateHook(b.base, Detour(), &originalB), MH_OK);
  ASSERT_EQ(MH_EnableHook(a.base), MH_OK);
  EXPECT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);  // one already on: still fine
  EXPECT_EQ(a.base[0], 0xE9);
  EXPECT_EQ(b.base[0], 0xE9);
  g_detourCalls = 0;
  g_detourOriginal = originalB;
  EXPECT_EQ(reinterpret_cast<Fn>(b.base)(), 9);
  EXPECT_EQ(g_detourCalls, 1u);

  EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_EQ(std::vector<uint8_t>(a.base, a.base + 6), kPlain);
  EXPECT_EQ(MH_DisableHook(MH_ALL_HOOKS), MH_OK);

  // Removing one hook leaves the other's trampoline intact.
  ASSERT_EQ(MH_RemoveHook(a.base), MH_OK);
  EXPECT_EQ(reinterpret_cast<Fn>(originalB)(), 9);
  ASSERT_EQ(MH_EnableHook(MH_ALL_HOOKS), MH_OK);
  EXPECT_EQ(reinterpret_cast<Fn>(b.base)(), 9);
  EXPECT_EQ(g_detourCalls, 2u);
  EXPECT_EQ(MH_RemoveHook(b.base), MH_OK);
}

TEST_F(HookStatusInitialized, UninitializeRestoresEveryTargetAndForgetsEveryHook) {
  Function f(kPlain);
  void* original = nullptr;
  ASSERT_EQ(MH_CreateHook(f.base, Detour(), &original), MH_OK);
  ASSERT_EQ(MH_EnableHook(f.base), MH_OK);
  ASSERT_EQ(MH_Uninitialize(), MH_OK);
  EXPECT_EQ(std::vector<uint8_t>(f.base, f.base + 6), kPlain);
  EXPECT_EQ(reinterpret_cast<int (*)()>(original)(), 7);
  ASSERT_EQ(MH_Initialize(), MH_OK);  // for TearDown
  EXPECT_EQ(MH_EnableHook(f.base), MH_ERROR_NOT_CREATED);
}

TEST_F(HookStatusInitialized, ExportLookupReportsMissingModuleAndFunction) {
  EXPECT_EQ(MH_CreateHookApi(L"no-such-module-anywhere.dll", "Sleep", Detour(), nullptr), MH_ERROR_MODULE_NOT_FOUND);
  EXPECT_EQ(MH_CreateHookApi(L"kernel32.dll", "NoSuchExportAnywhere", Detour(), nullptr),
            MH_ERROR_FUNCTION_NOT_FOUND);
}

TEST(HookStatus, NamesAreMinHooks) {
  const char* names[] = {"MH_UNKNOWN", "MH_OK", "MH_ERROR_ALREADY_INITIALIZED", "MH_ERROR_NOT_INITIALIZED",
                         "MH_ERROR_ALREADY_CREATED", "MH_ERROR_NOT_CREATED", "MH_ERROR_ENABLED", "MH_ERROR_DISABLED",
                         "MH_ERROR_NOT_EXECUTABLE", "MH_ERROR_UNSUPPORTED_FUNCTION", "MH_ERROR_MEMORY_ALLOC",
                         "MH_ERROR_MEMORY_PROTECT", "MH_ERROR_MODULE_NOT_FOUND", "MH_ERROR_FUNCTION_NOT_FOUND"};
  for (int code = -1; code <= 12; ++code) EXPECT_STREQ(MH_StatusToString(static_cast<MH_STATUS>(code)), names[code + 1]);
  EXPECT_STREQ(MH_StatusToString(static_cast<MH_STATUS>(13)), "(unknown)");
  EXPECT_STREQ(MH_StatusToString(static_cast<MH_STATUS>(-2)), "(unknown)");
}

}  // namespace
