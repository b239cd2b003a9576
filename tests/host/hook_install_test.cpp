#include "host/hook_install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/minhook_api.h"

namespace {

TEST(FormatHookFailure, IsStepFailedStatusNameAndSignedCode) {
  EXPECT_EQ(FormatHookFailure(L"MH_CreateHook(cEngine::Run)", 7),
            L"MH_CreateHook(cEngine::Run) failed: MH_ERROR_NOT_EXECUTABLE (7).");
  EXPECT_EQ(FormatHookFailure(L"MH_Initialize", -1), L"MH_Initialize failed: MH_UNKNOWN (-1).");
  EXPECT_EQ(FormatHookFailure(L"MH_EnableHook(camera interpolation)", 13),
            L"MH_EnableHook(camera interpolation) failed: (unknown) (13).");
  EXPECT_EQ(FormatHookFailure(L"X", -2), L"X failed: (unknown) (-2).");
}

TEST(MinHookStatusName, NamesEveryCodeFromMinusOneToTwelve) {
  const char* const names[] = {
      "MH_UNKNOWN",          "MH_OK",
      "MH_ERROR_ALREADY_INITIALIZED", "MH_ERROR_NOT_INITIALIZED",
      "MH_ERROR_ALREADY_CREATED",     "MH_ERROR_NOT_CREATED",
      "MH_ERROR_ENABLED",             "MH_ERROR_DISABLED",
      "MH_ERROR_NOT_EXECUTABLE",      "MH_ERROR_UNSUPPORTED_FUNCTION",
      "MH_ERROR_MEMORY_ALLOC",        "MH_ERROR_MEMORY_PROTECT",
      "MH_ERROR_MODULE_NOT_FOUND",    "MH_ERROR_FUNCTION_NOT_FOUND",
  };
  for (int status = -1; status <= 12; ++status) {
    EXPECT_STREQ(MinHookStatusName(status), names[status + 1]) << status;
    // The names are the hook engine's own.
    EXPECT_STREQ(MinHookStatusName(status), MH_StatusToString(static_cast<MH_STATUS>(status))) << status;
  }
  EXPECT_STREQ(MinHookStatusName(13), "(unknown)");
  EXPECT_STREQ(MinHookStatusName(-2), "(unknown)");
}

// A MinHook table that records every call and fails the one a test picks.
struct Call {
  std::string op;
  void* target;
  bool operator==(const Call& other) const { return op == other.op && target == other.target; }
};
void PrintTo(const Call& call, std::ostream* out) { *out << call.op << "(" << call.target << ")"; }

struct Script {
  MH_STATUS initStatus = MH_OK;
  std::string failOp;        // "CreateHook", "EnableHook" or "RemoveHook"
  int failOnCall = 0;        // 1-based count of that op
  MH_STATUS failStatus = MH_OK;
  std::vector<Call> calls;
  int createCalls = 0;
  int enableCalls = 0;
};
Script g_script;

MH_STATUS WINAPI FakeInitialize() {
  g_script.calls.push_back({"Initialize", nullptr});
  return g_script.initStatus;
}
MH_STATUS WINAPI FakeCreateHook(LPVOID target, LPVOID, LPVOID* original) {
  g_script.calls.push_back({"CreateHook", target});
  if (g_script.failOp == "CreateHook" && ++g_script.createCalls == g_script.failOnCall) return g_script.failStatus;
  *original = reinterpret_cast<LPVOID>(0x5151);   // a trampoline, as far as the installer can tell
  return MH_OK;
}
MH_STATUS WINAPI FakeEnableHook(LPVOID target) {
  g_script.calls.push_back({"EnableHook", target});
  if (g_script.failOp == "EnableHook" && ++g_script.enableCalls == g_script.failOnCall) return g_script.failStatus;
  return MH_OK;
}
MH_STATUS WINAPI FakeDisableHook(LPVOID target) {
  g_script.calls.push_back({"DisableHook", target});
  return MH_OK;
}
MH_STATUS WINAPI FakeRemoveHook(LPVOID target) {
  g_script.calls.push_back({"RemoveHook", target});
  if (g_script.failOp == "RemoveHook") return g_script.failStatus;
  return MH_OK;
}

class InstallDetoursTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = Script{};
    MinHook() = MinHookApi{&FakeInitialize, &FakeCreateHook, &FakeEnableHook, &FakeDisableHook, &FakeRemoveHook};
  }
  void TearDown() override { RestoreMinHookApi(); }

  bool Install() {
    message_.clear();
    return InstallDetours(detours_, 2, L"MH_EnableHook(pair)", message_);
  }

  char a_ = 0, b_ = 0;   // stand-ins for two host functions
  void* slotA_ = reinterpret_cast<void*>(0xDEAD);
  void* slotB_ = reinterpret_cast<void*>(0xBEEF);
  DetourSite detours_[2] = {{&a_, reinterpret_cast<void*>(0xA), &slotA_, L"MH_CreateHook(first)"},
                          {&b_, reinterpret_cast<void*>(0xB), &slotB_, L"MH_CreateHook(second)"}};
  std::wstring message_;
};

