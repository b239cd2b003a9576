// What a rendered frame costs with a full skeletal registry: 32 skeletons of 256 moving bones
// blended, written through a bone setter, read back and put back, as the listener viewport does it,
// against skeletons in real memory. Prints medians of several runs; never fails on timing. The
// blend alone is printed beside the total, since under Wine the C runtime's trigonometry is slower
// than on Windows. On a shared machine the thread's own CPU time per frame is the figure to compare.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "entity/entity_runtime.h"
#include "host/host_memory.h"
#include "pose/pose_layout.h"
#include "pose/pose_state.h"

namespace {

constexpr uint64_t kBones = kPoseMaxBones;
constexpr size_t kBoneStride = 432;
constexpr size_t kEntityBytes = 4096;
constexpr size_t kSkeletonBytes = 4096 + kBones * kBoneStride;
constexpr int kFrames = 200;
constexpr int kRuns = 7;
constexpr size_t kEvictBytes = 64u << 20;

void HostNoticesNothing(void*, bool) {}
float* HostGetMatrix(void*, float* out) { return out; }
void HostVirtualSetMatrix() {}
void HostBoneSetMatrix(void* bone, const float* matrix, bool) {
  std::memcpy(static_cast<uint8_t*>(bone) + pose_layout::kBoneMatrix, matrix, 64);
}
void* g_vtable[45];

RigidMatrix BonePose(uint64_t bone, float step) {
  const float yaw = 0.01f * static_cast<float>(bone) + 0.05f * step;
  RigidMatrix m{};
  m.m[0] = std::cos(yaw);
  m.m[2] = std::sin(yaw);
  m.m[8] = -std::sin(yaw);
  m.m[10] = std::cos(yaw);
  m.m[5] = 1.0f;
  m.m[15] = 1.0f;
  m.m[3] = 0.1f * step;
  m.m[7] = static_cast<float>(bone) * 0.02f;
  return m;
}

// A prop with its skeleton, registered and captured for ticks 10 and 11; the host holds tick 11.
bool PlaceProp(SkeletalPropRecord& record, uint8_t* entity, uint8_t* skeleton, size_t index) {
  void* vtable = g_vtable;
  std::memcpy(entity, &vtable, 8);
  const std::string name = "ragdoll_" + std::to_string(index);
  const uint64_t sizeAndCapacity[2] = {name.size(), 15};
  std::memcpy(entity + 256, name.data(), name.size());
  std::memcpy(entity + 272, sizeAndCapacity, sizeof(sizeAndCapacity));
  std::memcpy(entity + pose_layout::kPropSkeleton, &skeleton, 8);
  uint8_t* array = skeleton + 1024;
  RigidMatrix previous[kBones], current[kBones];
  for (uint64_t i = 0; i < kBones; ++i) {
    uint8_t* bone = skeleton + 4096 + i * kBoneStride;
    std::memcpy(array + i * 8, &bone, 8);
    previous[i] = BonePose(i, 0.0f);
    current[i] = BonePose(i, 1.0f);
    std::memcpy(bone + pose_layout::kBoneMatrix, &current[i], 64);
    record.storedBones[i] = bone;
  }
  const uintptr_t begin = reinterpret_cast<uintptr_t>(array), end = begin + kBones * 8;
  std::memcpy(skeleton + pose_layout::kBonesBegin, &begin, 8);
  std::memcpy(skeleton + pose_layout::kBonesEnd, &end, 8);
  record.entity = entity;
  CopyEntityName(name.data(), name.size(), &record.name);
  record.skeletonOffset = pose_layout::kPropSkeleton;
  record.poseActive = true;
  record.storedSkeleton = skeleton;
  record.storedCount = kBones;
  PublishPoseHistory(record.history, 10, 1, previous, kBones, true);
  return PublishPoseHistory(record.history, 11, 1, current, kBones, true) == PosePublishResult::Appended;
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

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double MicrosecondsPerFrame(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency) {
  return static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart) / kFrames;
}

// The calling thread's user and kernel time, in 100 ns units.
uint64_t ThreadCpu() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return ticks(kernel) + ticks(user);
}

double CpuMicrosecondsPerFrame(uint64_t start, uint64_t end) { return static_cast<double>(end - start) / 10.0 / kFrames; }

RigidMatrix g_blend[kPoseMaxBones];

}  // namespace

