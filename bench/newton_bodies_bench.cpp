// What a rendered frame costs at full load: 256 moving physics bodies applied and restored, as the
// listener viewport does it, against body objects in real memory; then every root registry full
// (282 roots of 4 nodes, entities laid out one after another in one region as on the host's heap)
// through the render apply and restore. Prints medians of several runs; never fails on timing.
// Under Wine the C runtime's trigonometry is much slower than on Windows, so the history sampling
// alone is printed beside the total.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "entity/entity_counters.h"
#include "entity/entity_layout.h"
#include "entity/entity_runtime.h"
#include "entity/newton_bodies.h"
#include "entity/root_interpolation.h"
#include "entity/root_registries.h"
#include "host/host_memory.h"
#include "interp/transform_history.h"

namespace {

constexpr size_t kObjectSize = 1024;
constexpr int kFrames = 500;
constexpr int kRuns = 7;

void HostNoticesNothing(void*, bool) {}

RigidMatrix Pose(float yaw, float x, float z) {
  RigidMatrix m{};
  m.m[0] = std::cos(yaw);
  m.m[2] = std::sin(yaw);
  m.m[8] = -std::sin(yaw);
  m.m[10] = std::cos(yaw);
  m.m[5] = 1.0f;
  m.m[15] = 1.0f;
  m.m[3] = x;
  m.m[7] = 1.0f;
  m.m[11] = z;
  return m;
}

void* NewtonBodyOf(size_t i) { return reinterpret_cast<void*>(static_cast<uintptr_t>(0x10000 + 16 * i)); }

// Name as an inline host string at +16, matrix at +72, Newton body at +688.
void PlaceBody(uint8_t* object, size_t i, float yaw, float x) {
  const std::string name = "prop_crate_" + std::to_string(i);
  const uint64_t sizeAndCapacity[2] = {name.size(), 15};
  std::memset(object + 16, 0, 16);
  std::memcpy(object + 16, name.data(), name.size());
  std::memcpy(object + 32, sizeAndCapacity, sizeof(sizeAndCapacity));
  const RigidMatrix m = Pose(yaw, x, static_cast<float>(i));
  std::memcpy(object + 72, &m, sizeof(m));
  void* newton = NewtonBodyOf(i);
  std::memcpy(object + 688, &newton, sizeof(newton));
}

ClockSample FrameSample(int frame) {
  ClockSample s{};
  s.status = ClockSampleStatus::Interpolated;
  s.generation = 1;
  s.previousTick = 10;
  s.currentTick = 11;
  s.alpha = (frame % 100) / 100.0 + 0.005;
  return s;
}

// Root entities: the object, then its node-pointer vector and four nodes, in one block each.
constexpr size_t kEntityBytes = 4096;
constexpr size_t kEntityNodes = 4;
constexpr size_t kNodeArrayAt = 2600;
constexpr size_t kNodesAt = 2700;
constexpr size_t kNodeStride = 144;
void* g_vtable[45];

float* EntityRoot(void* entity, float* out) {
  void* reference = nullptr;
  std::memcpy(&reference, static_cast<uint8_t*>(entity) + entity_layout::kReferenceNode, sizeof(reference));
  std::memcpy(out, static_cast<uint8_t*>(reference) + entity_layout::kNodeMatrix, 64);
  return out;
}
void Product(float* out, const float* a, const float* b) {
  float r[16];
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) {
      float sum = 0.0f;
      for (int k = 0; k < 4; ++k) sum += a[row * 4 + k] * b[k * 4 + col];
      r[row * 4 + col] = sum;
    }
  std::memcpy(out, r, sizeof(r));
}
float* Multiply(float* out, const float* a, const float* b) {
  Product(out, a, b);
  return out;
}
float* Inverse(float* out, const float* in) {
  float r[16] = {};
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) r[row * 4 + col] = in[col * 4 + row];
  for (int row = 0; row < 3; ++row) r[row * 4 + 3] = -(r[row * 4] * in[3] + r[row * 4 + 1] * in[7] + r[row * 4 + 2] * in[11]);
  r[15] = 1.0f;
  std::memcpy(out, r, sizeof(r));
  return out;
}
void VirtualSetter() {}

