// Per-draw cost of particle interpolation for one emitter: copying the particle pointers, the
// checked blend and restore, and the registry lookup, over 4096 particles (the most one draw blends),
// with the particles in pool order or shuffled, warm in the caches or not.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "particles/emitter_registry.h"
#include "particles/particle_blend.h"

namespace {

// A particle of kParticleBytes: its positions, then the host's other fields. 48 bytes, as the
// stand-in's, puts a quarter of the particles' positions across two cache lines.
constexpr size_t kParticleBytes = 48;
struct Particle {
  float current[3];
  float previous[3];
  float rest[kParticleBytes / sizeof(float) - 6];
};

// Answers as the plug-in's region cache would for a pool in one heap region: from memory.
HostRegionMemo g_poolRegion;
bool InPool(const void* address, size_t length, bool, HostRegionMemo& region) {
  region = g_poolRegion;
  const auto start = reinterpret_cast<uintptr_t>(address);
  return start >= region.base && start + length <= region.end;
}

// A pool of particles; shuffled, the draw order jumps around the pool as it does after particles die.
struct Emitter {
  std::vector<Particle> pool;
  std::vector<uint8_t*> particles;
  Emitter(uint32_t count, bool shuffled) : pool(count), particles(count) {
    for (uint32_t i = 0; i < count; ++i) {
      const float x = static_cast<float>(i) * 0.01f;
      pool[i] = {{x, 1.0f, -x}, {x - 0.02f, 0.98f, -x + 0.01f}, {}};
      particles[i] = reinterpret_cast<uint8_t*>(&pool[i]);
    }
    if (shuffled) std::shuffle(particles.begin(), particles.end(), std::mt19937(7));
  }
};

// Larger than the core's own caches, which the game's other work and its neighbours use between draws.
constexpr size_t kEvictionBytes = 4u << 20;

// Args: particles, shuffled, cold (the caches are flushed before every draw, outside the timing).
void BM_BlendAndRestore(benchmark::State& state) {
  Emitter emitter(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
  const bool cold = state.range(2) != 0;
  std::vector<uint8_t> eviction(cold ? kEvictionBytes : 0);
  const auto count = static_cast<uint32_t>(emitter.particles.size());
  auto scratch = std::make_unique<ParticleScratch>();
  auto registry = std::make_unique<EmitterRegistry>();
  RegisterEmitter(*registry, 0x7f3000, 5);
  const auto pool = reinterpret_cast<uintptr_t>(emitter.pool.data());
  g_poolRegion = {pool, pool + emitter.pool.size() * sizeof(Particle), true};
  uint8_t round = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      std::fill(eviction.begin(), eviction.end(), ++round);
      benchmark::ClobberMemory();
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(EmitterRecentlyUpdated(*registry, 0x7f3000, 5));
    const ParticleBlendResult blend = BlendParticlePositions(emitter.particles.data(), count, 0.37f, *scratch, &InPool);
    benchmark::DoNotOptimize(blend);
    benchmark::ClobberMemory();
    benchmark::DoNotOptimize(
        RestoreParticlePositions(*scratch, count, blend, &InPool));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_BlendAndRestore)
    ->Args({4096, 0, 0})
    ->Args({4096, 1, 0})
    ->Args({256, 0, 0})
    ->Unit(benchmark::kMicrosecond);
// A fixed count: the flushing is not timed, so a time budget would run far too long.
BENCHMARK(BM_BlendAndRestore)->Args({4096, 0, 1})->Args({4096, 1, 1})->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_RegisterEmitter(benchmark::State& state) {
  auto registry = std::make_unique<EmitterRegistry>();
  uint64_t tick = 1;
  for (auto _ : state) benchmark::DoNotOptimize(RegisterEmitter(*registry, 0x7f3000, ++tick));
}
BENCHMARK(BM_RegisterEmitter);

}  // namespace

BENCHMARK_MAIN();
