// Physics bodies from callback to render on body objects laid out in real memory as the host lays
// them out: staging, the registry across ticks, apply and restore, and what identity changes do.
#include "entity/newton_bodies.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "entity/entity_counters.h"
#include "entity/entity_runtime.h"
#include "entity/interpolation_report.h"
#include "interp/interp_test_support.h"

namespace {

// Body objects in committed memory: name (inline host string) at +16, matrix at +72, Newton body at +688.
class BodyObjects {
 public:
  explicit BodyObjects(size_t count)
      : base_(static_cast<uint8_t*>(VirtualAlloc(nullptr, count * 1024, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
  ~BodyObjects() { VirtualFree(base_, 0, MEM_RELEASE); }

  uint8_t* Object(size_t i) const { return base_ + i * 1024; }
  void* Newton(size_t i) const { return reinterpret_cast<void*>(0x5000 + 16 * i); }
  void Make(size_t i, const std::string& name, float x) {
    Rename(i, name);
    *Matrix(i) = At(x);
    void* newton = Newton(i);
    std::memcpy(Object(i) + 688, &newton, sizeof(newton));
  }
  void Rename(size_t i, const std::string& name) {
    const uint64_t sizeAndCapacity[2] = {name.size(), 15};
    std::memset(Object(i) + 16, 0, 16);
    std::memcpy(Object(i) + 16, name.data(), name.size());
    std::memcpy(Object(i) + 32, sizeAndCapacity, 16);
  }
  static RigidMatrix At(float x) { return Translated(RotationY(0.0f), x, 1.0f, 0.0f); }
  RigidMatrix* Matrix(size_t i) const { return reinterpret_cast<RigidMatrix*>(Object(i) + 72); }
  void Record(size_t i) { RecordNewtonBody(Object(i), Newton(i)); }

 private:
  uint8_t* base_;
};

// What the host's matrix-changed call does to the matrix it was told about.
enum class HostReaction { Accept, MoveElsewhere, Corrupt };
HostReaction g_reaction = HostReaction::Accept;
int g_changedCalls = 0;

void NodeMatrixChanged(void* node, bool flag) {
  ++g_changedCalls;
  EXPECT_TRUE(flag);
  auto* matrix = reinterpret_cast<RigidMatrix*>(static_cast<uint8_t*>(node) + 72);
  if (g_changedCalls == 1 && g_reaction == HostReaction::MoveElsewhere) matrix->m[3] = 100.0f;
  if (g_changedCalls == 1 && g_reaction == HostReaction::Corrupt) matrix->m[15] = 0.0f;
}

class NewtonBodies : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearNewtonTables();
    ClearProbeTables();
    ZeroEntityCounters();
    MutableEntityFlags() = EntityRuntimeFlags{};
    MutableEntityFlags().worldRoot = true;
    EntityHostFunctions host;
    host.nodeMatrixChanged = NodeMatrixChanged;
    SetEntityHostFunctions(host);
    g_reaction = HostReaction::Accept;
    g_changedCalls = 0;
  }
  void TearDown() override {
    ClearNewtonTables();
    MutableEntityFlags() = EntityRuntimeFlags{};
    SetEntityHostFunctions(EntityHostFunctions{});
  }
  // Ticks 10 and 11 with the body at x = 0 then 2 (2 reported after an earlier 1 in the same tick).
  void MoveThroughTwoTicks() {
    bodies.Make(0, "crate", 0.0f);
    bodies.Record(0);
    DrainNewtonStage(10, kGeneration);
    for (float x : {1.0f, 2.0f}) {
      *bodies.Matrix(0) = BodyObjects::At(x);
      bodies.Record(0);
    }
    DrainNewtonStage(11, kGeneration);
  }

  static constexpr uint64_t kGeneration = 3;
  const ClockSample quarter = InterpolatedSample(10, 11, 0.25, kGeneration);
  BodyObjects bodies{1};
};

TEST_F(NewtonBodies, MovedInTwoTicksIsDrawnBetweenThemThenDroppedWhenAtRest) {
  MoveThroughTwoTicks();
  EXPECT_EQ(TheEntityCounters().newtonPublished, 2u) << "one staged entry per body and tick";
  ASSERT_EQ(LiveNewtonBodyCount(), 1u);

  ASSERT_TRUE(ApplyNewtonBody(0, quarter));
  EXPECT_FLOAT_EQ(bodies.Matrix(0)->m[3], 0.5f);
  EXPECT_EQ(g_changedCalls, 1);
  EXPECT_FALSE(ApplyNewtonBody(0, InterpolatedSample(10, 11, 0.75, kGeneration))) << "it would save our own write";
  ASSERT_TRUE(RestoreNewtonBody(0));
  EXPECT_FLOAT_EQ(bodies.Matrix(0)->m[3], 2.0f);
  EXPECT_TRUE(RestoreNewtonBody(0)) << "nothing left to restore";
  EXPECT_EQ(TheEntityCounters().newtonApplied, 1u);

  DrainNewtonStage(12, kGeneration);
  EXPECT_EQ(LiveNewtonBodyCount(), 0u);
  EXPECT_FALSE(ApplyNewtonBody(0, InterpolatedSample(11, 12, 0.5, kGeneration)));
  EXPECT_FLOAT_EQ(bodies.Matrix(0)->m[3], 2.0f);
}

TEST_F(NewtonBodies, ABodyNoLongerItselfIsNeverWritten) {
  struct Case {
    const char* what;
    void (*change)(BodyObjects&);
  } cases[] = {
      {"another Newton body", [](BodyObjects& b) { std::memset(b.Object(0) + 688, 0x11, 8); }},
      {"renamed", [](BodyObjects& b) { b.Rename(0, "barrel"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    MoveThroughTwoTicks();
    c.change(bodies);
    EXPECT_FALSE(ApplyNewtonBody(0, quarter));
    EXPECT_FLOAT_EQ(bodies.Matrix(0)->m[3], 2.0f);
    EXPECT_EQ(LiveNewtonBodyCount(), 0u);
    EXPECT_EQ(TheEntityCounters().newtonFail, 1u);

    MoveThroughTwoTicks();   // changed between apply and restore: left as it is
    ASSERT_TRUE(ApplyNewtonBody(0, quarter));
    c.change(bodies);
    EXPECT_FALSE(RestoreNewtonBody(0));
    EXPECT_EQ(g_changedCalls, 1);
  }
}

TEST_F(NewtonBodies, AWriteTheHostDoesNotKeepIsUndoneAtOnce) {
  // Corrupt: the host leaves a non-rigid matrix; the game's own must go back all the same.
  for (const HostReaction reaction : {HostReaction::MoveElsewhere, HostReaction::Corrupt}) {
    SCOPED_TRACE(static_cast<int>(reaction));
    SetUp();
    MoveThroughTwoTicks();
    g_reaction = reaction;
    EXPECT_FALSE(ApplyNewtonBody(0, quarter));
    EXPECT_TRUE(BytewiseEqual(*bodies.Matrix(0), BodyObjects::At(2.0f)));
    EXPECT_EQ(TheEntityCounters().newtonFail, 1u);
    EXPECT_EQ(TheEntityCounters().newtonRestoreFail, 0u);
    EXPECT_EQ(LiveNewtonBodyCount(), 1u);
    EXPECT_FALSE(ApplyNewtonBody(0, quarter)) << "history reset: two new ticks first";
  }
}

TEST_F(NewtonBodies, WorkersStagingAtOnceFillTheStageAndLoseOnlyTheBodyPastIt) {
  // Every callback of the one body left out finds the stage full.
  constexpr size_t kThreads = 4, kBodies = kNewtonBodyCapacity + 1, kRounds = 20;
  BodyObjects many(kBodies);
  for (size_t i = 0; i < kBodies; ++i) many.Make(i, "box" + std::to_string(i), 0.0f);
  std::vector<std::thread> workers;
  for (size_t t = 0; t < kThreads; ++t) {
    workers.emplace_back([&many, t] {
      for (size_t round = 0; round < kRounds; ++round)
        for (size_t i = t; i < kBodies; i += kThreads) many.Record(i);
    });
  }
  for (std::thread& worker : workers) worker.join();
  DrainNewtonStage(10, kGeneration);
  EXPECT_EQ(LiveNewtonBodyCount(), kNewtonBodyCapacity);
  EXPECT_EQ(TheEntityCounters().newtonStageOverflow.load(), kRounds);
}

TEST_F(NewtonBodies, DiagnosticsAloneStageNothingButProbeAndCountInvalid) {
  MutableEntityFlags().worldRoot = false;
  MutableEntityFlags().diagnostics = true;
  bodies.Make(0, "crate", 0.0f);
  bodies.Record(0);
  RecordNewtonBody(nullptr, bodies.Newton(0));
  bodies.Rename(0, "");
  bodies.Record(0);
  DrainNewtonStage(10, kGeneration);
  EXPECT_EQ(LiveNewtonBodyCount(), 0u);
  EXPECT_EQ(TakeNewtonProbeLine(),
            L"Newton body transform probe: bodies/callbacks/changed/invalid/lock-drop/registry-overflow=1/1/0/2/0/0; "
            L"top name(callbacks/changed): crate(1/0).");
}

}  // namespace