// Name as an inline or heap host string at +256; nodes i units above the root.
void PlaceEntity(uint8_t* entity, const std::string& name, const RigidMatrix& root) {
  void* vtable = g_vtable;
  std::memcpy(entity, &vtable, sizeof(vtable));
  const uint64_t size = name.size();
  const uint64_t capacity = size > 15 ? size : 15;
  std::memset(entity + entity_layout::kName, 0, 32);
  if (size > 15) {
    std::memcpy(entity + 512, name.data(), size);
    uint8_t* data = entity + 512;
    std::memcpy(entity + entity_layout::kName, &data, sizeof(data));
  } else {
    std::memcpy(entity + entity_layout::kName, name.data(), size);
  }
  std::memcpy(entity + entity_layout::kName + 16, &size, sizeof(size));
  std::memcpy(entity + entity_layout::kName + 24, &capacity, sizeof(capacity));
  for (size_t i = 0; i < kEntityNodes; ++i) {
    uint8_t* node = entity + kNodesAt + i * kNodeStride;
    std::memcpy(entity + kNodeArrayAt + i * sizeof(void*), &node, sizeof(node));
    const RigidMatrix offset = Pose(0.0f, 0.0f, 0.0f);
    RigidMatrix placed = offset;
    placed.m[7] = static_cast<float>(i);
    Product(placed.m, root.m, placed.m);
    std::memcpy(node + entity_layout::kNodeMatrix, &placed, sizeof(placed));
  }
  const uintptr_t begin = reinterpret_cast<uintptr_t>(entity + kNodeArrayAt);
  const uintptr_t end = begin + kEntityNodes * sizeof(void*);
  std::memcpy(entity + entity_layout::kNodesBegin, &begin, sizeof(begin));
  std::memcpy(entity + entity_layout::kNodesEnd, &end, sizeof(end));
  uint8_t* first = entity + kNodesAt;
  std::memcpy(entity + entity_layout::kReferenceNode, &first, sizeof(first));
}

// Per-frame times: on a shared machine the median frame is one that ran without being preempted.
double Percentile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}
double Median(std::vector<double> values) { return Percentile(std::move(values), 0.5); }

int64_t Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double Microseconds(int64_t ticks) {
  static const double perTick = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1e6 / static_cast<double>(frequency.QuadPart);
  }();
  return static_cast<double>(ticks) * perTick;
}

}  // namespace

