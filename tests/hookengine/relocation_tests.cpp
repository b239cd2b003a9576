// Prologue shapes the host sites do not have but a relocator must get right: short and
// near conditional jumps, loops, a jump thunk, a leading call, RIP-relative forms with an
// immediate after the displacement. Each runs for both outcomes of its branch.
#include <gtest/gtest.h>

#include <MinHook.h>

#include <cstring>
#include <functional>

#include "code_region.h"
#include "hex.h"

namespace {

constexpr size_t kRegionSize = 1u << 20;
constexpr size_t kEntry = 0x80000;

struct RelocationCase {
  const char* name;
  std::function<void(CodeRegion&)> build;  // writes the function at kEntry
  std::vector<uint64_t> rcxValues;          // one run per value
};

// mov eax, value; then back to the probe.
size_t PutResult(CodeRegion& r, size_t at, uint8_t value) {
  return r.PutJumpToCapture(r.Put(at, {0xB8, value, 0, 0, 0}));
}

const RelocationCase kCases[] = {
    {"ShortJccInsidePatch",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("85 C9 74 13"));  // test ecx,ecx; jz +0x13
       PutResult(r, kEntry + 4, 1);
       PutResult(r, kEntry + 0x17, 2);
     },
     {0, 1}},
    {"NearJccAcrossPages",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("85 C9 0F 85 F8 FF 00 00"));  // test ecx,ecx; jnz +0xFFF8
       PutResult(r, kEntry + 8, 1);
       PutResult(r, kEntry + 0x10000, 2);
     },
     {0, 1}},
    {"JrcxzThenShortInstructions",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("E3 12 31 C0 FF C0"));  // jrcxz +0x12; xor eax,eax; inc eax
       r.PutJumpToCapture(kEntry + 6);
       PutResult(r, kEntry + 20, 5);
     },
     {0, 1}},
    {"JecxzTestsOnlyEcx",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("67 E3 12 31 C0 FF C0"));  // jecxz +0x12; xor eax,eax; inc eax
       r.PutJumpToCapture(kEntry + 7);
       PutResult(r, kEntry + 21, 5);
     },
     {0x100000000, 1}},  // ECX 0 with RCX not 0: jrcxz would fall through
    {"LoopdCountsEcx",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("67 E2 12 31 C0 FF C0"));  // loopd +0x12; xor eax,eax; inc eax
       r.PutJumpToCapture(kEntry + 7);
       PutResult(r, kEntry + 21, 5);
     },
     {0x100000001, 5}},  // ECX 1: loopd stops with ECX 0, loop would go on with RCX 2^32
    {"LoopCountsDown",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("E2 12 31 C0 FF C0"));  // loop +0x12; xor eax,eax; inc eax
       r.PutJumpToCapture(kEntry + 6);
       PutResult(r, kEntry + 20, 5);
     },
     {1, 5}},
    {"JumpThunk",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("E9 FB FF 01 00"));  // jmp +0x1FFFB -> kEntry + 0x20000
       PutResult(r, kEntry + 0x20000, 3);
     },
     {0}},
    {"IndirectJumpThroughRipSlot",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("FF 25 FA 0F 00 00"));  // jmp [rip+0xFFA] -> slot at kEntry + 0x1000
       const uint64_t dest = r.Address(kEntry + 0x2000);
       std::memcpy(r.At(kEntry + 0x1000), &dest, 8);
       PutResult(r, kEntry + 0x2000, 4);
     },
     {0}},
    {"LeadingCall",
     [](CodeRegion& r) {
       r.Put(kEntry, Hex("E8 FB FF FC FF"));  // call -0x30005 -> kEntry - 0x30000
       r.PutCallee(kEntry - 0x30000);
       r.PutJumpToCapture(r.Put(kEntry + 5, Hex("48 83 C0 01")));  // add rax,1 after the return
     },
     {0}},
    {"RipLea",
     [](CodeRegion& r) { r.PutJumpToCapture(r.Put(kEntry, Hex("48 8D 05 00 50 00 00"))); },  // lea rax,[rip+0x5000]
     {0}},
    {"RipStoreWithImmediate",
     [](CodeRegion& r) {  // mov dword [rip+0x3000], 0x12345678; cmp byte [same place], 0x78; sete al
       r.PutJumpToCapture(r.Put(kEntry, Hex("C7 05 00 30 00 00 78 56 34 12 80 3D F9 2F 00 00 78 0F 94 C0")));
     },
     {0}},
};

void PrintTo(const RelocationCase& c, std::ostream* os) { *os << c.name; }

class Relocation : public ::testing::TestWithParam<RelocationCase> {
 protected:
  void SetUp() override { ASSERT_EQ(MH_Initialize(), MH_OK); }
  void TearDown() override { EXPECT_EQ(MH_Uninitialize(), MH_OK); }
};

TEST_P(Relocation, TrampolineTakesTheSamePathAsTheOriginal) {
  const RelocationCase& c = GetParam();
  CodeRegion region(kRegionSize);
  c.build(region);
  region.Seal(kEntry, 64);
  region.Remember();
  uint8_t* target = region.At(kEntry);
  const std::vector<uint8_t> before(target, target + 32);

  std::vector<ProbeResult> direct;
  for (uint64_t rcx : c.rcxValues) {
    ProbeState in = DefaultProbeInputs(region);
    in.in[kRcx] = rcx;
    direct.push_back(RunProbe(region, target, in));
  }
  if (direct.size() == 2) {
    ASSERT_FALSE(direct[0] == direct[1]) << "both inputs take the same path";
  }

  void* original = nullptr;
  ASSERT_EQ(MH_CreateHook(target, reinterpret_cast<void*>(&CountingDetour), &original), MH_OK);
  g_detourOriginal = original;
  g_detourCalls = 0;
  ASSERT_EQ(MH_EnableHook(target), MH_OK);
  for (size_t i = 0; i < c.rcxValues.size(); ++i) {
    ProbeState in = DefaultProbeInputs(region);
    in.in[kRcx] = c.rcxValues[i];
    const ProbeResult hooked = RunProbe(region, target, in);
    EXPECT_TRUE(hooked == direct[i]) << "rcx=" << c.rcxValues[i] << ": " << DescribeDifference(hooked, direct[i]);
  }
  EXPECT_EQ(g_detourCalls, c.rcxValues.size());
  ASSERT_EQ(MH_RemoveHook(target), MH_OK);
  EXPECT_EQ(before, std::vector<uint8_t>(target, target + 32));
}

INSTANTIATE_TEST_SUITE_P(Prologues, Relocation, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RelocationCase>& p) { return std::string(p.param.name); });

}  // namespace
