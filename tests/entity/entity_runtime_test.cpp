// The entity runtime's installer on a host image of the supported build: which sites it checks,
// which hooks it makes, and what every failure leaves behind (nothing).
#include "entity/entity_runtime.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host_validation.h"
#include "host/minhook_api.h"
#include "support/fake_pe_image.h"

namespace {

struct Call {
  std::string op;
  void* target;
  bool operator==(const Call& other) const { return op == other.op && target == other.target; }
};
void PrintTo(const Call& call, std::ostream* out) { *out << call.op << "(" << call.target << ")"; }

struct Script {
  std::string failOp;   // "CreateHook" or "EnableHook"
  int failOnCall = 0;   // 1-based count of that op
  std::vector<Call> calls;
  int creates = 0;
  int enables = 0;
};
Script g_script;

MH_STATUS WINAPI FakeInitialize() { return MH_OK; }
MH_STATUS WINAPI FakeCreateHook(LPVOID target, LPVOID, LPVOID* original) {
  g_script.calls.push_back({"Create", target});
  if (g_script.failOp == "CreateHook" && ++g_script.creates == g_script.failOnCall) return MH_ERROR_NOT_EXECUTABLE;
  *original = reinterpret_cast<LPVOID>(0x5151);
  return MH_OK;
}
MH_STATUS WINAPI FakeEnableHook(LPVOID target) {
  g_script.calls.push_back({"Enable", target});
  if (g_script.failOp == "EnableHook" && ++g_script.enables == g_script.failOnCall) return MH_ERROR_MEMORY_PROTECT;
  return MH_OK;
}
MH_STATUS WINAPI FakeDisableHook(LPVOID target) {
  g_script.calls.push_back({"Disable", target});
  return MH_OK;
}
MH_STATUS WINAPI FakeRemoveHook(LPVOID target) {
  g_script.calls.push_back({"Remove", target});
  return MH_OK;
}

constexpr SiteId kSetMatrix = SiteId::EntitySetMatrix;
constexpr SiteId kSetVarBool = SiteId::EntitySetVarBool;
constexpr SiteId kNewton = SiteId::NewtonTransformCallback;

struct Case {
  const char* label;
  bool handsRoot, worldRoot, diagnostics, handsPose;
  bool newtonLoaded;
  bool placeSetVarBool;
  const char* failOp;
  int failOnCall;
  bool installed;
  const wchar_t* message;
  std::vector<std::pair<const char*, SiteId>> calls;
};

class EntityRuntimeInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MinHook() = MinHookApi{&FakeInitialize, &FakeCreateHook, &FakeEnableHook, &FakeDisableHook, &FakeRemoveHook};
  }
  void TearDown() override {
    UninstallEntityRuntime();
    RestoreMinHookApi();
    ClearIdentifiedBuildForTest();
  }

  static void Place(FakePeImage& image, SiteId id) {
    const HostSite& site = BuildMappings()[0].sites[static_cast<size_t>(id)];
    image.place(static_cast<uint32_t>(site.rva), site.bytes, site.length);
  }
};

