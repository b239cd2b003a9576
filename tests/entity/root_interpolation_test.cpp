// Root capture, render apply and restore on entities laid out as the host lays them out.
#include "entity/root_interpolation.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "entity/entity_counters.h"
#include "entity/entity_runtime.h"
#include "entity/entity_test_host.h"
#include "entity/root_registries.h"
#include "interp/viewport_render.h"

namespace {

using entity_test::Calls;
using entity_test::Pose;
using entity_test::TestEntity;

constexpr size_t kNodes = 4;

class RootInterpolationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    entity_test::UseTestHost();
    EntityRuntimeFlags& flags = MutableEntityFlags();
    flags = EntityRuntimeFlags{};
    flags.hostBase = 1;
    flags.handsRoot = true;
    ClearRootRegistries();
    ClearRootStagings();
    ZeroEntityCounters();
    PublishWorldYawPreview(0.0f, 0.0f, 0.0f, 0.0f);
  }
  void TearDown() override {
    EntityRenderRestore();
    ClearRootRegistries();
    ClearRootStagings();
    MutableEntityFlags() = EntityRuntimeFlags{};
  }

  static EntityName Name(const std::string& text) {
    EntityName name;
    CopyEntityName(text.data(), text.size(), &name);
    return name;
  }

  // What the SetMatrix detour would register for this entity under its current name.
  static void Register(EntityKind kind, TestEntity& e, const std::string& name, const RigidMatrix& m) {
    RootRegistries& r = TheRootRegistries();
    const uint64_t vtable = EntityVtableRva(e.get());
    switch (kind) {
      case EntityKind::PlayerHands: SetRootSlot(r.hands, e.get(), m); break;
      case EntityKind::PlayerBody: SetRootSlot(r.body, e.get(), m); break;
      case EntityKind::HeldAccessory: RegisterHeld(e.get(), m, Name(name)); break;
      case EntityKind::Scripted: RegisterScripted(e.get(), m, Name(name), 0, vtable); break;
      case EntityKind::Inspection:
        RegisterReadableInspection(e.get());
        RegisterInspection(e.get(), m, Name(name), 0, vtable);
        break;
      case EntityKind::None: break;
    }
  }

  // The game moves the entity from a at tick 1 to b at tick 2; the host holds b.
  static void CaptureTwoTicks(EntityKind kind, TestEntity& e, const std::string& name, const RigidMatrix& a,
                              const RigidMatrix& b) {
    Register(kind, e, name, a);
    EntityTickCapture(1, 1);
    Register(kind, e, name, b);
    e.MoveTo(b);
    EntityTickCapture(2, 1);
  }

  struct NodeBytes {
    std::vector<RigidMatrix> nodes;
    bool operator==(const NodeBytes& o) const {
      return nodes.size() == o.nodes.size() &&
             std::memcmp(nodes.data(), o.nodes.data(), nodes.size() * sizeof(RigidMatrix)) == 0;
    }
  };
  static NodeBytes Snapshot(const TestEntity& e) {
    NodeBytes bytes;
    for (size_t i = 0; i < entity_test::kMaxNodes; ++i) bytes.nodes.push_back(e.NodeMatrix(i));
    return bytes;
  }
};

const RigidMatrix kFrom = Pose(0.0f, 0.0f, 0.0f, 0.0f);
const RigidMatrix kTo = Pose(0.4f, 2.0f, 0.0f, -1.0f);

