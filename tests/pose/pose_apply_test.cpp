// Pose apply and restore against skeletons laid out as the host lays them out, with a bone setter
// that does what the host's does (and one that misses a write on demand).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "entity/entity_counters.h"
#include "entity/entity_runtime.h"
#include "entity/entity_test_host.h"
#include "entity/interpolation_report.h"
#include "entity/root_interpolation.h"
#include "entity/root_registries.h"
#include "pose/pose_layout.h"
#include "pose/pose_state.h"
#include "pose/skeleton_test_host.h"

namespace {

using entity_test::Calls;
using entity_test::Pose;
using entity_test::TestEntity;
namespace layout = pose_layout;

constexpr uint64_t kBones = 5;
constexpr size_t kBoneStride = 432;   // past the child list head at +408

struct BoneSetterCalls {
  int calls = 0;
  int missOnCall = 0;   // this call writes a matrix one unit away (0: never)
};
BoneSetterCalls g_setter;

void TestBoneSetMatrix(void* bone, const float* matrix, bool) {
  float written[16];
  std::memcpy(written, matrix, sizeof(written));
  if (++g_setter.calls == g_setter.missOnCall) written[3] += 1.0f;
  std::memcpy(static_cast<uint8_t*>(bone) + layout::kBoneMatrix, written, sizeof(written));
}

// Three poses of one skeleton: the previous tick, the current tick and what the host holds now.
RigidMatrix PreviousBone(uint64_t i) { return Pose(0.1f * static_cast<float>(i), static_cast<float>(i), 0.0f, 0.0f); }
RigidMatrix CurrentBone(uint64_t i) { return Pose(0.1f * static_cast<float>(i) + 0.2f, static_cast<float>(i) + 0.5f, 0.0f, 0.0f); }
RigidMatrix HostBone(uint64_t i) { return Pose(-0.3f, static_cast<float>(i), 2.0f, 0.0f); }

// A skeleton object, its bone vector and its bones in one allocation, laid out as the host's.
class TestSkeleton {
 public:
  TestSkeleton() : base_(static_cast<uint8_t*>(VirtualAlloc(nullptr, kBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {
    for (uint64_t i = 0; i < kBones; ++i) {
      void* bone = Bone(i);
      std::memcpy(base_ + kArray + i * 8, &bone, 8);
      SetBone(i, HostBone(i));
    }
    const uintptr_t begin = reinterpret_cast<uintptr_t>(base_ + kArray), end = begin + kBones * 8;
    std::memcpy(base_ + layout::kBonesBegin, &begin, 8);
    std::memcpy(base_ + layout::kBonesEnd, &end, 8);
    const RigidMatrix node = Pose(0.0f, 10.0f, 0.0f, 0.0f);
    std::memcpy(base_ + layout::kSkeletonNodeMatrix, &node, sizeof(node));
  }
  ~TestSkeleton() { VirtualFree(base_, 0, MEM_RELEASE); }
  TestSkeleton(const TestSkeleton&) = delete;
  TestSkeleton& operator=(const TestSkeleton&) = delete;

  void* get() const { return base_; }
  void* Bone(uint64_t i) const { return base_ + kFirstBone + i * kBoneStride; }
  void SetBone(uint64_t i, const RigidMatrix& m) { std::memcpy(static_cast<uint8_t*>(Bone(i)) + layout::kBoneMatrix, &m, 64); }
  RigidMatrix BoneMatrix(uint64_t i) const {
    RigidMatrix m;
    std::memcpy(&m, static_cast<uint8_t*>(Bone(i)) + layout::kBoneMatrix, 64);
    return m;
  }
  // Everything the plug-in may write: the node matrix and every bone.
  std::string Snapshot() const { return std::string(reinterpret_cast<const char*>(base_), kBytes); }

 private:
  static constexpr size_t kArray = 1024, kFirstBone = 4096, kBytes = kFirstBone + kBones * kBoneStride;
  uint8_t* base_ = nullptr;
};

enum class Owner { Body, Prop, Agent };
enum class Twist { None, IdenticalTicks, HostHoldsBlend, NotRigid, ThirdWriteMisses, Renamed, MeshRootOneTick, MeshRootTwoTicks };
enum class Drawn { Host, Previous, Current };

class PoseApplyTest : public ::testing::Test {
 public:
  void SetUp() override {
    pose_test::UseSkeletonTestHost(&TestBoneSetMatrix);
    g_setter = BoneSetterCalls{};
    pose_test::ResetPoseRuntime();
    EntityRuntimeFlags& flags = MutableEntityFlags();
    flags.hostBase = 1;
    flags.handsPose = flags.ragdollPose = true;
  }
  void TearDown() override { pose_test::ResetPoseRuntime(); }

  // Two ticks of history for the owner, filled as the capture would fill them.
  void Fill(Owner owner, bool identicalTicks = false) {
    RigidMatrix previous[kBones], current[kBones];
    void* bones[kBones];
    for (uint64_t i = 0; i < kBones; ++i) {
      previous[i] = PreviousBone(i);
      current[i] = identicalTicks ? previous[i] : CurrentBone(i);
      bones[i] = skeleton_.Bone(i);
    }
    void* skeleton = skeleton_.get();
    PoseHistory* history = &TheBodyPose().history;
    if (owner == Owner::Body) {
      entity_.SetName("PlayerBody_1");
      TheRootRegistries().body.entity = entity_.get();
      BodyPoseState& body = TheBodyPose();
      body.storedSkeleton = skeleton;
      std::memcpy(body.storedBones, bones, sizeof(bones));
      body.storedCount = kBones;
    } else {
      SkeletalPropRecord& record = Record();
      record.entity = entity_.get();
      CopyEntityName("ragdoll_crate", 13, &record.name);
      record.isAgent = owner == Owner::Agent;
      record.skeletonOffset = record.isAgent ? layout::kAgentSkeleton : layout::kPropSkeleton;
      if (record.isAgent) entity_.SetVtable(pose_test::AgentVtable());
      record.poseActive = !identicalTicks;
      record.storedSkeleton = skeleton;
      std::memcpy(record.storedBones, bones, sizeof(bones));
      record.storedCount = kBones;
      history = &record.history;
    }
    std::memcpy(entity_.bytes() + (owner == Owner::Agent ? layout::kAgentSkeleton : layout::kPropSkeleton), &skeleton, 8);
    PublishPoseHistory(*history, 1, 1, previous, kBones, true);
    PublishPoseHistory(*history, 2, 1, current, kBones, true);
  }

  static SkeletalPropRecord& Record() { return TheSkeletalProps().records[3]; }

  TestEntity entity_{"ragdoll_crate", 2, Pose(0.0f, 0.0f, 0.0f, 0.0f)};
  TestSkeleton skeleton_;
};

TEST_F(PoseApplyTest, AppliesTheBlendAndPutsEveryBoneBackExactly) {
  const ClockSample equal = entity_test::Sample(2, 2, 0.5), alpha0 = entity_test::Sample(1, 2, 0.0),
                    alpha1 = entity_test::Sample(1, 2, 1.0);
  struct Case {
    const char* what;
    Owner owner;
    ClockSample sample;
    Twist twist;
    bool applied;
    Drawn drawn;
    uint64_t skipped, failed;   // a failure drops the owner
  } cases[] = {
      {"body, equal ticks", Owner::Body, equal, Twist::None, false, Drawn::Host, 0, 0},
      {"prop, equal ticks", Owner::Prop, equal, Twist::None, false, Drawn::Host, 0, 0},
      {"body, identical entries", Owner::Body, alpha0, Twist::IdenticalTicks, false, Drawn::Host, 0, 0},
      {"prop, identical entries: inactive", Owner::Prop, alpha0, Twist::IdenticalTicks, false, Drawn::Host, 1, 0},
      {"body, alpha 0", Owner::Body, alpha0, Twist::None, true, Drawn::Previous, 0, 0},
      {"prop, alpha 1", Owner::Prop, alpha1, Twist::None, true, Drawn::Current, 0, 0},
      {"prop, blend already held by the host", Owner::Prop, alpha0, Twist::HostHoldsBlend, false, Drawn::Previous, 1, 0},
      {"prop bone no longer rigid", Owner::Prop, alpha1, Twist::NotRigid, false, Drawn::Host, 0, 1},
      {"body, third write misses", Owner::Body, alpha0, Twist::ThirdWriteMisses, false, Drawn::Host, 0, 1},
      {"prop, third write misses", Owner::Prop, alpha1, Twist::ThirdWriteMisses, false, Drawn::Host, 0, 1},
      {"prop renamed since capture", Owner::Prop, alpha1, Twist::Renamed, false, Drawn::Host, 0, 1},
      {"body no longer a PlayerBody", Owner::Body, alpha0, Twist::Renamed, false, Drawn::Host, 0, 1},
      {"agent, one mesh-root tick", Owner::Agent, alpha1, Twist::MeshRootOneTick, true, Drawn::Current, 0, 0},
      {"agent, two mesh-root ticks", Owner::Agent, alpha1, Twist::MeshRootTwoTicks, true, Drawn::Current, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    entity_.SetVtable(entity_test::TestVtable());
    entity_.SetName("ragdoll_crate");
    for (uint64_t i = 0; i < kBones; ++i) skeleton_.SetBone(i, HostBone(i));
    Fill(c.owner, c.twist == Twist::IdenticalTicks);
    TransformHistory& meshRoot = Record().meshRootHistory;
    if (c.twist == Twist::HostHoldsBlend) {
      static RigidMatrix blend[kPoseMaxBones];
      uint64_t count = 0;
      SamplePoseHistory(Record().history, c.sample, blend, &count);
      for (uint64_t i = 0; i < count; ++i) skeleton_.SetBone(i, blend[i]);
    }
    if (c.twist == Twist::ThirdWriteMisses) g_setter.missOnCall = 3;
    if (c.twist == Twist::NotRigid) skeleton_.SetBone(4, RigidMatrix{});
    if (c.twist == Twist::Renamed) entity_.SetName("ragdoll_crow");
    if (c.twist == Twist::MeshRootTwoTicks) PublishTransformHistory(meshRoot, 1, 1, Pose(0.0f, 0.0f, 0.0f, 0.0f));
    if (c.twist == Twist::MeshRootOneTick || c.twist == Twist::MeshRootTwoTicks)
      PublishTransformHistory(meshRoot, 2, 1, Pose(0.5f, 1.0f, 0.0f, 0.0f));
    const std::string before = skeleton_.Snapshot();
    RigidMatrix held[kBones];
    for (uint64_t i = 0; i < kBones; ++i) held[i] = skeleton_.BoneMatrix(i);

    EXPECT_EQ(PoseRenderApply(c.sample), c.applied);
    for (uint64_t i = 0; i < kBones; ++i) {
      const RigidMatrix expected =
          c.drawn == Drawn::Previous ? PreviousBone(i) : c.drawn == Drawn::Current ? CurrentBone(i) : held[i];
      EXPECT_TRUE(NearlyEqual(skeleton_.BoneMatrix(i), expected, 1e-5f)) << "bone " << i;
    }
    const bool body = c.owner == Owner::Body, meshRootMoved = c.twist == Twist::MeshRootTwoTicks;
    const BodyPoseState& b = TheBodyPose();
    const SkeletalPropRecord& r = Record();
    EXPECT_EQ(std::memcmp(before.data(), skeleton_.get(), layout::kBonesBegin) != 0, meshRootMoved);
    EXPECT_EQ(body ? b.renderApplied : r.renderApplied, c.applied ? 1u : 0u);
    EXPECT_EQ(r.unchangedSkip, c.skipped);
    EXPECT_EQ(body ? b.renderFail : r.renderFail, c.failed);
    EXPECT_EQ(body ? b.storedSkeleton == nullptr : r.entity == nullptr, c.failed > 0);
    EXPECT_EQ(ThePoseCounters().skeletalBonesWritten, !body && c.applied ? kBones : 0);
    EXPECT_EQ(ThePoseCounters().meshRootApplied, meshRootMoved ? 1u : 0u);

    const int setterCalls = g_setter.calls, nodeCalls = Calls().nodeChanged;
    PoseRenderRestore();
    EXPECT_TRUE(skeleton_.Snapshot() == before) << "every bone and the mesh root bytewise back";
    if (!c.applied) EXPECT_EQ(g_setter.calls + Calls().nodeChanged, setterCalls + nodeCalls) << "no host call";
    EXPECT_EQ(b.restoreFail + r.restoreFail, 0u);
  }
}

TEST_F(PoseApplyTest, AFailedRestoreDropsTheOwnerAndCountsOnce) {
  Fill(Owner::Prop);
  ASSERT_TRUE(PoseRenderApply(entity_test::Sample(1, 2, 0.5)));
  g_setter.missOnCall = g_setter.calls + 2;   // the second bone put back comes back wrong
  PoseRenderRestore();
  EXPECT_EQ(Record().restoreFail, 1u);
  EXPECT_EQ(Record().entity, nullptr);
  const RigidMatrix last = skeleton_.BoneMatrix(kBones - 1), host = HostBone(kBones - 1);
  EXPECT_EQ(std::memcmp(&last, &host, 64), 0) << "every bone attempted";
}

TEST_F(PoseApplyTest, EntityRenderDrawsAPoseWithNoRootRegistered) {
  Fill(Owner::Prop);
  EXPECT_TRUE(EntityRenderApply(entity_test::Sample(1, 2, 1.0)));
  EXPECT_TRUE(NearlyEqual(skeleton_.BoneMatrix(2), CurrentBone(2), 1e-5f));
  EntityRenderRestore();
  const RigidMatrix drawn = skeleton_.BoneMatrix(2), host = HostBone(2);
  EXPECT_EQ(std::memcmp(&drawn, &host, 64), 0);
}

// The skeletal report lines: sums over the table (a dropped record's counters included), the
// first eight live props by name, and what stays as state after a report.
TEST_F(PoseApplyTest, SkeletalReportLinesShowThenZeroTheirCounters) {
  SkeletalPropRegistry& props = TheSkeletalProps();
  for (size_t i = 0; i < 10; ++i) {
    SkeletalPropRecord& record = props.records[i];
    record.entity = i == 4 ? nullptr : reinterpret_cast<void*>(0x1000 + i);   // 4: dropped, counters kept
    const std::string name = "p" + std::to_string(i);
    CopyEntityName(name.data(), name.size(), &record.name);
    record.bodies = i;
    record.probe.boneCount = 10 + i;
    record.probe.changed = 1;
    record.probe.captures = 2;
    record.renderFail = i == 4 ? 5 : 0;
    record.renderApplied = 3;
    record.unchangedSkip = 1;
  }
  props.overflow = 7;
  BodyProbeRecord().captures = 4;
  BodyProbeRecord().changed = 3;
  BodyProbeRecord().boneCount = 40;
  TheBodyPose().published = 6;
  TheBodyPose().renderFail = 2;
  TheBodyChangeStats().largestPosition = 0.25f;
  TheBodyChangeStats().ticksOverOrientation = 3;

  const std::wstring prefix =
      L"Skeletal prop pose interpolation: active, captures/changed/invalid, published/reset/discontinuity-reset, "
      L"render applied/unchanged-skip/fail/restore-fail/registry-overflow=";
  const std::wstring shown = L"; props(bodies/bones/changed): p0(0b/10j/1c), p1(1b/11j/1c), p2(2b/12j/1c), "
                             L"p3(3b/13j/1c), p5(5b/15j/1c), p6(6b/16j/1c), p7(7b/17j/1c), p8(8b/18j/1c).";
  EXPECT_EQ(TakeSkeletalPropLine(), prefix + L"9, 20/10/0, 0/0/0, 30/10/5/0/7" + shown);
  EXPECT_NE(TakeSkeletalPropLine().find(L"=9, 0/0/0, 0/0/0, 0/0/0/0/0; props(bodies/bones/changed): p0(0b/10j/0c), "),
            std::wstring::npos);
  EXPECT_EQ(TakeBodyBoneCadenceLine(), L"Body-bone read-only cadence: captures/changed/invalid/count=4/3/0/40.");
  EXPECT_EQ(TakeBodyBoneCadenceLine(), L"Body-bone read-only cadence: captures/changed/invalid/count=0/0/0/40.");
  EXPECT_EQ(TakeBodyPoseLine(), L"Body-pose cadence: published/reset, render applied/fail/restore-fail=6/0, 0/2/0; "
                                L"largest bone-local change per tick position/orientation=0.250000/0.000000 rad, "
                                L"ticks over former limits=0/3.");
  EXPECT_NE(TakeBodyPoseLine().find(L"=0/0, 0/0/0; largest bone-local change per tick position/orientation="
                                    L"0.000000/0.000000 rad, ticks over former limits=0/0."), std::wstring::npos);
  ClearPoseTables();
  EXPECT_EQ(TakeSkeletalPropLine(), prefix + L"0, 0/0/0, 0/0/0, 0/0/0/0/0; props(bodies/bones/changed): <none>.");
}

}  // namespace
