// Pose capture on skeletons laid out as the host lays them out: which owners are registered, when a
// pose history restarts, when a prop's pose counts as moving, and what the probe makes of a skeleton.
#include "pose/pose_capture.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "entity/entity_runtime.h"
#include "entity/entity_test_host.h"
#include "entity/root_registries.h"
#include "pose/pose_layout.h"
#include "pose/pose_state.h"
#include "pose/skeleton_test_host.h"

namespace {

using entity_test::Pose;
using entity_test::TestEntity;
using pose_test::TestSkeleton;

constexpr size_t kBones = 6;


// An owner with its skeleton, moved by the game one step per tick.
struct Owner {
  Owner(const std::string& name, size_t bodies, size_t bones, bool agent = false)
      : entity(name, bodies, Pose(0.0f, 0.0f, 0.0f, 0.0f)), skeleton(bones), isAgent(agent) {
    if (agent) entity.SetVtable(pose_test::AgentVtable());
    skeleton.AttachTo(entity.get(), agent ? pose_layout::kAgentSkeleton : pose_layout::kPropSkeleton);
  }
  // What the game does in one fixed step: animate, run the owner's update (the detour registers it).
  void Update(uint64_t step) {
    skeleton.Animate(step);
    RegisterSkeletalOwner(entity.get(), isAgent);
  }
  TestEntity entity;
  TestSkeleton skeleton;
  bool isAgent;
};

const SkeletalPropRecord* RecordOf(const Owner& owner) {
  for (const SkeletalPropRecord& record : TheSkeletalProps().records)
    if (record.entity == owner.entity.get()) return &record;
  return nullptr;
}

class PoseCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pose_test::UseSkeletonTestHost();
    pose_test::ResetPoseRuntime();
    EntityRuntimeFlags& flags = MutableEntityFlags();
    flags.hostBase = 1;
    flags.handsRoot = flags.handsPose = flags.worldRoot = flags.ragdollPose = flags.diagnostics = true;
  }
  void TearDown() override { pose_test::ResetPoseRuntime(); }
};

struct Step {
  uint64_t tick;
  uint64_t generation;
  std::function<void(Owner&)> game;   // what the game does before the tick completes
};

std::function<void(Owner&)> Moves(uint64_t step) {
  return [step](Owner& o) { o.Update(step); };
}

struct PropCase {
  const char* label;
  size_t bodies, bones;
  std::vector<Step> steps;
  bool registered;
  uint64_t published, reset, discontinuity;
  bool active;
};