TEST_F(RootInterpolationTest, EveryKindIsDrawnBetweenItsTicksAndPutBackByteForByte) {
  struct Case {
    EntityKind kind;
    const char* name;
    size_t nodes;
    uint64_t EntityCounters::*applied;
  };
  const Case cases[] = {
      {EntityKind::PlayerHands, "PlayerHands_Main", kNodes, nullptr},
      {EntityKind::PlayerBody, "PlayerBody_Main", 0, nullptr},   // the fallback node only
      {EntityKind::HeldAccessory, "Lantern_Held", kNodes, &EntityCounters::heldApplied},
      {EntityKind::Scripted, "Door", 32, &EntityCounters::scriptedApplied},
      {EntityKind::Inspection, "Lens", kNodes, &EntityCounters::inspectionApplied},
  };
  RigidMatrix expected{};
  ASSERT_TRUE(InterpolateRigid(kFrom, kTo, 0.25f, &expected));
  for (const Case& c : cases) {
    SetUp();
    TestEntity e(c.name, c.nodes, kFrom);
    CaptureTwoTicks(c.kind, e, c.name, kFrom, kTo);
    const NodeBytes authoritative = Snapshot(e);

    EXPECT_TRUE(EntityRenderApply(entity_test::Sample(1, 2, 0.25))) << c.name;
    EXPECT_TRUE(NearlyEqual(e.Root(), expected, 1e-4f)) << c.name;
    if (c.nodes > 1) {
      RigidMatrix secondNode{};
      ASSERT_TRUE(CallMatrixMultiply(expected, Pose(0.0f, 0.0f, 1.0f, 0.0f), &secondNode));
      EXPECT_TRUE(NearlyEqual(e.NodeMatrix(1), secondNode, 1e-4f)) << c.name << ": every node moves with the root";
    }
    EXPECT_EQ(TheEntityCounters().rootApplied, 1u) << c.name;
    if (c.applied != nullptr) EXPECT_EQ(TheEntityCounters().*c.applied, 1u) << c.name;

    EntityRenderRestore();
    EXPECT_TRUE(Snapshot(e) == authoritative) << c.name;
    EXPECT_EQ(TheEntityCounters().rootRestoreFail, 0u) << c.name;
    TearDown();
  }
}

TEST_F(RootInterpolationTest, ARootThatCannotBeMovedExactlyIsLeftAsTheHostHasIt) {
  struct Case {
    const char* label;
    std::function<void(TestEntity&)> damage;
    uint64_t EntityCounters::*reason;
  };
  const Case cases[] = {
      {"33 body nodes", [](TestEntity& e) { e.SetNodeCount(33); }, &EntityCounters::collectFail},
      {"reference node not attached", [](TestEntity& e) { e.SetReference(e.Node(30)); }, &EntityCounters::collectFail},
      {"nodes read-only", [](TestEntity& e) { e.ProtectNodes(PAGE_READONLY); }, &EntityCounters::collectFail},
      // The host's own getter would fault on the guarded reference node.
      {"nodes guarded", [](TestEntity& e) { e.ProtectNodes(PAGE_READWRITE | PAGE_GUARD); }, &EntityCounters::readRootFail},
      {"getter returns another pointer", [](TestEntity&) { Calls().getMatrixReturnsOther = true; },
       &EntityCounters::readRootFail},
      {"host reports another root after the writes", [](TestEntity&) { Calls().skewOnCall = Calls().getMatrixCalls + 2; },
       &EntityCounters::verifyFail},
  };
  for (const Case& c : cases) {
    SetUp();
    TestEntity e("Lantern_Held", kNodes, kFrom);
    CaptureTwoTicks(EntityKind::HeldAccessory, e, "Lantern_Held", kFrom, kTo);
    const NodeBytes authoritative = Snapshot(e);
    c.damage(e);

    EXPECT_FALSE(EntityRenderApply(entity_test::Sample(1, 2, 0.5))) << c.label;
    EntityRenderRestore();
    e.ProtectNodes(PAGE_READWRITE);
    EXPECT_TRUE(Snapshot(e) == authoritative) << c.label;
    const EntityCounters& counters = TheEntityCounters();
    EXPECT_EQ(counters.*c.reason, 1u) << c.label;
    EXPECT_EQ(counters.rootFail, 1u) << c.label;
    EXPECT_EQ(counters.heldFail, 1u) << c.label;
    EXPECT_EQ(counters.rootApplied, 0u) << c.label;
    const RootSlot* slot = FindHeld(e.get());
    ASSERT_NE(slot, nullptr) << c.label;
    EXPECT_EQ(slot->history.count, 0u) << c.label << ": waits for two new ticks";
    TearDown();
  }
}

