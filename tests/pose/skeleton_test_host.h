#pragma once
// Host skeletons laid out as the game lays them out: the skeleton object with its bone vector, and
// bones with their local matrix, parent pointer and two node lists, in pages a test can protect.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "interp/transform.h"

namespace pose_test {

inline constexpr size_t kMaxTestBones = 260;

// The entity test host, plus an agent class the runtime recognises and, when given, a bone setter.
void UseSkeletonTestHost(void (*boneSetter)(void* bone, const float* matrix, bool flag) = nullptr);
// The virtual table of that agent class, for TestEntity::SetVtable.
void* AgentVtable();
// Empty pose tables and root registries, every runtime flag off: where each test starts and ends.
void ResetPoseRuntime();

class TestSkeleton {
 public:
  // Bone i > 0 hangs from bone (i - 1) / 2; bone i's local matrix is BoneLocal(i, 0).
  explicit TestSkeleton(size_t bones);
  ~TestSkeleton();
  TestSkeleton(const TestSkeleton&) = delete;
  TestSkeleton& operator=(const TestSkeleton&) = delete;

  void* get() const { return object_; }
  void* Bone(size_t i) const;
  size_t Count() const { return count_; }
  // Writes the skeleton pointer at owner + offset.
  void AttachTo(void* owner, size_t offset) const;
  void SetBoneCount(size_t count);   // 0: an empty vector
  void SetLocal(size_t i, const RigidMatrix& m);
  RigidMatrix Local(size_t i) const;
  void SetParent(size_t child, const void* parent);
  // A bone's node list (attached +392 or children +408): head at the bone's sentinel, or null.
  void SetListHead(size_t i, size_t headOffset, const void* head);
  // Puts one element in the bone's list, so its sentinel's first link is no longer itself.
  void FillList(size_t i, size_t headOffset);
  void SetNodeMatrix(const RigidMatrix& m);
  // Every bone moved as at step: distinct per bone and per step, rigid.
  void Animate(uint64_t step);
  void ProtectBones(DWORD protection);

 private:
  uint8_t* object_ = nullptr;
  uint8_t* bones_ = nullptr;
  size_t count_ = 0;
};

RigidMatrix BoneLocal(size_t bone, uint64_t step);

}  // namespace pose_test