TEST_F(InstallDetoursTest, CreatesThenEnablesEveryHookInOrder) {
  for (MH_STATUS init : {MH_OK, MH_ERROR_ALREADY_INITIALIZED}) {
    SetUp();
    g_script.initStatus = init;
    EXPECT_TRUE(Install()) << init;
    EXPECT_EQ(message_, L"");
    EXPECT_EQ(g_script.calls, (std::vector<Call>{{"Initialize", nullptr},
                                                 {"CreateHook", &a_},
                                                 {"CreateHook", &b_},
                                                 {"EnableHook", &a_},
                                                 {"EnableHook", &b_}}));
    EXPECT_EQ(slotA_, reinterpret_cast<void*>(0x5151));
    EXPECT_EQ(slotB_, reinterpret_cast<void*>(0x5151));
  }
}

TEST_F(InstallDetoursTest, InitializeFailureStopsBeforeAnyHook) {
  g_script.initStatus = MH_ERROR_MEMORY_ALLOC;
  EXPECT_FALSE(Install());
  EXPECT_EQ(message_, L"MH_Initialize failed: MH_ERROR_MEMORY_ALLOC (9).");
  EXPECT_EQ(g_script.calls, (std::vector<Call>{{"Initialize", nullptr}}));
}

TEST_F(InstallDetoursTest, CreateFailureOnTheSecondRemovesTheFirst) {
  g_script.failOp = "CreateHook";
  g_script.failOnCall = 2;
  g_script.failStatus = MH_ERROR_NOT_EXECUTABLE;
  EXPECT_FALSE(Install());
  EXPECT_EQ(message_, L"MH_CreateHook(second) failed: MH_ERROR_NOT_EXECUTABLE (7).");
  EXPECT_EQ(g_script.calls, (std::vector<Call>{{"Initialize", nullptr},
                                               {"CreateHook", &a_},
                                               {"CreateHook", &b_},
                                               {"RemoveHook", &a_}}));
  EXPECT_EQ(slotA_, &a_) << "a removed hook's slot forwards to the host function";
  EXPECT_EQ(slotB_, nullptr) << "nothing to forward to for a hook never created";
}

TEST_F(InstallDetoursTest, CreateFailureOnTheFirstRemovesNothing) {
  g_script.failOp = "CreateHook";
  g_script.failOnCall = 1;
  g_script.failStatus = MH_ERROR_ALREADY_CREATED;
  EXPECT_FALSE(Install());
  EXPECT_EQ(message_, L"MH_CreateHook(first) failed: MH_ERROR_ALREADY_CREATED (3).");
  EXPECT_EQ(g_script.calls, (std::vector<Call>{{"Initialize", nullptr}, {"CreateHook", &a_}}));
  EXPECT_EQ(slotA_, nullptr);
}