TEST_F(RootInterpolationTest, ARootThatStopsBeingRigidBetweenFramesIsReadAsFailed) {
  TestEntity e("Lantern_Held", kNodes, kFrom);
  CaptureTwoTicks(EntityKind::HeldAccessory, e, "Lantern_Held", kFrom, kTo);
  ASSERT_TRUE(EntityRenderApply(entity_test::Sample(1, 2, 0.25)));
  EntityRenderRestore();
  RigidMatrix skewed = e.NodeMatrix(0);   // the node the host's getter reports the root from
  skewed.m[0] *= 1.5f;
  std::memcpy(static_cast<uint8_t*>(e.Node(0)) + entity_test::kNodeMatrix, &skewed, sizeof(skewed));
  const NodeBytes before = Snapshot(e);

  EXPECT_FALSE(EntityRenderApply(entity_test::Sample(1, 2, 0.75)));
  EntityRenderRestore();
  EXPECT_TRUE(Snapshot(e) == before);
  EXPECT_EQ(TheEntityCounters().readRootFail, 1u);
  EXPECT_EQ(TheEntityCounters().rootApplied, 1u);
}

TEST_F(RootInterpolationTest, SkippedRootsAreNeitherWrittenNorCountedAsFailures) {
  TestEntity still("Crate_Held", kNodes, kTo);
  CaptureTwoTicks(EntityKind::HeldAccessory, still, "Crate_Held", kTo, kTo);
  TestEntity renamed("Door", kNodes, kFrom);
  CaptureTwoTicks(EntityKind::Scripted, renamed, "Door", kFrom, kTo);
  renamed.SetName("Door_Broken");
  const NodeBytes stillBytes = Snapshot(still);
  const NodeBytes renamedBytes = Snapshot(renamed);

  EXPECT_FALSE(EntityRenderApply(entity_test::Sample(1, 2, 0.5)));
  EXPECT_TRUE(Snapshot(still) == stillBytes) << "a root that did not move between the ticks";
  EXPECT_TRUE(Snapshot(renamed) == renamedBytes);
  EXPECT_EQ(FindScripted(renamed.get()), nullptr) << "a renamed entity leaves its slot";
  EXPECT_NE(FindHeld(still.get()), nullptr);
  EXPECT_EQ(TheEntityCounters().rootFail + TheEntityCounters().heldFail + TheEntityCounters().scriptedFail, 0u);
}

TEST_F(RootInterpolationTest, TheYawPreviewTurnsStillPlayerRootsButNoScriptedOnes) {
  TestEntity hands("PlayerHands_Main", kNodes, kTo);
  CaptureTwoTicks(EntityKind::PlayerHands, hands, "PlayerHands_Main", kTo, kTo);
  TestEntity door("Door", kNodes, kTo);
  CaptureTwoTicks(EntityKind::Scripted, door, "Door", kTo, kTo);
  const NodeBytes doorBytes = Snapshot(door);

  PublishWorldYawPreview(0.2f, 1.0f, 0.0f, 1.0f);
  const RigidMatrix yaw = WorldYawPreview().matrix;
  ASSERT_TRUE(WorldYawPreview().valid);
  EXPECT_TRUE(EntityRenderApply(entity_test::Sample(1, 2, 0.5)));
  RigidMatrix turned{};
  ASSERT_TRUE(CallMatrixMultiply(yaw, kTo, &turned));
  EXPECT_TRUE(NearlyEqual(hands.Root(), turned, 1e-4f));
  EXPECT_TRUE(Snapshot(door) == doorBytes);

  EntityRenderRestore();
  EXPECT_FALSE(WorldYawPreview().valid) << "each frame publishes its own turn";
  EXPECT_TRUE(NearlyEqual(hands.Root(), kTo, 1e-6f));
}