int main() {
  const size_t perProp = kEntityBytes + kSkeletonBytes;
  auto* block = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, kSkeletalPropCapacity * perProp, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (block == nullptr) return 1;
  EntityHostFunctions host;
  host.getMatrix = HostGetMatrix;
  host.nodeMatrixChanged = HostNoticesNothing;
  host.virtualSetMatrix = reinterpret_cast<const void*>(&HostVirtualSetMatrix);
  host.boneStateSetMatrix = reinterpret_cast<const void*>(&HostBoneSetMatrix);
  SetEntityHostFunctions(host);
  g_vtable[20] = reinterpret_cast<void*>(&HostGetMatrix);
  g_vtable[44] = reinterpret_cast<void*>(&HostVirtualSetMatrix);
  MutableEntityFlags().ragdollPose = true;
  SkeletalPropRegistry& props = TheSkeletalProps();
  for (size_t i = 0; i < kSkeletalPropCapacity; ++i) {
    uint8_t* entity = block + i * perProp;
    if (!PlaceProp(props.records[i], entity, entity + kEntityBytes, i)) return 1;
  }

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> total, totalCpu;
  for (int run = 0; run < kRuns; ++run) {
    LARGE_INTEGER start, end;
    const uint64_t cpuStart = ThreadCpu();
    QueryPerformanceCounter(&start);
    for (int frame = 0; frame < kFrames; ++frame) {
      AdvanceRegionCacheEpoch();
      PoseRenderApply(FrameSample(frame));
      AdvanceRegionCacheEpoch();
      PoseRenderRestore();
    }
    QueryPerformanceCounter(&end);
    total.push_back(MicrosecondsPerFrame(start, end, frequency));
    totalCpu.push_back(CpuMicrosecondsPerFrame(cpuStart, ThreadCpu()));
  }

  // In the game the host draws and simulates between two frames, and the bones, histories and
  // restore buffers are cold when the apply starts: the same frames again, each after a walk over
  // more memory than the caches hold, timed without the walk.
  std::vector<uint8_t> evict(kEvictBytes);
  std::vector<double> cold;
  for (int run = 0; run < kRuns; ++run) {
    int64_t ticks = 0;
    for (int frame = 0; frame < kFrames; ++frame) {
      for (size_t i = 0; i < evict.size(); i += 64) evict[i] = static_cast<uint8_t>(evict[i] + frame);
      LARGE_INTEGER start, end;
      QueryPerformanceCounter(&start);
      AdvanceRegionCacheEpoch();
      PoseRenderApply(FrameSample(frame));
      AdvanceRegionCacheEpoch();
      PoseRenderRestore();
      QueryPerformanceCounter(&end);
      ticks += end.QuadPart - start.QuadPart;
    }
    cold.push_back(static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency.QuadPart) / kFrames);
  }

  std::vector<double> blending, blendingCpu;
  for (int run = 0; run < kRuns; ++run) {
    LARGE_INTEGER start, end;
    const uint64_t cpuStart = ThreadCpu();
    QueryPerformanceCounter(&start);
    for (int frame = 0; frame < kFrames; ++frame) {
      uint64_t count = 0;
      for (const SkeletalPropRecord& record : props.records)
        SamplePoseHistory(record.history, FrameSample(frame), g_blend, &count);
    }
    QueryPerformanceCounter(&end);
    blending.push_back(MicrosecondsPerFrame(start, end, frequency));
    blendingCpu.push_back(CpuMicrosecondsPerFrame(cpuStart, ThreadCpu()));
  }

  uint64_t applied = 0, failed = 0;
  for (const SkeletalPropRecord& record : props.records) {
    applied += record.renderApplied;
    failed += record.renderFail + record.restoreFail;
  }
  std::printf("skeletal props: %zu x %llu bones, apply+restore per frame median %.1f us (min %.1f, max %.1f); "
              "from cold caches %.1f us (min %.1f); "
              "blend alone %.1f us; thread CPU per frame: total %.1f us, blend alone %.1f us; %d runs x %d frames; "
              "applied=%llu failed=%llu\n",
              kSkeletalPropCapacity, static_cast<unsigned long long>(kBones), Median(total),
              *std::min_element(total.begin(), total.end()), *std::max_element(total.begin(), total.end()),
              Median(cold), *std::min_element(cold.begin(), cold.end()), Median(blending), Median(totalCpu), Median(blendingCpu), kRuns, kFrames, static_cast<unsigned long long>(applied),
              static_cast<unsigned long long>(failed));
  VirtualFree(block, 0, MEM_RELEASE);
  return applied == static_cast<uint64_t>(2 * kRuns) * kFrames * kSkeletalPropCapacity && failed == 0 ? 0 : 1;
}
