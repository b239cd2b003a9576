// The per-draw particle loop: where particles are drawn, what stays alone, and the exact restore.
#include "particles/particle_blend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "particles/emitter_layout.h"

namespace {

struct Particle {
  float current[3];
  float previous[3];
};
static_assert(offsetof(Particle, current) == emitter_layout::kCurrent);
static_assert(offsetof(Particle, previous) == emitter_layout::kPrevious);

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct BlendCase {
  const char* name;
  Particle particle;
  float alpha;
  bool blended;
  float drawn[3];   // when blended
};

TEST(ParticleBlendTest, DrawsBetweenStepsAndLeavesLargeOrBrokenStepsAlone) {
  const BlendCase cases[] = {
      {"alpha 0 draws the previous position", {{1.3f, 2.7f, -0.1f}, {0.9f, 2.2f, 0.3f}}, 0.0f, true, {0.9f, 2.2f, 0.3f}},
      {"alpha 1 draws the current position", {{1.3f, 2.7f, -0.1f}, {0.9f, 2.2f, 0.3f}}, 1.0f, true, {1.3f, 2.7f, -0.1f}},
      {"alpha 0.25 is a quarter of the way", {{2.0f, 2.0f, 8.0f}, {0.0f, 4.0f, 8.0f}}, 0.25f, true, {0.5f, 3.5f, 8.0f}},
      {"a step of exactly 5 units is blended", {{3.0f, 4.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}, 0.5f, true, {1.5f, 2.0f, 0.0f}},
      {"a step of 5.01 units is left alone", {{5.01f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}, 0.5f, false, {}},
      {"a NaN current position is left alone", {{kNaN, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}, 0.5f, false, {}},
      {"a NaN previous position is left alone", {{1.0f, 0.0f, 0.0f}, {0.0f, kNaN, 0.0f}}, 0.5f, false, {}},
      {"infinite positions are left alone",
       {{std::numeric_limits<float>::infinity(), 0, 0}, {std::numeric_limits<float>::infinity(), 0, 0}}, 0.5f, false, {}},
  };
  for (const BlendCase& c : cases) {
    Particle p = c.particle;
    uint8_t* particles[] = {reinterpret_cast<uint8_t*>(&p)};
    float saved[3];
    EXPECT_EQ(BlendParticlePositions(particles, 1, c.alpha, saved), c.blended ? 0u : 1u) << c.name;
    const float* expected = c.blended ? c.drawn : c.particle.current;
    for (int k = 0; k < 3; ++k) {
      if (std::isnan(expected[k])) {
        EXPECT_TRUE(std::isnan(p.current[k])) << c.name;
      } else {
        EXPECT_FLOAT_EQ(p.current[k], expected[k]) << c.name << " axis " << k;
      }
    }
    EXPECT_EQ(std::memcmp(p.previous, c.particle.previous, sizeof p.previous), 0) << c.name << ": previous changed";
  }
}

TEST(ParticleBlendTest, RestoreBringsBackEveryBitWhateverTheCount) {
  // Counts around the unrolled groups of four, with awkward values and a large step mixed in.
  for (uint32_t count : {1u, 3u, 4u, 5u, 7u, 8u, 4095u, 4096u}) {
    std::vector<Particle> pool(count);
    std::vector<uint8_t*> particles(count);
    for (uint32_t i = 0; i < count; ++i) {
      const float x = 0.1f * static_cast<float>(i) + 1e-7f;
      pool[i] = {{x, -x / 3.0f, 1e30f}, {x - 0.3f, -x / 3.0f + 0.7f, 1e30f}};
      if (i % 5 == 2) pool[i].current[2] = 1e30f + 1e24f;   // a large step
      particles[i] = reinterpret_cast<uint8_t*>(&pool[i]);
    }
    const std::vector<Particle> simulated = pool;
    auto scratch = std::make_unique<ParticleScratch>();
    const uint32_t left = BlendParticlePositions(particles.data(), count, 0.37f, scratch->saved);
    EXPECT_EQ(left, (count + 2) / 5) << count;
    EXPECT_NE(std::memcmp(pool.data(), simulated.data(), count * sizeof(Particle)), 0) << count << ": nothing moved";
    RestoreParticlePositions(particles.data(), count, scratch->saved);
    EXPECT_EQ(std::memcmp(pool.data(), simulated.data(), count * sizeof(Particle)), 0) << count;
  }
}

// Answers like CheckHostRange over one pretend mapping of pages, counting the questions.
struct FakeMemory {
  uintptr_t begin;
  uintptr_t end;
  int questions;
};
FakeMemory g_memory;

bool FakeCheck(const void* address, size_t length, bool needWrite) {
  ++g_memory.questions;
  const auto start = reinterpret_cast<uintptr_t>(address);
  return needWrite && start >= g_memory.begin && start + length <= g_memory.end;
}

TEST(ParticleAccessTest, AsksOncePerPageAndRefusesAnyParticleOutsideTheMapping) {
  const uintptr_t base = 0x7f0000000000;
  auto at = [&](uintptr_t offset) { return reinterpret_cast<uint8_t*>(base + offset); };
  struct Case {
    const char* name;
    std::vector<uint8_t*> particles;
    bool accessible;
    int questions;
  };
  std::vector<uint8_t*> packed;
  for (uintptr_t i = 0; i < 400; ++i) packed.push_back(at(i * 24));   // 9600 bytes: pages 0, 1, 2
  const Case cases[] = {
      {"packed particles: one question per page run", packed, true, 3},
      {"a null particle", {at(0), nullptr}, false, 1},
      {"a particle whose positions run past the mapping", {at(0), at(3 * 4096 - 8)}, false, 2},
      {"a particle wholly outside", {at(64), at(8 * 4096)}, false, 2},
      {"a particle at the top of the address space", {reinterpret_cast<uint8_t*>(UINTPTR_MAX - 8)}, false, 0},
      {"back and forth between two pages", {at(0), at(4096), at(24), at(4120)}, true, 4},
  };
  for (const Case& c : cases) {
    g_memory = {base, base + 3 * 4096, 0};
    EXPECT_EQ(ParticlesAccessible(c.particles.data(), static_cast<uint32_t>(c.particles.size()), &FakeCheck), c.accessible)
        << c.name;
    EXPECT_EQ(g_memory.questions, c.questions) << c.name;
  }
}

}  // namespace