TEST_F(InstallDetoursTest, EnableFailureOnTheSecondDisablesTheFirstAndRemovesBoth) {
  g_script.failOp = "EnableHook";
  g_script.failOnCall = 2;
  g_script.failStatus = MH_ERROR_MEMORY_PROTECT;
  EXPECT_FALSE(Install());
  EXPECT_EQ(message_, L"MH_EnableHook(pair) failed: MH_ERROR_MEMORY_PROTECT (10).");
  const std::vector<Call> head = {{"Initialize", nullptr}, {"CreateHook", &a_}, {"CreateHook", &b_},
                                  {"EnableHook", &a_},     {"EnableHook", &b_}, {"DisableHook", &a_}};
  ASSERT_EQ(g_script.calls.size(), head.size() + 2);
  EXPECT_EQ(std::vector<Call>(g_script.calls.begin(), g_script.calls.begin() + 6), head);
  // Both removed after the disable, in either order.
  const std::vector<Call> tail(g_script.calls.begin() + 6, g_script.calls.end());
  EXPECT_TRUE((tail == std::vector<Call>{{"RemoveHook", &b_}, {"RemoveHook", &a_}}) ||
              (tail == std::vector<Call>{{"RemoveHook", &a_}, {"RemoveHook", &b_}}))
      << testing::PrintToString(tail);
  // The first hook was live: a detour entered then still forwards, to the host function itself.
  EXPECT_EQ(slotA_, &a_);
  EXPECT_EQ(slotB_, &b_);
}

TEST_F(InstallDetoursTest, EnableFailureOnTheFirstDisablesNothing) {
  g_script.failOp = "EnableHook";
  g_script.failOnCall = 1;
  g_script.failStatus = MH_ERROR_ENABLED;
  EXPECT_FALSE(Install());
  EXPECT_EQ(message_, L"MH_EnableHook(pair) failed: MH_ERROR_ENABLED (5).");
  for (const Call& call : g_script.calls) EXPECT_NE(call.op, "DisableHook");
  EXPECT_EQ(std::count(g_script.calls.begin(), g_script.calls.end(), Call{"RemoveHook", &a_}), 1);
  EXPECT_EQ(std::count(g_script.calls.begin(), g_script.calls.end(), Call{"RemoveHook", &b_}), 1);
  EXPECT_EQ(slotA_, &a_);
  EXPECT_EQ(slotB_, &b_);
}

TEST_F(InstallDetoursTest, RemoveDisablesAndRemovesEachTargetAndForwardsTheSlotsToThem) {
  RemoveDetours(detours_, 2);
  for (void* target : {static_cast<void*>(&a_), static_cast<void*>(&b_)}) {
    const auto disable = std::find(g_script.calls.begin(), g_script.calls.end(), Call{"DisableHook", target});
    const auto remove = std::find(g_script.calls.begin(), g_script.calls.end(), Call{"RemoveHook", target});
    ASSERT_NE(disable, g_script.calls.end());
    ASSERT_NE(remove, g_script.calls.end());
    EXPECT_LT(disable, remove);
  }
  EXPECT_EQ(g_script.calls.size(), 4u);
  EXPECT_EQ(slotA_, &a_);
  EXPECT_EQ(slotB_, &b_);
}

TEST_F(InstallDetoursTest, AHookThatCouldNotBeRemovedKeepsItsTrampoline) {
  g_script.failOp = "RemoveHook";
  g_script.failStatus = MH_ERROR_MEMORY_PROTECT;
  RemoveDetours(detours_, 2);
  // Still live: forwarding to the target would enter the detour again.
  EXPECT_EQ(slotA_, reinterpret_cast<void*>(0xDEAD));
  EXPECT_EQ(slotB_, reinterpret_cast<void*>(0xBEEF));
}

