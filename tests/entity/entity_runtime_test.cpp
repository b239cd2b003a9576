// The entity runtime's installer on a host image of the supported build: which sites it checks,
// which hooks it makes, and what every failure leaves behind (nothing).
#include "entity/entity_runtime.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "entity/entity_test_host.h"
#include "host/host_validation.h"
#include "host/minhook_api.h"
#include "pose/pose_layout.h"
#include "pose/pose_state.h"
#include "pose/skeleton_test_host.h"
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
// Per target: the detour handed to CreateHook, and what the hook's trampoline should run instead of 0x5151.
std::map<void*, void*> g_detours;
std::map<void*, void*> g_forwards;

MH_STATUS WINAPI FakeInitialize() { return MH_OK; }
MH_STATUS WINAPI FakeCreateHook(LPVOID target, LPVOID detour, LPVOID* original) {
  g_script.calls.push_back({"Create", target});
  if (g_script.failOp == "CreateHook" && ++g_script.creates == g_script.failOnCall) return MH_ERROR_NOT_EXECUTABLE;
  g_detours[target] = detour;
  const auto forward = g_forwards.find(target);
  *original = forward != g_forwards.end() ? forward->second : reinterpret_cast<LPVOID>(0x5151);
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

namespace {

constexpr SiteId kResolver = SiteId::EntityNameResolver;
constexpr SiteId kPropUpdate = SiteId::PropOnUpdate;
constexpr SiteId kAgentUpdate = SiteId::AgentOnUpdate;

struct PoseCase {
  const char* label;
  bool handsRoot, worldRoot, diagnostics, handsPose, ragdollPose;
  bool placeAgent;
  const char* failOp;
  int failOnCall;
  bool installed;
  const wchar_t* message;
  std::vector<std::pair<const char*, SiteId>> calls;
  bool agents;
};

class PoseRuntimeInstallTest : public EntityRuntimeInstallTest {
 protected:
  void SetUp() override {
    EntityRuntimeInstallTest::SetUp();
    g_detours.clear();
    g_forwards.clear();
  }
  void TearDown() override {
    EntityRuntimeInstallTest::TearDown();
  }
  static void PlaceAll(FakePeImage& image, bool agent) {
    Place(image, SiteId::EngineRun);
    for (SiteId id : {kSetMatrix, kSetVarBool, SiteId::EntityGetMatrix, SiteId::EntityVirtualSetMatrix,
                      SiteId::MatrixInverse, SiteId::MatrixMultiply, SiteId::NodeMatrixChanged, kNewton,
                      SiteId::BoneStateSetMatrix, kResolver, kPropUpdate})
      Place(image, id);
    if (agent) {
      Place(image, kAgentUpdate);
      Place(image, SiteId::AgentMeshGetter);
    }
  }
};

TEST_F(PoseRuntimeInstallTest, PoseDetoursJoinInTheirPlaceAndEveryFailureUndoesItsShare) {
  const PoseCase cases[] = {
      {"hands pose: resolver made after SetMatrix, enabled after it", true, false, false, true, false, true, "", 0,
       true, L"",
       {{"Create", kSetMatrix}, {"Create", kResolver}, {"Enable", kSetMatrix}, {"Enable", kResolver},
        {"Create", kSetVarBool}, {"Enable", kSetVarBool}},
       false},
      {"ragdoll pose: prop, then agent update", false, true, false, false, true, true, "", 0, true, L"",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Enable", kSetMatrix},
        {"Create", kPropUpdate}, {"Enable", kPropUpdate}, {"Create", kAgentUpdate}, {"Enable", kAgentUpdate}},
       true},
      {"agent sites damaged: installed without agents", false, true, false, false, true, false, "", 0, true, L"",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Enable", kSetMatrix},
        {"Create", kPropUpdate}, {"Enable", kPropUpdate}},
       false},
      {"agent enable fails: installed without agents", false, true, false, false, true, true, "EnableHook", 4, true,
       L"",
       {{"Create", kSetMatrix}, {"Create", kNewton}, {"Enable", kNewton}, {"Enable", kSetMatrix},
        {"Create", kPropUpdate}, {"Enable", kPropUpdate}, {"Create", kAgentUpdate}, {"Enable", kAgentUpdate},
        {"Remove", kAgentUpdate}},
       false},
      {"resolver create fails", true, false, false, true, false, true, "CreateHook", 2, false,
       L"MH_CreateHook(entity-name resolver) failed: MH_ERROR_NOT_EXECUTABLE (7).",
       {{"Create", kSetMatrix}, {"Create", kResolver}, {"Remove", kSetMatrix}}, false},
      {"resolver enable fails", true, false, true, true, false, true, "EnableHook", 3, false,
       L"MH_EnableHook(entity-name resolver) failed: MH_ERROR_MEMORY_PROTECT (10).",
       {{"Create", kSetMatrix}, {"Create", kResolver}, {"Create", kNewton}, {"Enable", kNewton},
        {"Enable", kSetMatrix}, {"Enable", kResolver}, {"Disable", kNewton}, {"Remove", kNewton},
        {"Disable", kSetMatrix}, {"Remove", kSetMatrix}, {"Remove", kResolver}},
       false},
      {"prop update enable fails: everything uninstalled", true, true, false, true, true, true, "EnableHook", 5, false,
       L"MH_EnableHook(cLuxProp::OnUpdate) failed: MH_ERROR_MEMORY_PROTECT (10).",
       {{"Create", kSetMatrix}, {"Create", kResolver}, {"Create", kNewton}, {"Enable", kNewton},
        {"Enable", kSetMatrix}, {"Enable", kResolver}, {"Create", kSetVarBool}, {"Enable", kSetVarBool},
        {"Create", kPropUpdate}, {"Enable", kPropUpdate}, {"Disable", kPropUpdate}, {"Remove", kPropUpdate},
        {"Disable", kSetVarBool}, {"Remove", kSetVarBool}, {"Disable", kNewton}, {"Remove", kNewton},
        {"Disable", kResolver}, {"Remove", kResolver}, {"Disable", kSetMatrix}, {"Remove", kSetMatrix}},
       false},
  };
  for (const PoseCase& c : cases) {
    FakePeImage image({}, BuildMappings()[0].imageSize, FakePeMemory::CommitHeadersOnly);
    PlaceAll(image, c.placeAgent);
    ASSERT_NE(IdentifyBuild(image.module()), nullptr);
    HMODULE newton = LoadLibraryA(FRAMOLT_TEST_NEWTON_DLL);
    g_script = Script{c.failOp, c.failOnCall, {}, 0, 0};

    std::wstring message;
    EXPECT_EQ(InstallEntityRuntime(image.module(), c.handsRoot, c.handsPose, c.worldRoot, c.ragdollPose,
                                   c.diagnostics, message),
              c.installed)
        << c.label;
    EXPECT_EQ(message, c.message) << c.label;
    std::vector<Call> expected;
    for (const auto& [op, site] : c.calls) expected.push_back({op, SiteAddress(image.module(), site)});
    EXPECT_EQ(g_script.calls, expected) << c.label;
    EXPECT_EQ(EntityFlags().handsPose, c.installed && c.handsPose) << c.label;
    EXPECT_EQ(EntityFlags().ragdollPose, c.installed && c.ragdollPose) << c.label;
    EXPECT_EQ(EntityHost().agentOnUpdate != nullptr, c.agents) << c.label;
    UninstallEntityRuntime();
    FreeLibrary(newton);
    ClearIdentifiedBuildForTest();
  }
}