TEST_F(PoseCaptureTest, PropHistoriesRestartOnlyWhereTheTimelineBreaks) {
  auto jump = [](Owner& o) {
    o.Update(2);
    RigidMatrix m = o.skeleton.Local(3);
    m.m[3] += 10.0f;
    o.skeleton.SetLocal(3, m);
  };
  auto parentLast = [](Owner& o) {
    o.skeleton.SetParent(1, o.skeleton.Bone(kBones - 1));
    o.Update(1);
  };
  auto sheared = [](Owner& o) {
    o.Update(1);
    RigidMatrix m = o.skeleton.Local(2);
    m.m[1] = 0.5f;
    o.skeleton.SetLocal(2, m);
  };
  auto renamed = [](Owner& o) {
    o.entity.SetName("ragdoll_renamed");
    o.Update(3);
  };
  const PropCase cases[] = {
      {"moving: active from the second consecutive tick", 3, kBones, {{1, 1, Moves(1)}, {2, 1, Moves(2)}}, true, 2, 1,
       0, true},
      {"unchanged pose: inactive after the second tick", 3, kBones,
       {{1, 1, Moves(1)}, {2, 1, Moves(2)}, {3, 1, Moves(2)}}, true, 3, 1, 0, false},
      {"one-tick gap: one reset, one discontinuity-reset", 3, kBones,
       {{1, 1, Moves(1)}, {2, 1, Moves(2)}, {4, 1, Moves(3)}}, true, 3, 2, 1, false},
      {"after the gap, the next consecutive tick resumes", 3, kBones,
       {{1, 1, Moves(1)}, {2, 1, Moves(2)}, {4, 1, Moves(3)}, {5, 1, Moves(4)}}, true, 4, 2, 1, true},
      {"new clock generation: restart without discontinuity-reset", 3, kBones,
       {{1, 1, Moves(1)}, {2, 1, Moves(2)}, {3, 2, Moves(3)}}, true, 3, 2, 0, false},
      {"10-unit bone jump: no restart", 3, kBones, {{1, 1, Moves(1)}, {2, 1, jump}}, true, 2, 1, 0, true},
      {"parent after its child: one reset per tick", 3, kBones,
       {{1, 1, parentLast}, {2, 1, parentLast}, {3, 1, parentLast}}, true, 0, 3, 0, false},
      {"a bone not rigid: refused at every tick", 3, kBones, {{1, 1, Moves(1)}, {2, 1, Moves(2)}, {3, 1, sheared}},
       true, 2, 2, 0, false},
      {"renamed: registered anew, counters kept", 3, kBones, {{1, 1, Moves(1)}, {2, 1, Moves(2)}, {3, 1, renamed}},
       true, 3, 2, 0, false},
      {"257 bones: never registered", 3, 257, {{1, 1, Moves(1)}, {2, 1, Moves(2)}}, false, 0, 0, 0, false},
      {"empty bone vector: never registered", 3, 0, {{1, 1, Moves(1)}, {2, 1, Moves(2)}}, false, 0, 0, 0, false},
      {"33 attached bodies: never registered", 33, kBones, {{1, 1, Moves(1)}, {2, 1, Moves(2)}}, false, 0, 0, 0,
       false},
  };
  for (const PropCase& c : cases) {
    ClearPoseTables();
    Owner prop("ragdoll_crate", c.bodies, c.bones);
    for (const Step& step : c.steps) {
      step.game(prop);
      PoseTickCapture(step.tick, step.generation);
    }
    const SkeletalPropRecord* record = RecordOf(prop);
    ASSERT_EQ(record != nullptr, c.registered) << c.label;
    if (record == nullptr) continue;
    EXPECT_EQ(record->published, c.published) << c.label;
    EXPECT_EQ(record->reset, c.reset) << c.label;
    EXPECT_EQ(record->discontinuityReset, c.discontinuity) << c.label;
    EXPECT_EQ(record->poseActive, c.active) << c.label;
    EXPECT_EQ(record->bodies, c.bodies) << c.label;
  }
}

TEST_F(PoseCaptureTest, UnreadableButUpdatedPropKeepsItsRegistrationWithAnEmptyHistory) {
  Owner prop("ragdoll_crate", 2, kBones);
  prop.Update(1);
  PoseTickCapture(1, 1);
  prop.Update(2);
  prop.skeleton.ProtectBones(PAGE_NOACCESS);
  PoseTickCapture(2, 1);
  prop.skeleton.ProtectBones(PAGE_READWRITE);
  const SkeletalPropRecord* record = RecordOf(prop);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->history.count, 0u);
  EXPECT_EQ(record->lastCaptureTick, 1u);
  EXPECT_EQ(record->probe.invalid, 1u);
  // No update and still unreadable at the next tick: the game is done with it.
  prop.skeleton.ProtectBones(PAGE_NOACCESS);
  PoseTickCapture(3, 1);
  prop.skeleton.ProtectBones(PAGE_READWRITE);
  EXPECT_EQ(RecordOf(prop), nullptr);
}

TEST_F(PoseCaptureTest, RegistryTakesThirtyTwoOwnersAndCountsEveryCallBeyond) {
  std::vector<std::unique_ptr<Owner>> props;
  for (int i = 0; i < 33; ++i) props.push_back(std::make_unique<Owner>("ragdoll_" + std::to_string(i), 1, 2));
  Owner body("PlayerBody_mesh", 0, kBones);
  for (uint64_t step = 1; step <= 2; ++step) {
    for (auto& prop : props) prop->Update(step);
    body.Update(step);
  }
  EXPECT_EQ(TheSkeletalProps().overflow, 2u) << "the 33rd prop, once per update call";
  EXPECT_EQ(RecordOf(*props[32]), nullptr);
  EXPECT_NE(RecordOf(*props[31]), nullptr);
  EXPECT_EQ(RecordOf(body), nullptr) << "the player's own skeleton is never a prop";
}