int main() {
  auto* block = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, kNewtonBodyCapacity * kObjectSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (block == nullptr) return 1;
  MutableEntityFlags().worldRoot = true;
  EntityHostFunctions host;
  host.nodeMatrixChanged = HostNoticesNothing;
  SetEntityHostFunctions(host);
  for (uint64_t tick = 10; tick <= 11; ++tick) {
    const float step = static_cast<float>(tick - 10);
    for (size_t i = 0; i < kNewtonBodyCapacity; ++i) {
      PlaceBody(block + i * kObjectSize, i, 0.1f * step, 0.5f * step);
      RecordNewtonBody(block + i * kObjectSize, NewtonBodyOf(i));
    }
    DrainNewtonStage(tick, 1);
  }

  std::vector<double> total;
  size_t failures = 0;
  for (int frame = 0; frame < kRuns * kFrames; ++frame) {
    const ClockSample sample = FrameSample(frame);
    const int64_t start = Now();
    AdvanceRegionCacheEpoch();
    for (size_t i = 0; i < kNewtonBodyCapacity; ++i) failures += ApplyNewtonBody(i, sample) ? 0 : 1;
    AdvanceRegionCacheEpoch();
    for (size_t i = kNewtonBodyCapacity; i-- > 0;) failures += RestoreNewtonBody(i) ? 0 : 1;
    total.push_back(Microseconds(Now() - start));
  }

  TransformHistory history{};
  PublishTransformHistory(history, 10, 1, Pose(0.0f, 0.0f, 0.0f));
  PublishTransformHistory(history, 11, 1, Pose(0.1f, 0.5f, 0.0f));
  std::vector<double> sampling;
  uint64_t interpolated = 0;
  for (int frame = 0; frame < kRuns * kFrames; ++frame) {
    const ClockSample sample = FrameSample(frame);
    const int64_t start = Now();
    for (size_t i = 0; i < kNewtonBodyCapacity; ++i)
      interpolated += SampleTransformHistory(history, sample).result == TransformSampleResult::Interpolated;
    sampling.push_back(Microseconds(Now() - start));
  }

  std::printf("newton bodies: %zu moving, apply+restore per frame median %.1f us (p10 %.1f); "
              "history sampling alone %.1f us; %d frames; failures=%zu\n",
              kNewtonBodyCapacity, Median(total), Percentile(total, 0.1), Median(sampling), kRuns * kFrames, failures);
  ResetNewtonBodies();
  VirtualFree(block, 0, MEM_RELEASE);
  const bool bodiesOk = interpolated == static_cast<uint64_t>(kRuns) * kFrames * kNewtonBodyCapacity && failures == 0;

  // Every root registry full, through the render apply and restore the listener viewport calls.
  constexpr size_t kRoots = 2 + kHeldCapacity + kScriptedCapacity + kInspectionCapacity;
  auto* entities =
      static_cast<uint8_t*>(VirtualAlloc(nullptr, kRoots * kEntityBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (entities == nullptr) return 1;
  host.getMatrix = &EntityRoot;
  host.inverse = &Inverse;
  host.multiply = &Multiply;
  host.virtualSetMatrix = reinterpret_cast<const void*>(&VirtualSetter);
  SetEntityHostFunctions(host);
  g_vtable[entity_layout::kVtableGetMatrix] = reinterpret_cast<void*>(&EntityRoot);
  g_vtable[entity_layout::kVtableSetMatrix] = reinterpret_cast<void*>(&VirtualSetter);
  EntityRuntimeFlags& flags = MutableEntityFlags();
  flags.hostBase = 0x10000;
  flags.handsRoot = true;
  flags.worldRoot = false;
  std::vector<std::string> names = {"PlayerHands_Arms", "PlayerBody_Model"};
  for (size_t i = 0; i < kHeldCapacity; ++i) names.push_back("tool_" + std::to_string(i) + (i % 2 ? "_Accessory" : "_Held"));
  for (size_t i = 0; i < kScriptedCapacity; ++i) names.push_back("mover_" + std::to_string(i));
  for (size_t i = 0; i < kInspectionCapacity; ++i) names.push_back("exhibit_" + std::to_string(i));
  RootRegistries& r = TheRootRegistries();
  for (uint64_t tick = 10; tick <= 11; ++tick) {
    const float step = static_cast<float>(tick - 10);
    for (size_t i = 0; i < kRoots; ++i) {
      uint8_t* entity = entities + i * kEntityBytes;
      const RigidMatrix root = Pose(0.1f * step, 0.5f * step, static_cast<float>(i));
      PlaceEntity(entity, names[i], root);
      EntityName name;
      CopyEntityName(names[i].data(), names[i].size(), &name);
      if (i == 0) SetRootSlot(r.hands, entity, root);
      else if (i == 1) SetRootSlot(r.body, entity, root);
      else if (i < 2 + kHeldCapacity) RegisterHeld(entity, root, name);
      else if (i < 2 + kHeldCapacity + kScriptedCapacity) RegisterScripted(entity, root, name, 0, EntityVtableRva(entity));
      else {
        if (tick == 10) RegisterReadableInspection(entity);
        RegisterInspection(entity, root, name, 0, EntityVtableRva(entity));
      }
    }
    EntityTickCapture(tick, 1);
  }
  std::vector<double> applyUs, restoreUs;
  const uint64_t appliedBefore = TheEntityCounters().rootApplied;
  for (int frame = 0; frame < kRuns * kFrames; ++frame) {
    const int64_t start = Now();
    EntityRenderApply(FrameSample(frame));
    const int64_t mid = Now();
    EntityRenderRestore();
    const int64_t end = Now();
    applyUs.push_back(Microseconds(mid - start));
    restoreUs.push_back(Microseconds(end - mid));
  }
  const uint64_t applied = TheEntityCounters().rootApplied - appliedBefore;
  std::printf("roots: %zu of %zu nodes, apply per frame median %.1f us (p10 %.1f), restore %.1f us (p10 %.1f); "
              "%d frames; applied %llu of %llu\n",
              kRoots, kEntityNodes, Median(applyUs), Percentile(applyUs, 0.1), Median(restoreUs),
              Percentile(restoreUs, 0.1), kRuns * kFrames,
              static_cast<unsigned long long>(applied), static_cast<unsigned long long>(kRoots) * kRuns * kFrames);
  ClearRootRegistries();
  VirtualFree(entities, 0, MEM_RELEASE);

  // Nothing registered, hands and world roots on: the fixed cost of every listener frame. The host
  // draws between two frames, so the plug-in's tables are cold by the next one.
  flags.worldRoot = true;
  std::vector<uint8_t> drawing(8u << 20);
  std::vector<double> emptyUs;
  for (int frame = 0; frame < kFrames; ++frame) {
    for (size_t i = 0; i < drawing.size(); i += 64) drawing[i] = static_cast<uint8_t>(drawing[i] + frame);
    const int64_t start = Now();
    EntityRenderApply(FrameSample(frame));
    EntityRenderRestore();
    emptyUs.push_back(Microseconds(Now() - start));
  }
  std::printf("nothing registered: apply+restore per frame median %.3f us (p10 %.3f), tables cold; %d frames\n",
              Median(emptyUs), Percentile(emptyUs, 0.1), kFrames);
  return bodiesOk && applied == static_cast<uint64_t>(kRoots) * kRuns * kFrames ? 0 : 1;
}
