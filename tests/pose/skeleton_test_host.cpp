#include "pose/skeleton_test_host.h"

#include <cstring>
#include <initializer_list>

#include "entity/entity_runtime.h"
#include "entity/entity_test_host.h"
#include "entity/root_registries.h"
#include "host/host_memory.h"
#include "pose/pose_layout.h"
#include "pose/pose_state.h"

namespace pose_test {
namespace {

constexpr size_t kBoneStride = 512;
constexpr size_t kSentinel[2] = {432, 448};   // the attached and child lists' sentinels in a bone
constexpr size_t kListElement = 464;
constexpr size_t kVectorStorage = 1024;       // the bone pointers, in the skeleton object's page
constexpr size_t kObjectBytes = 4096;

size_t ListIndex(size_t headOffset) { return headOffset == pose_layout::kBoneAttachedList ? 0 : 1; }

template <typename T>
void Put(uint8_t* base, size_t offset, const T& value) {
  std::memcpy(base + offset, &value, sizeof(T));
}

}  // namespace

namespace {

void* g_agentVtable[pose_layout::kAgentVtableBytes / 8];
void AgentMeshGetter() {}
void AgentOnUpdate() {}

}  // namespace

void UseSkeletonTestHost(void (*boneSetter)(void* bone, const float* matrix, bool flag)) {
  entity_test::UseTestHost();
  EntityHostFunctions host = EntityHost();
  if (boneSetter != nullptr) host.boneStateSetMatrix = reinterpret_cast<const void*>(boneSetter);
  host.agentMeshGetter = reinterpret_cast<const void*>(&AgentMeshGetter);
  host.agentOnUpdate = reinterpret_cast<const void*>(&AgentOnUpdate);
  SetEntityHostFunctions(host);
  g_agentVtable[pose_layout::kAgentVtableMesh] = reinterpret_cast<void*>(&AgentMeshGetter);
  g_agentVtable[pose_layout::kAgentVtableUpdate] = reinterpret_cast<void*>(&AgentOnUpdate);
}

void* AgentVtable() { return g_agentVtable; }

void ResetPoseRuntime() {
  MutableEntityFlags() = EntityRuntimeFlags{};
  ClearPoseTables();
  ClearRootRegistries();
}

RigidMatrix BoneLocal(size_t bone, uint64_t step) {
  const float yaw = 0.01f * static_cast<float>(bone) + 0.02f * static_cast<float>(step);
  return entity_test::Pose(yaw, 0.1f * static_cast<float>(step), 0.5f + 0.001f * static_cast<float>(bone), 0.0f);
}

TestSkeleton::TestSkeleton(size_t bones) {
  const size_t total = kObjectBytes + kMaxTestBones * kBoneStride;
  object_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, total, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  bones_ = object_ + kObjectBytes;
  for (size_t i = 0; i < kMaxTestBones; ++i) {
    uint8_t* bone = static_cast<uint8_t*>(Bone(i));
    Put(object_, kVectorStorage + i * sizeof(void*), static_cast<void*>(bone));
    SetLocal(i, BoneLocal(i, 0));
    SetParent(i, i == 0 ? nullptr : Bone((i - 1) / 2));
    for (size_t list : {pose_layout::kBoneAttachedList, pose_layout::kBoneChildList}) {
      uint8_t* sentinel = bone + kSentinel[ListIndex(list)];
      Put(sentinel, 0, static_cast<void*>(sentinel));   // empty: the first link is the sentinel itself
      SetListHead(i, list, sentinel);
    }
  }
  SetNodeMatrix(BoneLocal(0, 0));
  SetBoneCount(bones);
}

TestSkeleton::~TestSkeleton() { VirtualFree(object_, 0, MEM_RELEASE); }

void* TestSkeleton::Bone(size_t i) const { return bones_ + i * kBoneStride; }

void TestSkeleton::AttachTo(void* owner, size_t offset) const {
  Put(static_cast<uint8_t*>(owner), offset, static_cast<void*>(object_));
}

void TestSkeleton::SetBoneCount(size_t count) {
  count_ = count;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(object_ + kVectorStorage);
  Put(object_, pose_layout::kBonesBegin, begin);
  Put(object_, pose_layout::kBonesEnd, begin + count * sizeof(void*));
}

void TestSkeleton::SetLocal(size_t i, const RigidMatrix& m) { Put(static_cast<uint8_t*>(Bone(i)), pose_layout::kBoneMatrix, m); }

RigidMatrix TestSkeleton::Local(size_t i) const {
  RigidMatrix m{};
  std::memcpy(&m, static_cast<uint8_t*>(Bone(i)) + pose_layout::kBoneMatrix, sizeof(m));
  return m;
}

void TestSkeleton::SetParent(size_t child, const void* parent) {
  Put(static_cast<uint8_t*>(Bone(child)), pose_layout::kBoneParent, parent);
}

void TestSkeleton::SetListHead(size_t i, size_t headOffset, const void* head) {
  Put(static_cast<uint8_t*>(Bone(i)), headOffset, head);
}

void TestSkeleton::FillList(size_t i, size_t headOffset) {
  uint8_t* bone = static_cast<uint8_t*>(Bone(i));
  uint8_t* sentinel = bone + kSentinel[ListIndex(headOffset)];
  uint8_t* element = bone + kListElement;
  Put(element, 0, static_cast<void*>(sentinel));
  Put(sentinel, 0, static_cast<void*>(element));
}

void TestSkeleton::SetNodeMatrix(const RigidMatrix& m) { Put(object_, pose_layout::kSkeletonNodeMatrix, m); }

void TestSkeleton::Animate(uint64_t step) {
  for (size_t i = 0; i < kMaxTestBones; ++i) SetLocal(i, BoneLocal(i, step));
}

void TestSkeleton::ProtectBones(DWORD protection) {
  DWORD old = 0;
  VirtualProtect(bones_, kMaxTestBones * kBoneStride, protection, &old);
  AdvanceRegionCacheEpoch();
}

}  // namespace pose_test
