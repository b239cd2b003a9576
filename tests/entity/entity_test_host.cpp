#include "entity/entity_test_host.h"

#include <cmath>

namespace entity_test {
namespace {

HostCalls g_calls;

void Multiply(float* out, const float* a, const float* b) {
  float r[16];
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) {
      float sum = 0.0f;
      for (int k = 0; k < 4; ++k) sum += a[row * 4 + k] * b[k * 4 + col];
      r[row * 4 + col] = sum;
    }
  std::memcpy(out, r, sizeof(r));
}

// Rotation times uniform scale: the inverse is the transpose over the squared scale.
void RigidInverse(float* out, const float* in) {
  const float scale2 = in[0] * in[0] + in[4] * in[4] + in[8] * in[8];
  float r[16] = {};
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) r[row * 4 + col] = in[col * 4 + row] / scale2;
  for (int row = 0; row < 3; ++row)
    r[row * 4 + 3] = -(r[row * 4 + 0] * in[3] + r[row * 4 + 1] * in[7] + r[row * 4 + 2] * in[11]);
  r[15] = 1.0f;
  std::memcpy(out, r, sizeof(r));
}

void* ReferenceNode(const uint8_t* entity) {
  void* reference = nullptr;
  uintptr_t begin = 0;
  uintptr_t end = 0;
  std::memcpy(&reference, entity + kReference, sizeof(reference));
  std::memcpy(&begin, entity + kNodesBegin, sizeof(begin));
  std::memcpy(&end, entity + kNodesEnd, sizeof(end));
  if (reference == nullptr && begin != end) std::memcpy(&reference, reinterpret_cast<void*>(begin), sizeof(reference));
  if (reference == nullptr) std::memcpy(&reference, entity + kFallback, sizeof(reference));
  return reference;
}

float* HostGetMatrix(void* entity, float* out) {
  auto* node = static_cast<uint8_t*>(ReferenceNode(static_cast<uint8_t*>(entity)));
  std::memcpy(out, node + kNodeMatrix, 64);
  if (++g_calls.getMatrixCalls == g_calls.skewOnCall) out[3] += 1.0f;
  static float other[16];
  return g_calls.getMatrixReturnsOther ? other : out;
}
float* HostInverse(float* out, const float* in) {
  RigidInverse(out, in);
  return out;
}
float* HostMultiply(float* out, const float* a, const float* b) {
  Multiply(out, a, b);
  return out;
}
void HostNodeChanged(void*, bool) { ++g_calls.nodeChanged; }
void HostVirtualSetMatrix() {}
void HostOtherGetter() {}

void* g_vtable[45];
void* g_foreignVtable[45];

}  // namespace

HostCalls& Calls() { return g_calls; }

void UseTestHost() {
  g_calls = HostCalls{};
  EntityHostFunctions host;
  host.getMatrix = &HostGetMatrix;
  host.inverse = &HostInverse;
  host.multiply = &HostMultiply;
  host.nodeMatrixChanged = &HostNodeChanged;
  host.virtualSetMatrix = reinterpret_cast<const void*>(&HostVirtualSetMatrix);
  SetEntityHostFunctions(host);
  g_vtable[20] = reinterpret_cast<void*>(&HostGetMatrix);
  g_vtable[44] = reinterpret_cast<void*>(&HostVirtualSetMatrix);
  g_foreignVtable[20] = reinterpret_cast<void*>(&HostOtherGetter);
  g_foreignVtable[44] = reinterpret_cast<void*>(&HostVirtualSetMatrix);
}

void* TestVtable() { return g_vtable; }
void* ForeignVtable() { return g_foreignVtable; }

RigidMatrix Pose(float yaw, float x, float y, float z) {
  RigidMatrix m{};
  m.m[0] = std::cos(yaw);
  m.m[2] = std::sin(yaw);
  m.m[5] = 1.0f;
  m.m[8] = -std::sin(yaw);
  m.m[10] = std::cos(yaw);
  m.m[3] = x;
  m.m[7] = y;
  m.m[11] = z;
  m.m[15] = 1.0f;
  return m;
}