// Two real functions in executable memory, detoured by the real hook engine.
class RealDetourTest : public ::testing::Test {
 protected:
  using Fn = int64_t (*)(int64_t);
  void SetUp() override {
    code_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 0x1000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
    ASSERT_NE(code_, nullptr);
    std::memset(code_, 0xCC, 0x1000);
    // x + 1: mov rax, rcx; add rax, 1; ret
    const uint8_t plusOne[] = {0x48, 0x89, 0xC8, 0x48, 0x83, 0xC0, 0x01, 0xC3};
    // x * 2: mov rax, rcx; add rax, rax; ret
    const uint8_t twice[] = {0x48, 0x89, 0xC8, 0x48, 0x01, 0xC0, 0xC3};
    std::memcpy(code_, plusOne, sizeof(plusOne));
    std::memcpy(code_ + 0x40, twice, sizeof(twice));
    FlushInstructionCache(GetCurrentProcess(), code_, 0x1000);
    plusOne_ = reinterpret_cast<Fn>(code_);
    twice_ = reinterpret_cast<Fn>(code_ + 0x40);
    RestoreMinHookApi();
  }
  void TearDown() override {
    if (code_ != nullptr) VirtualFree(code_, 0, MEM_RELEASE);
  }

  static int64_t PlusOneDetour(int64_t x) { return original_[0](x) + 100; }
  static int64_t TwiceDetour(int64_t x) { return original_[1](x) + 1000; }

  uint8_t* code_ = nullptr;
  Fn plusOne_ = nullptr;
  Fn twice_ = nullptr;
  static inline Fn original_[2] = {nullptr, nullptr};
};

TEST_F(RealDetourTest, DetoursRunThroughTheirTrampolinesAndRemovalRestoresTheCode) {
  uint8_t before[0x48];
  std::memcpy(before, code_, sizeof(before));
  const DetourSite detours[2] = {
      {code_, reinterpret_cast<void*>(&PlusOneDetour), reinterpret_cast<void**>(&original_[0]), L"MH_CreateHook(plus one)"},
      {code_ + 0x40, reinterpret_cast<void*>(&TwiceDetour), reinterpret_cast<void**>(&original_[1]),
       L"MH_CreateHook(twice)"}};
  std::wstring message;
  ASSERT_TRUE(InstallDetours(detours, 2, L"MH_EnableHook(test pair)", message)) << testing::PrintToString(message);
  EXPECT_NE(original_[0], nullptr);
  EXPECT_NE(original_[1], nullptr);
  EXPECT_EQ(plusOne_(5), 106);
  EXPECT_EQ(twice_(5), 1010);

  const Fn fetchedInFlight = ForwardOf(original_[0]);
  RemoveDetours(detours, 2);
  // A detour still running calls what it fetched or what the slot holds now: either way the
  // host function runs once.
  EXPECT_EQ(fetchedInFlight(5), 6);
  EXPECT_EQ(ForwardOf(original_[0])(5), 6);
  EXPECT_EQ(ForwardOf(original_[1])(5), 10);
  EXPECT_EQ(plusOne_(5), 6);
  EXPECT_EQ(twice_(5), 10);
  EXPECT_EQ(std::memcmp(before, code_, sizeof(before)), 0);
  // Removing again is harmless.
  RemoveDetours(detours, 2);
  EXPECT_EQ(plusOne_(5), 6);
}

// The uninstaller's wait: it returns only once the detour inside has left, and a detour that
// arrives after the close only forwards.
TEST(DetourGate, CloseWaitsForThePassInsideAndRefusesLaterOnes) {
  DetourGate gate;
  OpenDetourGate(gate);
  std::atomic<bool> entered{false};
  std::atomic<bool> leave{false};
  std::atomic<bool> stateTouchedAfterClose{false};
  std::atomic<bool> closed{false};
  std::thread detour([&] {
    const GatePass pass(gate);
    ASSERT_TRUE(pass.Open());
    entered = true;
    while (!leave) Sleep(1);
    if (closed) stateTouchedAfterClose = true;  // would be a use after the uninstaller's reset
  });
  while (!entered) Sleep(1);
  std::thread uninstaller([&] {
    CloseDetourGate(gate);
    closed = true;
  });
  Sleep(50);
  EXPECT_FALSE(closed.load()) << "closed while a detour was still inside";
  leave = true;
  detour.join();
  uninstaller.join();
  EXPECT_TRUE(closed.load());
  EXPECT_FALSE(stateTouchedAfterClose.load());
  const GatePass late(gate);
  EXPECT_FALSE(late.Open());
  OpenDetourGate(gate);
  const GatePass reinstalled(gate);
  EXPECT_TRUE(reinstalled.Open());
}

}  // namespace