// The host's agent update, as the game declares it.
struct Seen {
  void* object;
  float step;
  uintptr_t c, d;
  int calls;
};
Seen g_seen;
uint64_t HostAgentUpdate(void* agent, float step, uintptr_t c, uintptr_t d) {
  g_seen = {agent, step, c, d, g_seen.calls + 1};
  return 0xABCD;
}

TEST_F(PoseRuntimeInstallTest, UpdateDetourForwardsEveryArgumentThenRegistersTheAgent) {
  FakePeImage image({}, BuildMappings()[0].imageSize, FakePeMemory::CommitHeadersOnly);
  PlaceAll(image, true);
  ASSERT_NE(IdentifyBuild(image.module()), nullptr);
  void* const agentSite = SiteAddress(image.module(), kAgentUpdate);
  g_forwards[agentSite] = reinterpret_cast<void*>(&HostAgentUpdate);
  HMODULE newton = LoadLibraryA(FRAMOLT_TEST_NEWTON_DLL);
  g_script = Script{};
  g_seen = Seen{};
  std::wstring message;
  ASSERT_TRUE(InstallEntityRuntime(image.module(), false, false, true, true, false, message)) << message.c_str();

  void* vtable[45] = {};
  vtable[pose_layout::kAgentVtableMesh] = SiteAddress(image.module(), SiteId::AgentMeshGetter);
  vtable[pose_layout::kAgentVtableUpdate] = agentSite;
  entity_test::TestEntity agent("agent_grunt", 0, entity_test::Pose(0.0f, 0.0f, 0.0f, 0.0f));
  agent.SetVtable(vtable);
  pose_test::TestSkeleton skeleton(4);
  skeleton.AttachTo(agent.get(), pose_layout::kAgentSkeleton);

  const auto update = reinterpret_cast<uint64_t (*)(void*, float, uintptr_t, uintptr_t)>(g_detours[agentSite]);
  EXPECT_EQ(update(agent.get(), 0.0125f, 33, 44), 0xABCDu);
  EXPECT_EQ(g_seen.object, agent.get());
  EXPECT_EQ(g_seen.step, 0.0125f) << "the float argument arrives in its own register";
  EXPECT_EQ(g_seen.c, 33u);
  EXPECT_EQ(g_seen.d, 44u);
  EXPECT_EQ(TheSkeletalProps().records[0].entity, agent.get());
  EXPECT_TRUE(TheSkeletalProps().records[0].isAgent);
  EXPECT_EQ(g_seen.calls, 1);
  UninstallEntityRuntime();
  FreeLibrary(newton);
}

}  // namespace
