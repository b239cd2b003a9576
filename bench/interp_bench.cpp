// Per-frame costs of the interpolation core: the primitives and one Sample per history kind.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "interp/camera_history.h"
#include "interp/pose_history.h"
#include "interp/transform.h"
#include "interp/transform_history.h"

namespace {

RigidMatrix Oblique(float angle, float tx) {
  // Rotation about the unit axis (0.48, 0.6, 0.64).
  const float x = 0.48f, y = 0.6f, z = 0.64f;
  const float c = std::cos(angle), s = std::sin(angle), k = 1.0f - c;
  RigidMatrix r{};
  r.m[0] = c + x * x * k;
  r.m[1] = x * y * k - z * s;
  r.m[2] = x * z * k + y * s;
  r.m[4] = y * x * k + z * s;
  r.m[5] = c + y * y * k;
  r.m[6] = y * z * k - x * s;
  r.m[8] = z * x * k - y * s;
  r.m[9] = z * y * k + x * s;
  r.m[10] = c + z * z * k;
  r.m[3] = tx;
  r.m[15] = 1.0f;
  return r;
}

ClockSample Pair(uint64_t previous, uint64_t generation) {
  ClockSample s{};
  s.status = ClockSampleStatus::Interpolated;
  s.generation = generation;
  s.previousTick = previous;
  s.currentTick = previous + 1;
  s.alpha = 0.37;
  return s;
}

void BM_InterpolateRigid(benchmark::State& state) {
  const RigidMatrix a = Oblique(0.3f, 0.0f);
  const RigidMatrix b = Oblique(0.5f, 1.0f);
  RigidMatrix out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(InterpolateRigid(a, b, 0.37f, &out));
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_InterpolateRigid);

void BM_Slerp(benchmark::State& state) {
  const Quaternion a = Normalise({0.9f, 0.1f, 0.4f, 0.1f});
  const Quaternion b = Normalise({0.7f, -0.2f, 0.6f, 0.3f});
  for (auto _ : state) benchmark::DoNotOptimize(Slerp(a, b, 0.37f));
}
BENCHMARK(BM_Slerp);

void BM_SampleTransformHistory(benchmark::State& state) {
  TransformHistory h{};
  PublishTransformHistory(h, 1, 1, Oblique(0.3f, 0.0f));
  PublishTransformHistory(h, 2, 1, Oblique(0.5f, 1.0f));
  const ClockSample s = Pair(1, 1);
  for (auto _ : state) benchmark::DoNotOptimize(SampleTransformHistory(h, s));
}
BENCHMARK(BM_SampleTransformHistory);

// Argument: bone count, and whether the skeleton moved between the ticks.
void BM_SamplePoseHistory(benchmark::State& state) {
  static PoseHistory h;
  static RigidMatrix older[kPoseMaxBones];
  static RigidMatrix newer[kPoseMaxBones];
  static RigidMatrix out[kPoseMaxBones];
  const auto bones = static_cast<uint64_t>(state.range(0));
  const bool moved = state.range(1) != 0;
  for (uint64_t i = 0; i < bones; ++i) {
    older[i] = Oblique(0.01f * static_cast<float>(i), static_cast<float>(i));
    newer[i] = moved ? Oblique(0.01f * static_cast<float>(i) + 0.05f, static_cast<float>(i) + 0.1f) : older[i];
  }
  ResetPoseHistory(h);
  PublishPoseHistory(h, 1, 1, older, bones, true);
  PublishPoseHistory(h, 2, 1, newer, bones, true);
  const ClockSample s = Pair(1, 1);
  uint64_t count = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SamplePoseHistory(h, s, out, &count));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bones));
}
BENCHMARK(BM_SamplePoseHistory)->Args({64, 1})->Args({256, 1})->Args({256, 0});

// The per-tick side of a pose: validation, conversion and the per-bone continuity test of 256
// moving bones, alternating between two poses one tick apart.
void BM_PublishPoseHistory(benchmark::State& state) {
  static PoseHistory h;
  static RigidMatrix poses[2][kPoseMaxBones];
  for (uint64_t i = 0; i < kPoseMaxBones; ++i) {
    const float f = static_cast<float>(i);
    poses[0][i] = Oblique(0.01f * f, f);
    poses[1][i] = Oblique(0.01f * f + 0.05f, f + 0.1f);
  }
  ResetPoseHistory(h);
  uint64_t tick = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(PublishPoseHistory(h, tick, 1, poses[tick % 2], kPoseMaxBones, false));
    ++tick;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPoseMaxBones));
}
BENCHMARK(BM_PublishPoseHistory);

// Argument: 0 euler mode, 1 matrix mode.
void BM_SampleCameraHistory(benchmark::State& state) {
  CameraSnapshot a{};
  CameraSnapshot b{};
  if (state.range(0) == 0) {
    a = {{0.0f, 1.7f, 0.0f}, 0.1f, 2.0f, 0.0f, kCameraModeEuler, {}};
    b = {{0.2f, 1.7f, 0.1f}, 0.12f, 2.05f, 0.0f, kCameraModeEuler, {}};
  } else {
    a = {{0.0f, 1.7f, 0.0f}, 0.0f, 0.0f, 0.0f, kCameraModeMatrix, Oblique(0.3f, 0.0f)};
    b = {{0.2f, 1.7f, 0.1f}, 0.0f, 0.0f, 0.0f, kCameraModeMatrix, Oblique(0.35f, 0.0f)};
  }
  CameraHistory h{};
  PublishCameraHistory(h, 1, 1, a);
  PublishCameraHistory(h, 2, 1, b);
  const ClockSample s = Pair(1, 1);
  for (auto _ : state) benchmark::DoNotOptimize(SampleCameraHistory(h, s));
}
BENCHMARK(BM_SampleCameraHistory)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
