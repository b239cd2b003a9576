// What a rendered frame costs with a full physics-body registry: 256 moving bodies applied and
// restored, as the listener viewport does it, against body objects in real memory. Prints medians
// of several runs; never fails on timing. Under Wine the C runtime's trigonometry is much slower
// than on Windows, so the history sampling alone is printed beside the total.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "entity/entity_runtime.h"
#include "entity/newton_bodies.h"
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

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double MicrosecondsPerFrame(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency) {
  return static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart) / kFrames;
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

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> total;
  size_t failures = 0;
  for (int run = 0; run < kRuns; ++run) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int frame = 0; frame < kFrames; ++frame) {
      const ClockSample sample = FrameSample(frame);
      AdvanceRegionCacheEpoch();
      for (size_t i = 0; i < kNewtonBodyCapacity; ++i) failures += ApplyNewtonBody(i, sample) ? 0 : 1;
      AdvanceRegionCacheEpoch();
      for (size_t i = kNewtonBodyCapacity; i-- > 0;) failures += RestoreNewtonBody(i) ? 0 : 1;
    }
    QueryPerformanceCounter(&end);
    total.push_back(MicrosecondsPerFrame(start, end, frequency));
  }

  TransformHistory history{};
  PublishTransformHistory(history, 10, 1, Pose(0.0f, 0.0f, 0.0f));
  PublishTransformHistory(history, 11, 1, Pose(0.1f, 0.5f, 0.0f));
  std::vector<double> sampling;
  uint64_t interpolated = 0;
  for (int run = 0; run < kRuns; ++run) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int frame = 0; frame < kFrames; ++frame) {
      const ClockSample sample = FrameSample(frame);
      for (size_t i = 0; i < kNewtonBodyCapacity; ++i)
        interpolated += SampleTransformHistory(history, sample).result == TransformSampleResult::Interpolated;
    }
    QueryPerformanceCounter(&end);
    sampling.push_back(MicrosecondsPerFrame(start, end, frequency));
  }

  std::printf("newton bodies: %zu moving, apply+restore per frame median %.1f us (min %.1f, max %.1f); "
              "history sampling alone %.1f us; %d runs x %d frames; failures=%zu\n",
              kNewtonBodyCapacity, Median(total), *std::min_element(total.begin(), total.end()),
              *std::max_element(total.begin(), total.end()), Median(sampling), kRuns, kFrames, failures);
  VirtualFree(block, 0, MEM_RELEASE);
  return interpolated == static_cast<uint64_t>(kRuns) * kFrames * kNewtonBodyCapacity && failures == 0 ? 0 : 1;
}