TEST_F(RootInterpolationTest, ARestoreThatDoesNotReadBackDropsRegistryRootsAndRestartsPlayerRoots) {
  TestEntity hands("PlayerHands_Main", kNodes, kFrom);
  CaptureTwoTicks(EntityKind::PlayerHands, hands, "PlayerHands_Main", kFrom, kTo);
  TestEntity held("Lantern_Held", kNodes, kFrom);
  CaptureTwoTicks(EntityKind::HeldAccessory, held, "Lantern_Held", kFrom, kTo);

  ASSERT_TRUE(EntityRenderApply(entity_test::Sample(1, 2, 0.5)));
  hands.ProtectNodes(PAGE_READONLY);
  held.ProtectNodes(PAGE_READONLY);
  EntityRenderRestore();
  hands.ProtectNodes(PAGE_READWRITE);
  held.ProtectNodes(PAGE_READWRITE);

  const EntityCounters& c = TheEntityCounters();
  EXPECT_EQ(c.rootRestoreFail, 2u);
  EXPECT_EQ(c.heldRestoreFail, 1u);
  EXPECT_EQ(FindHeld(held.get()), nullptr);
  EXPECT_EQ(TheRootRegistries().hands.entity, hands.get()) << "the hands stay registered";
  EXPECT_EQ(TheRootRegistries().hands.history.count, 0u);
  EXPECT_FALSE(EntityFlags().applyInProgress);
}

TEST_F(RootInterpolationTest, OneApplyPerRestoreAndWorldRootsAloneOpenTheApply) {
  TestEntity hands("PlayerHands_Main", kNodes, kFrom);
  CaptureTwoTicks(EntityKind::PlayerHands, hands, "PlayerHands_Main", kFrom, kTo);
  ASSERT_TRUE(EntityRenderApply(entity_test::Sample(1, 2, 0.5)));
  const RigidMatrix drawn = hands.Root();
  EXPECT_FALSE(EntityRenderApply(entity_test::Sample(1, 2, 0.9))) << "a second apply before the restore";
  EXPECT_TRUE(NearlyEqual(hands.Root(), drawn, 0.0f));
  EntityRenderRestore();
  EntityRenderRestore();   // nothing left to put back
  EXPECT_TRUE(NearlyEqual(hands.Root(), kTo, 0.0f));
  EXPECT_EQ(TheEntityCounters().rootRestoreFail, 0u);

  EntityRuntimeFlags& flags = MutableEntityFlags();
  flags.handsRoot = false;
  flags.worldRoot = true;
  EntityRenderApply(entity_test::Sample(1, 2, 0.5));
  EXPECT_TRUE(EntityFlags().applyInProgress) << "physics bodies are drawn with world roots alone";
  EntityRenderRestore();
  EXPECT_FALSE(EntityFlags().applyInProgress);
  flags.worldRoot = false;
  EXPECT_FALSE(EntityRenderApply(entity_test::Sample(1, 2, 0.5)));
  EXPECT_FALSE(EntityFlags().applyInProgress) << "the read-only probe never applies";
}

TEST_F(RootInterpolationTest, ScriptedRootsLastOnlyWhileMovedAtEveryTick) {
  TestEntity door("Door", kNodes, kFrom);
  TestEntity lens("Lens", kNodes, kFrom);
  CaptureTwoTicks(EntityKind::Scripted, door, "Door", kFrom, kTo);
  CaptureTwoTicks(EntityKind::Inspection, lens, "Lens", kFrom, kTo);
  EntityTickCapture(3, 1);   // neither moved
  EXPECT_EQ(FindScripted(door.get()), nullptr);
  ASSERT_NE(FindInspection(lens.get()), nullptr);
  EXPECT_EQ(FindInspection(lens.get())->root.history.count, 2u) << "an inspection root at rest is kept";

  ResetEntityHistories();
  EXPECT_EQ(FindInspection(lens.get())->root.history.count, 0u);
  EXPECT_NE(FindInspection(lens.get()), nullptr) << "a reset keeps the registrations";
}

}  // namespace
