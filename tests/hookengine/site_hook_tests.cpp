// Every hookable entry-byte sequence of both supported host builds, executed for real:
// the hook must send calls to the detour, the trampoline must behave exactly like the
// original, and disabling or removing must leave no trace.
#include <gtest/gtest.h>

#include <MinHook.h>

#include <cstring>

#include "code_region.h"
#include "hex.h"

namespace {

struct SiteCase {
  const char* name;
  const char* entry;       // the host's entry bytes
  const char* completion;  // finishes an instruction the entry bytes cut off
  int callAt;              // offset of an E8 rel32 in the entry bytes, or -1
  int callSlotAt;          // offset of an FF 15 [rip+disp32] in the entry bytes, or -1
  bool vtableCall = false; // calls through object A's vtable
};

const SiteCase kSites[] = {
    {"EngineRun", "40 55 53 56 57 41 54 41 56 48 8D 6C 24 D8 48 81 EC 28 01 00 00 48 8B F1", "", -1, -1},
    {"UpdaterRunMessage", "40 55 41 54 41 55 41 57 48 8B EC 48 83 EC 78 45 33 ED 0F 29 74 24 60 44", "0F 29 44 24 50", -1, -1},
    {"SceneRenderViewport", "48 89 5C 24 18 55 56 57 41 54 41 55 41 56 41 57 48 83 EC 50 48 8B 9A 80", "00 00 00", -1, -1},
    {"CameraSetPosition", "8B 02 4C 8D 41 10 41 89 00 8B 42 04 41 89 40 04 8B 42 08 49 8B D0 41 89", "40 08", -1, -1},
    {"CameraSetRotationMatrix", "0F 10 02 0F 11 81 F8 01 00 00 0F 10 4A 10 0F 11 89 08 02 00 00 0F 10 42", "20", -1, -1},
    {"SchedulerClock_GOG", "48 83 EC 28 E8 B5 01 46 00 48 2B 05 38 83 63 00", "", 4, -1},
    {"SchedulerClock_Steam", "48 83 EC 28 E8 35 05 46 00 48 2B 05 48 86 6B 00", "", 4, -1},
    {"InputLookAmount", "40 53 57 48 83 EC 48 48 8B F9 0F 29 74 24 30 48 8B 89 28 01 00 00 48 8B", "C1", -1, -1},
    {"ImGuiSendMousePosition", "48 89 5C 24 20 57 48 83 EC 40 8B 81 48 4E 00 00 48 8B F9 89 81 50 4E 00", "00", -1, -1},
    {"ImGuiDoMouse", "48 8B C4 41 54 41 56 41 57 48 81 EC C0 00 00 00 80 B9 A9 06 00 00 00 4D", "8B F0", -1, -1},
    {"ImGuiImageDraw", "48 8B C4 48 89 58 18 48 89 70 20 55 57 41 54 41 56 41 57 48 8D A8 F8 FE", "FF FF", -1, -1},
    {"ParticleUpdateMotion", "40 55 41 56 48 8D AC 24 B8 FD FF FF 48 81 EC 48 03 00 00 48 8B 81 38 03", "00 00", -1, -1},
    {"ParticleGraphicsUpdate", "48 8B C4 55 53 56 57 41 54 41 56 48 8D A8 68 FE FF FF 48 81 EC 68 02 00", "00", -1, -1},
    {"EntitySetMatrix_GOG", "40 53 48 81 EC B0 00 00 00 48 8B 01 48 8B D9 C6 81 CB 03 00 00 01 FF 90", "08 00 00 00", -1, -1, true},
    {"EntitySetMatrix_Steam", "40 53 48 81 EC C0 00 00 00 48 C7 84 24 B0 00 00 00 FE FF FF FF 48 8B D9", "", -1, -1},
    {"EntitySetVarBool_GOG", "48 89 5C 24 08 57 48 83 EC 20 41 0F B6 F8 48 8B D9 E8 7A CA FE FF 40 84", "FF", 17, -1},
    {"EntitySetVarBool_Steam", "48 89 5C 24 08 57 48 83 EC 20 41 0F B6 F8 48 8B D9 E8 9A BF FE FF 40 84", "FF", 17, -1},
    {"EntityGetMatrix", "40 53 48 83 EC 20 48 8B 81 F0 08 00 00 48 8B DA 48 2B 81 E8 08 00 00 48", "8B C3", -1, -1},
    {"EntityVirtualSetMatrix", "48 89 5C 24 10 57 48 81 EC 20 01 00 00 48 8B 81 F0 08 00 00 48 8B DA 48", "8B C3", -1, -1},
    {"MatrixInverse", "48 89 5C 24 08 57 48 83 EC 70 48 8B F9 0F 29 74 24 60 48 8B CA 48 8B DA", "", -1, -1},
    {"MatrixMultiply", "4C 8B DC 48 81 EC A8 00 00 00 F3 0F 10 6A 04 F3 0F 10 62 08 F3 0F 10 1A", "", -1, -1},
    {"Node3DMatrixChanged", "48 89 5C 24 10 48 89 6C 24 18 57 48 83 EC 60 FF 81 E0 00 00 00 48 8B F9", "", -1, -1},
    {"BoneStateSetMatrix", "0F 10 02 0F 11 41 3C 0F 10 4A 10 0F 11 49 4C 0F 10 42 20 0F 11 41 5C 0F", "10 4A 30", -1, -1},
    {"EntityNameResolver_GOG", "48 89 5C 24 08 48 89 6C 24 10 48 89 74 24 18 57 48 83 EC 40 48 8B 05 8D", "12 00 00", -1, -1},
    {"EntityNameResolver_Steam", "4C 8B DC 57 48 83 EC 50 49 C7 43 C8 FE FF FF FF 49 89 5B 08 49 89 6B 10", "", -1, -1},
    {"NewtonTransformCallback_GOG", "40 53 48 83 EC 20 48 8B DA FF 15 D9 F0 0B 00 8B 0B 4C 8B C0 89 48 48 8B", "C1", -1, 9},
    {"NewtonTransformCallback_Steam", "40 53 48 83 EC 20 48 8B DA FF 15 A9 12 0E 00 8B 0B 4C 8B C0 89 48 48 8B", "C1", -1, 9},
    {"PropOnUpdate_GOG", "48 89 5C 24 08 48 89 74 24 10 57 48 81 EC 80 00 00 00 44 0F 29 44 24 50", "", -1, -1},
    {"PropOnUpdate_Steam", "48 8B C4 57 48 81 EC 90 00 00 00 48 C7 40 88 FE FF FF FF 48 89 58 08 48", "8B C3", -1, -1},
    {"AgentOnUpdate_GOG", "40 57 48 83 EC 40 F3 0F 58 89 F0 03 00 00 F3 0F 10 91 EC 03 00 00 48 8B", "C1", -1, -1},
    {"AgentOnUpdate_Steam", "40 57 48 83 EC 50 48 C7 44 24 20 FE FF FF FF 48 89 5C 24 60 48 8B F9 F3", "0F 10 C1", -1, -1},
};

// The farthest reach of the sequences is about 7 MB past the entry, the nearest about
// 80 KB before it.
constexpr size_t kRegionSize = 12u << 20;
constexpr size_t kEntry = 0x100000;

int32_t Rel32At(const std::vector<uint8_t>& bytes, size_t offset) {
  int32_t v;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

void PrintTo(const SiteCase& c, std::ostream* os) { *os << c.name; }

class SiteHook : public ::testing::TestWithParam<SiteCase> {
 protected:
  void SetUp() override { ASSERT_EQ(MH_Initialize(), MH_OK); }
  void TearDown() override { EXPECT_EQ(MH_Uninitialize(), MH_OK); }
};

TEST_P(SiteHook, DetourRunsTrampolineMatchesOriginalAndNothingIsLeftBehind) {
  const SiteCase& site = GetParam();
  CodeRegion region(kRegionSize);
  std::vector<uint8_t> code = Hex(site.entry);
  const std::vector<uint8_t> completion = Hex(site.completion);
  code.insert(code.end(), completion.begin(), completion.end());
  const size_t tail = region.Put(kEntry, code);
  const size_t end = region.PutJumpToCapture(tail);
  const std::vector<uint8_t> function(region.At(kEntry), region.At(end));

  uint32_t expectedCalls = 0;
  if (site.callAt >= 0) {
    region.PutCallee(kEntry + site.callAt + 5 + Rel32At(code, site.callAt + 1));
    ++expectedCalls;
  }
  if (site.callSlotAt >= 0) {
    const uint64_t callee = region.Address(kCalleeOffset);
    std::memcpy(region.At(kEntry + site.callSlotAt + 6 + Rel32At(code, site.callSlotAt + 2)), &callee, 8);
    ++expectedCalls;
  }
  if (site.vtableCall) ++expectedCalls;
  region.Seal(kEntry, end - kEntry);
  region.Remember();
  uint8_t* target = region.At(kEntry);
  const ProbeState inputs = DefaultProbeInputs(region);

  const ProbeResult direct = RunProbe(region, target, inputs);
  ASSERT_EQ(region.Counter(), expectedCalls) << "the test function itself is not what the table says";

  void* original = nullptr;
  ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&CountingDetour), &original), MH_OK);
  ASSERT_NE(original, nullptr);
  EXPECT_EQ(function, std::vector<uint8_t>(target, target + function.size())) << "creating must not patch";
  g_detourOriginal = original;
  g_detourCalls = 0;

  ASSERT_EQ(MH_EnableHook(target), MH_OK);
  EXPECT_EQ(target[0], 0xE9);
  ProbeResult r = RunProbe(region, target, inputs);
  EXPECT_EQ(g_detourCalls, 1u);
  EXPECT_TRUE(r == direct) << "through the detour: " << DescribeDifference(r, direct);
  r = RunProbe(region, original, inputs);
  EXPECT_EQ(g_detourCalls, 1u);
  EXPECT_TRUE(r == direct) << "trampoline alone: " << DescribeDifference(r, direct);

  ASSERT_EQ(MH_DisableHook(target), MH_OK);
  EXPECT_EQ(function, std::vector<uint8_t>(target, target + function.size()));
  r = RunProbe(region, target, inputs);
  EXPECT_EQ(g_detourCalls, 1u);
  EXPECT_TRUE(r == direct) << "disabled: " << DescribeDifference(r, direct);

  ASSERT_EQ(MH_EnableHook(target), MH_OK);
  r = RunProbe(region, target, inputs);
  EXPECT_EQ(g_detourCalls, 2u);
  EXPECT_TRUE(r == direct) << "re-enabled: " << DescribeDifference(r, direct);

  ASSERT_EQ(MH_RemoveHook(target), MH_OK);
  EXPECT_EQ(function, std::vector<uint8_t>(target, target + function.size()));
  r = RunProbe(region, target, inputs);
  EXPECT_EQ(g_detourCalls, 2u);
  EXPECT_TRUE(r == direct) << "removed: " << DescribeDifference(r, direct);
  // A detour that fetched the trampoline before the removal may still call it.
  r = RunProbe(region, original, inputs);
  EXPECT_TRUE(r == direct) << "trampoline called after removal: " << DescribeDifference(r, direct);
}

INSTANTIATE_TEST_SUITE_P(HostSites, SiteHook, ::testing::ValuesIn(kSites),
                         [](const ::testing::TestParamInfo<SiteCase>& p) { return std::string(p.param.name); });

}  // namespace