TEST_F(EntityRuntimeInstallTest, InstallsItsDetoursInOrderAndUndoesEveryFailureCompletely) {
  const wchar_t* const kEntryBytes = L"Player-root native entry bytes do not match the supported build.";
  const Case cases[] = {
      {"diagnostics probe", false, false, true, false, true, true, "", 0, true, L"",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Enable", kSetMatrix}}},
      {"hands root alone", true, false, false, false, false, true, "", 0, true, L"",
       {{"Create", kSetMatrix}, {"Enable", kSetMatrix}, {"Create", kSetVarBool}, {"Enable", kSetVarBool}}},
      {"SetVarBool unchecked without hands root", false, true, false, false, true, false, "", 0, true, L"",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Enable", kSetMatrix}}},
      {"SetVarBool damaged with hands root", true, false, false, false, false, false, "", 0, false, kEntryBytes, {}},
      {"pose interpolation refused", true, false, false, true, false, true, "", 0, false,
       L"Skeletal pose interpolation is not available in this build.", {}},
      {"no Newton.dll", false, false, true, false, false, true, "", 0, false,
       L"NewtonBodyGetUserData was unavailable for the guarded world-body probe.", {}},
      {"SetMatrix create fails", false, false, true, false, true, true, "CreateHook", 1, false,
       L"MH_CreateHook(cLuxEntity::SetMatrix) failed: MH_ERROR_NOT_EXECUTABLE (7).", {{"Create", kSetMatrix}}},
      {"Newton create fails", false, true, false, false, true, true, "CreateHook", 2, false,
       L"MH_CreateHook(Newton transform callback) failed: MH_ERROR_NOT_EXECUTABLE (7).",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Remove", kSetMatrix}}},
      {"Newton enable fails", false, true, false, false, true, true, "EnableHook", 1, false,
       L"MH_EnableHook(Newton transform callback) failed: MH_ERROR_MEMORY_PROTECT (10).",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Remove", kNewton}, {"Remove", kSetMatrix}}},
      {"SetMatrix enable fails after Newton", false, false, true, false, true, true, "EnableHook", 2, false,
       L"MH_EnableHook(cLuxEntity::SetMatrix) failed: MH_ERROR_MEMORY_PROTECT (10).",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Enable", kSetMatrix},
        {"Disable", kNewton}, {"Remove", kNewton}, {"Remove", kSetMatrix}}},
      {"SetVarBool enable fails: everything uninstalled", true, true, false, false, true, true, "EnableHook", 3, false,
       L"MH_EnableHook(cLuxEntity::SetVarBool) failed: MH_ERROR_MEMORY_PROTECT (10).",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Enable", kSetMatrix},
        {"Create", kSetVarBool}, {"Enable", kSetVarBool}, {"Disable", kSetVarBool}, {"Remove", kSetVarBool},
        {"Disable", kNewton}, {"Remove", kNewton}, {"Disable", kSetMatrix}, {"Remove", kSetMatrix}}},
  };
  for (const Case& c : cases) {
    FakePeImage image({}, BuildMappings()[0].imageSize, FakePeMemory::CommitHeadersOnly);
    Place(image, SiteId::EngineRun);
    for (SiteId id : {kSetMatrix, SiteId::EntityGetMatrix, SiteId::EntityVirtualSetMatrix, SiteId::MatrixInverse,
                      SiteId::MatrixMultiply, SiteId::NodeMatrixChanged, kNewton})
      Place(image, id);
    if (c.placeSetVarBool) Place(image, kSetVarBool);
    ASSERT_NE(IdentifyBuild(image.module()), nullptr);
    HMODULE newton = c.newtonLoaded ? LoadLibraryA(FRAMOLT_TEST_NEWTON_DLL) : nullptr;
    ASSERT_EQ(newton != nullptr, c.newtonLoaded) << c.label;
    g_script = Script{c.failOp, c.failOnCall, {}, 0, 0};

    std::wstring message;
    EXPECT_EQ(InstallEntityRuntime(image.module(), c.handsRoot, c.handsPose, c.worldRoot, false, c.diagnostics, message),
              c.installed)
        << c.label;
    EXPECT_EQ(message, c.message) << c.label;
    std::vector<Call> expected;
    for (const auto& [op, site] : c.calls) expected.push_back({op, SiteAddress(image.module(), site)});
    EXPECT_EQ(g_script.calls, expected) << c.label;
    EXPECT_EQ(EntityFlags().hostBase != 0, c.installed) << c.label;
    if (c.installed) {
      EXPECT_EQ(EntityFlags().handsRoot, c.handsRoot) << c.label;
      EXPECT_EQ(EntityFlags().worldRoot, c.worldRoot) << c.label;
      EXPECT_EQ(EntityHost().newtonBodyGetUserData != nullptr, c.worldRoot || c.diagnostics) << c.label;
    } else {
      EXPECT_EQ(EntityHost().getMatrix, nullptr) << c.label << ": nothing of a failed installation is kept";
    }
    UninstallEntityRuntime();
    if (newton != nullptr) FreeLibrary(newton);
    ClearIdentifiedBuildForTest();
  }
}

}  // namespace