TestEntity::TestEntity(const std::string& name, size_t nodeCount, const RigidMatrix& root) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  pageSize_ = info.dwPageSize;
  const size_t nodeBytes = kMaxNodes * kNodeStride;
  const size_t total = pageSize_ + ((nodeBytes + pageSize_ - 1) / pageSize_) * pageSize_;
  base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, total, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  SetVtable(TestVtable());
  SetName(name);
  for (size_t i = 0; i < kMaxNodes; ++i) {
    void* node = Node(i);
    std::memcpy(base_ + kNodeArray + i * sizeof(void*), &node, sizeof(node));
  }
  void* fallback = Node(0);
  std::memcpy(base_ + kFallback, &fallback, sizeof(fallback));
  SetNodeCount(nodeCount);
  MoveTo(root);
}

TestEntity::~TestEntity() { VirtualFree(base_, 0, MEM_RELEASE); }

void TestEntity::SetName(const std::string& name) {
  uint64_t size = name.size();
  uint64_t capacity = size > 15 ? size : 15;
  std::memset(base_ + kName, 0, 32);
  if (size > 15) {
    std::memcpy(base_ + kLongNameData, name.data(), size);
    void* data = base_ + kLongNameData;
    std::memcpy(base_ + kName, &data, sizeof(data));
  } else {
    std::memcpy(base_ + kName, name.data(), size);
  }
  std::memcpy(base_ + kName + 16, &size, sizeof(size));
  std::memcpy(base_ + kName + 24, &capacity, sizeof(capacity));
  AdvanceRegionCacheEpoch();
}

void TestEntity::SetNodeCount(size_t count) {
  nodeCount_ = count;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(base_ + kNodeArray);
  const uintptr_t end = begin + count * sizeof(void*);
  std::memcpy(base_ + kNodesBegin, &begin, sizeof(begin));
  std::memcpy(base_ + kNodesEnd, &end, sizeof(end));
  SetReference(nullptr);
}

void TestEntity::MoveTo(const RigidMatrix& root) {
  // Node i sits i units above the root, so a rigid move keeps every node's place relative to it.
  for (size_t i = 0; i < kMaxNodes; ++i) {
    RigidMatrix offset = Pose(0.0f, 0.0f, static_cast<float>(i), 0.0f);
    RigidMatrix node{};
    Multiply(node.m, root.m, offset.m);
    std::memcpy(static_cast<uint8_t*>(Node(i)) + kNodeMatrix, &node, sizeof(node));
  }
}

RigidMatrix TestEntity::Root() const {
  RigidMatrix m{};
  HostGetMatrix(base_, m.m);
  return m;
}

RigidMatrix TestEntity::NodeMatrix(size_t i) const {
  RigidMatrix m{};
  std::memcpy(&m, static_cast<const uint8_t*>(Node(i)) + kNodeMatrix, sizeof(m));
  return m;
}

void TestEntity::ProtectNodes(DWORD protection) {
  DWORD old = 0;
  VirtualProtect(base_ + pageSize_, kMaxNodes * kNodeStride, protection, &old);
  AdvanceRegionCacheEpoch();
}

void TestEntity::ProtectObject(DWORD protection) {
  DWORD old = 0;
  VirtualProtect(base_, pageSize_, protection, &old);
  AdvanceRegionCacheEpoch();
}

ClockSample Sample(uint64_t previousTick, uint64_t currentTick, double alpha, uint64_t generation) {
  ClockSample s{};
  s.status = ClockSampleStatus::Interpolated;
  s.generation = generation;
  s.previousTick = previousTick;
  s.currentTick = currentTick;
  s.alpha = alpha;
  return s;
}

}  // namespace entity_test
