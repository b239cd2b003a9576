// The probe tables and the report's rules: top-list order and cut, entries keyed and re-initialised
// as the host reuses addresses, the five-second cadence, and the node figures of the root probe.
#include "entity/interpolation_report.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "entity/entity_counters.h"
#include "entity/entity_runtime.h"
#include "interp/interp_test_support.h"

namespace {

RigidMatrix At(float x) { return Translated(RotationY(0.0f), x, 0.0f, 0.0f); }

EntityName Name(const std::string& text) {
  EntityName name;
  CopyEntityName(text.data(), text.size(), &name);
  return name;
}

const void* FakeObject(uintptr_t i) { return reinterpret_cast<const void*>(0x10000 + 64 * i); }

class ReportProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearProbeTables();
    ZeroEntityCounters();
    MutableEntityFlags() = EntityRuntimeFlags{};
    MutableEntityFlags().diagnostics = true;
  }
  void TearDown() override {
    ClearProbeTables();
    MutableEntityFlags() = EntityRuntimeFlags{};
  }
};

TEST_F(ReportProbe, TopListIsMostChangedThenMostCalledCutAtTwelve) {
  // Body i: i + 1 callbacks, i changes. "t03" ties b03 on changes with one callback more.
  for (uintptr_t i = 0; i < 13; ++i) {
    const std::string name = (i < 10 ? "b0" : "b") + std::to_string(i);
    for (uintptr_t k = 0; k <= i; ++k) RecordNewtonProbe(FakeObject(i), Name(name), At(static_cast<float>(k)));
  }
  for (float x : {0.0f, 1.0f, 2.0f, 3.0f, 3.0f}) RecordNewtonProbe(FakeObject(13), Name("t03"), At(x));

  std::wstring top;
  for (int i = 12; i >= 2; --i) {
    if (i == 3) top += L"t03(5/3), ";
    top += (i < 10 ? L"b0" : L"b") + std::to_wstring(i) + L"(" + std::to_wstring(i + 1) + L"/" + std::to_wstring(i) + L")";
    if (i > 2) top += L", ";
  }
  EXPECT_EQ(TakeNewtonProbeLine(),
            L"Newton body transform probe: bodies/callbacks/changed/invalid/lock-drop/registry-overflow=14/96/81/0/0/0; "
            L"top name(callbacks/changed): " + top + L".");
  EXPECT_EQ(TakeNewtonProbeLine(),
            L"Newton body transform probe: bodies/callbacks/changed/invalid/lock-drop/registry-overflow=0/0/0/0/0/0; "
            L"top name(callbacks/changed): <none>.");
}

TEST_F(ReportProbe, SetMatrixEntriesAreKeyedByCallerAndStartAfreshUnderANewName) {
  void* entity = reinterpret_cast<void*>(0x7000);
  const RigidMatrix m0 = At(0.0f), m1 = At(1.0f), m5 = At(5.0f);
  RigidMatrix flat = At(0.0f);
  flat.m[15] = 0.0f;
  RecordSetMatrix(entity, "door", &m0, 0x10, 0x20);
  RecordSetMatrix(entity, "door", &m1, 0x10, 0x20);
  RecordSetMatrix(entity, "door", &m0, 0x11, 0x20);
  RecordSetMatrix(entity, "door", &m0, 0x11, 0x20);
  RecordSetMatrix(entity, "lamp", &m5, 0x10, 0x30);   // the address reused by another entity
  RecordSetMatrix(entity, "door", nullptr, 0x10, 0x20);
  RecordSetMatrix(entity, "door", &flat, 0x10, 0x20);
  RecordSetMatrix(entity, "", &m0, 0x10, 0x20);
  EXPECT_EQ(TakeSetMatrixProbeLine(),
            L"Generic entity SetMatrix probe: entities/callbacks/changed/invalid/lock-drop/registry-overflow=2/3/0/3/0/0; "
            L"top name(callbacks/changed): door(2/0, caller=0x11, vtable=0x20), lamp(1/0, caller=0x10, vtable=0x30).");
}

TEST_F(ReportProbe, ReportRunsFiveSecondsAfterItsFirstChanceAndEmptiesWhatItShows) {
  RecordNewtonProbe(FakeObject(0), Name("crate"), At(0.0f));
  TheEntityCounters().heldApplied = 4;
  InterpolationReportAt(1000);
  InterpolationReportAt(5999);
  EXPECT_EQ(TheEntityCounters().heldApplied, 4u);
  EXPECT_NE(TakeNewtonProbeLine().find(L"=1/1/0/"), std::wstring::npos) << "no report yet";

  RecordNewtonProbe(FakeObject(0), Name("crate"), At(0.0f));
  InterpolationReportAt(6000);
  EXPECT_EQ(TheEntityCounters().heldApplied, 0u);
  EXPECT_NE(TakeNewtonProbeLine().find(L"=0/0/0/"), std::wstring::npos) << "reported and emptied";
}

TEST(RootProbeNodes, ReferenceIndexAndNodeCountFromTheBodyNodeVector) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  auto* page = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(page + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old));
  const uintptr_t nodes[3] = {0xA0, 0xB0, 0xC0};
  std::memcpy(page + 3000, nodes, sizeof(nodes));
  const auto begin = reinterpret_cast<uintptr_t>(page + 3000), noAccess = begin - 3000 + info.dwPageSize;
  struct Case {
    const char* what;
    uintptr_t vector[2], reference;   // begin, end
    RootProbeNodes expected;
  } cases[] = {
      {"reference second", {begin, begin + 24}, 0xB0, {3, 1}},
      {"no reference: the first", {begin, begin + 24}, 0, {3, 0}},
      {"reference not attached", {begin, begin + 24}, 0xD0, {3, -1}},
      {"not whole pointers", {begin, begin + 12}, 0, {0, -1}},
      {"array unreadable", {noAccess, noAccess + 16}, 0, {0, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::memcpy(page + 2280, c.vector, 16);
    std::memcpy(page + 2488, &c.reference, 8);
    const RootProbeNodes read = ReadRootProbeNodes(page);
    EXPECT_EQ(read.nodes, c.expected.nodes);
    EXPECT_EQ(read.referenceIndex, c.expected.referenceIndex);
  }
  VirtualFree(page, 0, MEM_RELEASE);
}

}  // namespace
