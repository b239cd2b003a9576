#pragma once
// Host entities laid out as the game lays them out, in pages the tests can protect, with host
// functions that do what the game's do: the root is the reference node's matrix.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "entity/entity_runtime.h"
#include "host/host_memory.h"
#include "frame/presentation_clock.h"
#include "interp/transform.h"

namespace entity_test {

inline constexpr size_t kName = 256;
inline constexpr size_t kNodesBegin = 2280;
inline constexpr size_t kNodesEnd = 2288;
inline constexpr size_t kFallback = 2480;
inline constexpr size_t kReference = 2488;
inline constexpr size_t kNodeMatrix = 72;
inline constexpr size_t kLongNameData = 512;   // heap data of a name over 15 bytes
inline constexpr size_t kNodeArray = 2600;     // the body-node vector's storage
inline constexpr size_t kNodeStride = 144;
inline constexpr size_t kMaxNodes = 40;

struct HostCalls {
  int nodeChanged = 0;
  bool getMatrixReturnsOther = false;
  int getMatrixCalls = 0;
  int skewOnCall = 0;           // this getter call reports the root one unit away (0: never)
};
HostCalls& Calls();

// Installs the test host functions and a host base of 0 (every RVA is the address itself).
void UseTestHost();
void* TestVtable();        // slot 20 getter, slot 44 setter
void* ForeignVtable();     // readable, but another class's

RigidMatrix Pose(float yaw, float x, float y, float z);

// One entity per allocation: the object page, then its nodes.
class TestEntity {
 public:
  TestEntity(const std::string& name, size_t nodeCount, const RigidMatrix& root);
  ~TestEntity();
  TestEntity(const TestEntity&) = delete;
  TestEntity& operator=(const TestEntity&) = delete;

  void* get() const { return base_; }
  uint8_t* bytes() const { return base_; }
  void SetName(const std::string& name);
  // Places the nodes so that the root reads as given (every node carries the same offset from it).
  void MoveTo(const RigidMatrix& root);
  RigidMatrix Root() const;
  RigidMatrix NodeMatrix(size_t i) const;
  void* Node(size_t i) const { return base_ + pageSize_ + i * kNodeStride; }
  void SetNodeCount(size_t count);   // count 0: only the fallback node
  void SetReference(void* node) { std::memcpy(base_ + kReference, &node, sizeof(node)); }
  void SetVtable(void* vtable) { std::memcpy(base_, &vtable, sizeof(vtable)); }
  void ProtectNodes(DWORD protection);
  void ProtectObject(DWORD protection);

 private:
  uint8_t* base_ = nullptr;
  size_t pageSize_ = 0;
  size_t nodeCount_ = 0;
};

ClockSample Sample(uint64_t previousTick, uint64_t currentTick, double alpha, uint64_t generation = 1);

}  // namespace entity_test