TEST_F(PoseCaptureTest, AgentPublishesItsMeshRootBesideItsPose) {
  Owner agent("agent_grunt", 0, kBones, true);
  for (uint64_t tick = 1; tick <= 3; ++tick) {
    agent.skeleton.SetNodeMatrix(Pose(0.0f, static_cast<float>(tick), 0.0f, 0.0f));
    if (tick == 3) agent.skeleton.SetNodeMatrix(RigidMatrix{});   // not a rigid matrix
    agent.Update(tick);
    PoseTickCapture(tick, 1);
  }
  const SkeletalPropRecord* record = RecordOf(agent);
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->isAgent);
  EXPECT_EQ(record->skeletonOffset, pose_layout::kAgentSkeleton);
  EXPECT_TRUE(record->poseActive);
  EXPECT_EQ(ThePoseCounters().meshRootPublished, 3u);
  EXPECT_EQ(ThePoseCounters().meshRootReset, 2u) << "the first tick starts the history, the third is invalid";
  EXPECT_EQ(record->meshRootHistory.count, 0u);
}

struct BodyCase {
  const char* label;
  size_t bones;
  std::function<void(TestSkeleton&, uint64_t tick)> game;
  uint64_t published, reset, invalid;
  bool stored;
  float minPositionChange;
  uint64_t ticksOverPosition;
};

TEST_F(PoseCaptureTest, PlayerBodyIsCapturedOnlyWhenWhole) {
  auto walk = [](TestSkeleton& s, uint64_t tick) { s.Animate(tick); };
  auto jump = [](TestSkeleton& s, uint64_t tick) {
    s.Animate(tick);
    if (tick != 3) return;
    RigidMatrix m = s.Local(2);
    m.m[7] += 10.0f;
    s.SetLocal(2, m);
  };
  auto parentLast = [](TestSkeleton& s, uint64_t tick) {
    s.SetParent(2, s.Bone(kBones - 1));
    s.Animate(tick);
  };
  const BodyCase cases[] = {
      {"walking", kBones, walk, 3, 1, 0, true, 0.0f, 0},
      {"10-unit bone jump: no restart, one tick over the position limit", kBones, jump, 3, 1, 0, true, 10.0f, 1},
      {"257 bones: never captured", 257, walk, 0, 0, 3, false, 0.0f, 0},
      {"empty bone vector: never captured", 0, walk, 0, 0, 3, false, 0.0f, 0},
      {"parent after its child: one reset per tick", kBones, parentLast, 0, 3, 0, false, 0.0f, 0},
  };
  for (const BodyCase& c : cases) {
    ClearPoseTables();
    TestEntity body("PlayerBody_mesh", 0, Pose(0.0f, 0.0f, 0.0f, 0.0f));
    TestSkeleton skeleton(c.bones);
    skeleton.AttachTo(body.get(), pose_layout::kPropSkeleton);
    SetRootSlot(TheRootRegistries().body, body.get(), Pose(0.0f, 0.0f, 0.0f, 0.0f));
    for (uint64_t tick = 1; tick <= 3; ++tick) {
      c.game(skeleton, tick);
      PoseTickCapture(tick, 1);
    }
    const BodyPoseState& state = TheBodyPose();
    EXPECT_EQ(state.published, c.published) << c.label;
    EXPECT_EQ(state.reset, c.reset) << c.label;
    EXPECT_EQ(BodyProbeRecord().invalid, c.invalid) << c.label;
    EXPECT_EQ(state.storedSkeleton != nullptr, c.stored) << c.label;
    EXPECT_EQ(state.history.count, c.stored ? 2u : 0u) << c.label;
    EXPECT_GE(TheBodyChangeStats().largestPosition, c.minPositionChange) << c.label;
    EXPECT_EQ(TheBodyChangeStats().ticksOverPosition, c.ticksOverPosition) << c.label;
    ClearRootSlot(TheRootRegistries().body);
  }
}

