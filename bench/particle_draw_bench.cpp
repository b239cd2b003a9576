// One 4096-particle emitter's draw as the plug-in's own build does it under Windows or Wine: the
// region cache emptied as at every render, the guarded test of the host's array, the blend and the
// restore, over 48-byte particles in committed memory. Drawn back to back, and paced as at 240 FPS
// (the thread sleeping about 4 ms between draws), which is how the game calls it: the gap between
// the two is what a draw pays for finding its caches and its core cooled down. Prints medians;
// never fails on timing.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "host/host_memory.h"
#include "particles/particle_blend.h"

namespace {

constexpr uint32_t kParticles = 4096;
constexpr size_t kParticleBytes = 48;
constexpr int kRuns = 5;
constexpr int kBackToBackDraws = 2000;
constexpr int kPacedDraws = 250;
constexpr DWORD kPaceMs = 4;

ParticleScratch g_scratch;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Median microseconds of one draw over a run.
double Run(uint8_t** array, int draws, DWORD paceMs, LARGE_INTEGER frequency) {
  std::vector<double> times;
  for (int k = 0; k < draws; ++k) {
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    AdvanceRegionCacheEpoch();
    if (CheckHostRange(array, kParticles * sizeof(uint8_t*), false)) {
      const float alpha = 0.25f + 0.5f * static_cast<float>(k % 2);
      const ParticleBlendResult blend = BlendParticlePositions(array, kParticles, alpha, g_scratch, &CheckHostRangeAndRemember);
      if (blend.blended) RestoreParticlePositions(g_scratch, kParticles, blend, &CheckHostRangeAndRemember);
    }
    QueryPerformanceCounter(&end);
    times.push_back(static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart));
    if (paceMs != 0) Sleep(paceMs);
  }
  return Median(times);
}

}  // namespace

int main() {
  auto* block = static_cast<uint8_t*>(VirtualAlloc(nullptr, kParticles * (kParticleBytes + sizeof(uint8_t*)),
                                                   MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (block == nullptr) return 1;
  auto** array = reinterpret_cast<uint8_t**>(block + kParticles * kParticleBytes);
  for (uint32_t i = 0; i < kParticles; ++i) {
    const float x = 0.01f * static_cast<float>(i);
    const float positions[6] = {x, 1.0f, -x, x - 0.02f, 0.98f, -x + 0.01f};
    array[i] = block + i * kParticleBytes;
    std::memcpy(array[i], positions, sizeof positions);
  }
  // Sleep in whole milliseconds, as a frame limiter would.
  timeBeginPeriod(1);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (const bool shuffled : {false, true}) {
    if (shuffled) std::shuffle(array, array + kParticles, std::mt19937(7));
    std::vector<double> backToBack;
    std::vector<double> paced;
    for (int run = 0; run < kRuns; ++run) {
      backToBack.push_back(Run(array, kBackToBackDraws, 0, frequency));
      paced.push_back(Run(array, kPacedDraws, kPaceMs, frequency));
    }
    std::printf("%u particles %s: blend+restore per draw, median of %d run medians: back to back %.2f us, "
                "paced %lu ms apart %.2f us\n",
                kParticles, shuffled ? "shuffled" : "in pool order", kRuns, Median(backToBack),
                static_cast<unsigned long>(kPaceMs), Median(paced));
  }
  timeEndPeriod(1);
  return 0;
}