TEST_F(PoseCaptureTest, NewBodySkeletonRebuildsParentsAndMovesTheIdentitySerial) {
  TestEntity body("PlayerBody_mesh", 0, Pose(0.0f, 0.0f, 0.0f, 0.0f));
  TestSkeleton first(kBones), second(3);
  second.SetParent(2, nullptr);
  SetRootSlot(TheRootRegistries().body, body.get(), Pose(0.0f, 0.0f, 0.0f, 0.0f));
  first.AttachTo(body.get(), pose_layout::kPropSkeleton);
  PoseTickCapture(1, 1);
  PoseTickCapture(2, 1);
  const BodyPoseState& state = TheBodyPose();
  const uint64_t serial = state.identitySerial;
  EXPECT_EQ(std::vector<uint16_t>(state.parents, state.parents + kBones),
            (std::vector<uint16_t>{kNoParent, 0, 0, 1, 1, 2}));
  EXPECT_TRUE(state.parentsKnown);

  second.AttachTo(body.get(), pose_layout::kPropSkeleton);
  PoseTickCapture(3, 1);
  EXPECT_EQ(state.identitySerial, serial + 1);
  EXPECT_EQ(state.storedSkeleton, second.get());
  EXPECT_EQ(std::vector<uint16_t>(state.parents, state.parents + 3), (std::vector<uint16_t>{kNoParent, 0, kNoParent}));
}

TEST_F(PoseCaptureTest, ProbeReportsOncePerSkeletonIdentityAndCountsChanges) {
  TestEntity hands("PlayerHands_mesh", 0, Pose(0.0f, 0.0f, 0.0f, 0.0f));
  TestSkeleton skeleton(kBones), other(kBones);
  skeleton.AttachTo(hands.get(), pose_layout::kPropSkeleton);
  BoneProbeRecord record;
  PoseCapture capture;
  // With diagnostics off after the first probe, the report mark shows whether the identity is
  // still the one reported: a new identity clears it (and would log again).
  struct Probe {
    const char* label;
    std::function<void()> game;
    bool changed, reported;
  };
  const Probe probes[] = {
      {"first sight: reported", [] {}, false, true},
      {"same pose", [] { MutableEntityFlags().diagnostics = false; }, false, true},
      {"moved", [&] { skeleton.Animate(1); }, true, true},
      {"fewer bones: a new identity", [&] { skeleton.SetBoneCount(kBones - 1); }, false, false},
      {"reported again", [] { MutableEntityFlags().diagnostics = true; }, false, true},
      {"moved again", [&] { skeleton.Animate(2); }, true, true},
      {"another skeleton object", [&] { other.AttachTo(hands.get(), pose_layout::kPropSkeleton); }, false, true},
  };
  for (const Probe& p : probes) {
    p.game();
    ASSERT_TRUE(ProbeSkeleton(hands.get(), record, L"Hands", &capture, pose_layout::kPropSkeleton)) << p.label;
    EXPECT_EQ(capture.changed, p.changed) << p.label;
    EXPECT_EQ(record.reported, p.reported) << p.label;
  }
  EXPECT_EQ(record.captures, 4u) << "counted only with diagnostics";
  EXPECT_EQ(record.changed, 1u);
  EXPECT_EQ(record.skeleton, other.get());
}

TEST_F(PoseCaptureTest, ProbeReportDescribesParentsAndNodeLists) {
  TestSkeleton s(5);
  s.SetParent(1, s.Bone(3));                 // later in the list
  s.SetParent(4, s.Bone(200));               // not in the list
  s.FillList(0, pose_layout::kBoneChildList);
  s.FillList(2, pose_layout::kBoneChildList);
  s.FillList(2, pose_layout::kBoneAttachedList);
  s.SetListHead(3, pose_layout::kBoneAttachedList, nullptr);
  RigidMatrix scaled = s.Local(4);
  scaled.m[0] *= 2.0f;                        // affine, not uniformly scaled
  s.SetLocal(4, scaled);
  TestEntity owner("ragdoll_crate", 0, Pose(0.0f, 0.0f, 0.0f, 0.0f));
  s.AttachTo(owner.get(), pose_layout::kPropSkeleton);
  BoneProbeRecord record;
  PoseCapture capture;
  ASSERT_TRUE(ProbeSkeleton(owner.get(), record, L"Skeletal prop", &capture, pose_layout::kPropSkeleton));
  EXPECT_EQ(FormatBoneProbeReport(L"Skeletal prop", ReadBoneProbeFigures(capture)),
            L"Skeletal prop bone probe: bones=5, affine=5, uniform-rigid=4, parent-links/known/earlier=4/3/2, "
            L"bones-with-attached-nodes/children=1/2, invalid-lists=1.");
}

}  // namespace
