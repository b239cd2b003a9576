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
#include <algorithm>
#include <new>

#include "particles/emitter_layout.h"

namespace {

struct Particle {
  float current[3];
  float previous[3];
};
static_assert(offsetof(Particle, current) == emitter_layout::kCurrent);
static_assert(offsetof(Particle, previous) == emitter_layout::kPrevious);

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Everything but the null page is one writable region.
bool Writable(const void* address, size_t, bool, HostRegionMemo& region) {
  region = {1, UINTPTR_MAX, true};
  return address != nullptr;
}

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
      {"a particle at rest stays exactly where it is", {{-6.1f, 3.3f, 7.7f}, {-6.1f, 3.3f, 7.7f}}, 0.37f, true, {-6.1f, 3.3f, 7.7f}},
      {"alpha 1 draws the current position", {{1.3f, 2.7f, -0.1f}, {0.9f, 2.2f, 0.3f}}, 1.0f, true, {1.3f, 2.7f, -0.1f}},
      {"alpha 0.25 is a quarter of the way", {{2.0f, 2.0f, 8.0f}, {0.0f, 4.0f, 8.0f}}, 0.25f, true, {0.5f, 3.5f, 8.0f}},
      {"a step of exactly 5 units is blended", {{3.0f, 4.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}, 0.5f, true, {1.5f, 2.0f, 0.0f}},
      {"a step of 5.01 units is left alone", {{5.01f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}, 0.5f, false, {}},
      {"a NaN current position is left alone", {{kNaN, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}}, 0.5f, false, {}},
      {"a NaN previous position is left alone", {{1.0f, 0.0f, 0.0f}, {0.0f, kNaN, 0.0f}}, 0.5f, false, {}},
      {"infinite positions are left alone",
       {{std::numeric_limits<float>::infinity(), 0, 0}, {std::numeric_limits<float>::infinity(), 0, 0}}, 0.5f, false, {}},
  };
  // Each case in every lane of a group of four and alone after the groups, among particles that
  // move a little, so that a lane is judged apart from its neighbours.
  constexpr uint32_t kCount = 5;
  const Particle neighbour{{0.5f, 0.25f, -1.0f}, {0.0f, 0.0f, -1.5f}};
  for (const BlendCase& c : cases) {
    for (uint32_t at = 0; at < kCount; ++at) {
      std::vector<Particle> pool(kCount, neighbour);
      pool[at] = c.particle;
      std::vector<uint8_t*> particles;
      for (Particle& p : pool) particles.push_back(reinterpret_cast<uint8_t*>(&p));
      auto scratch = std::make_unique<ParticleScratch>();
      const ParticleBlendResult result = BlendParticlePositions(particles.data(), kCount, c.alpha, *scratch, &Writable);
      const Particle& p = pool[at];
      EXPECT_TRUE(result.blended) << c.name << " at " << at;
      EXPECT_EQ(result.leftAlone, c.blended ? 0u : 1u) << c.name << " at " << at;
      if (!c.blended) {
        EXPECT_EQ(std::memcmp(p.current, c.particle.current, sizeof p.current), 0) << c.name << " at " << at << ": moved";
      } else if (c.alpha == 0.0f || std::memcmp(c.particle.current, c.particle.previous, sizeof p.current) == 0) {
        EXPECT_EQ(std::memcmp(p.current, c.drawn, sizeof p.current), 0) << c.name << " at " << at << ": not exact";
      } else {
        for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(p.current[k], c.drawn[k]) << c.name << " at " << at << " axis " << k;
      }
      EXPECT_EQ(std::memcmp(p.previous, c.particle.previous, sizeof p.previous), 0) << c.name << ": previous changed";
      const Particle& other = pool[at == 0 ? 1 : 0];
      EXPECT_FLOAT_EQ(other.current[0], 0.5f * c.alpha) << c.name << " at " << at << ": a neighbour was not blended";
    }
  }
}

TEST(ParticleBlendTest, RestoreBringsBackEveryBitWhateverTheCountAndArrayAlignment) {
  // Counts around the unrolled groups of four, with awkward values and a large step mixed in; the
  // host's array at several offsets, since it need not be aligned.
  for (uint32_t count : {1u, 3u, 4u, 5u, 7u, 8u, 4095u, 4096u}) {
    const size_t offset = 4 * (count % 4);
    std::vector<Particle> pool(count);
    std::vector<uint8_t> host(offset + count * sizeof(uint8_t*));
    for (uint32_t i = 0; i < count; ++i) {
      const float x = 0.1f * static_cast<float>(i) + 1e-7f;
      pool[i] = {{x, -x / 3.0f, 1e30f}, {x - 0.3f, -x / 3.0f + 0.7f, 1e30f}};
      if (i % 5 == 2) pool[i].current[2] = 1e30f + 1e24f;   // a large step
      const uint8_t* particle = reinterpret_cast<uint8_t*>(&pool[i]);
      std::memcpy(host.data() + offset + i * sizeof particle, &particle, sizeof particle);
    }
    const std::vector<Particle> simulated = pool;
    auto scratch = std::make_unique<ParticleScratch>();
    if (count < kMaxBlendedParticles) scratch->particles[count] = nullptr;
    const ParticleBlendResult result = BlendParticlePositions(host.data() + offset, count, 0.37f, *scratch, &Writable);
    EXPECT_TRUE(result.blended) << count;
    EXPECT_EQ(result.leftAlone, (count + 2) / 5) << count;
    EXPECT_NE(std::memcmp(pool.data(), simulated.data(), count * sizeof(Particle)), 0) << count << ": nothing moved";
    if (count < kMaxBlendedParticles) EXPECT_EQ(scratch->particles[count], nullptr) << count << ": copied past the count";
    // The host reuses its array during the draw: the restore reaches the particles that were drawn.
    std::fill(host.begin(), host.end(), 0);
    EXPECT_EQ(RestoreParticlePositions(*scratch, count, result, &Writable), 0u) << count;
    EXPECT_EQ(std::memcmp(pool.data(), simulated.data(), count * sizeof(Particle)), 0) << count;
  }
}

// Answers like CheckHostRangeAndRemember for one mapping with an unmapped hole, whose two sides
// are the regions; counts the questions.
struct FakeMemory {
  uintptr_t begin;
  uintptr_t end;
  uintptr_t holeBegin;
  uintptr_t holeEnd;
  int questions;
};
FakeMemory g_memory;

bool FakeCheck(const void* address, size_t length, bool needWrite, HostRegionMemo& region) {
  ++g_memory.questions;
  const auto start = reinterpret_cast<uintptr_t>(address);
  if (start + length < start) return false;
  const bool hole = g_memory.holeBegin != 0;
  HostRegionMemo regions[2] = {{g_memory.begin, hole ? std::min(g_memory.holeBegin, g_memory.end) : g_memory.end, true}, {}};
  if (hole) regions[1] = {g_memory.holeEnd, g_memory.end, true};
  for (const HostRegionMemo& r : regions) {
    if (r.end != 0 && start >= r.base && start + length <= r.end) {
      region = r;
      return needWrite;
    }
  }
  return false;
}

TEST(ParticleAccessTest, AsksOncePerRegionAndTouchesNothingWhenAnyParticleIsOutOfReach) {
  // A pool of twenty pages; the test's mapping ends after the first nineteen.
  constexpr size_t kPage = 4096;
  struct alignas(4096) Pool {
    uint8_t bytes[20 * kPage];
  };
  auto pool = std::make_unique<Pool>();
  for (size_t i = 0; i + sizeof(Particle) <= sizeof pool->bytes; i += 24)
    new (pool->bytes + i) Particle{{1.0f, 2.0f, 3.0f}, {0.0f, 2.0f, 3.0f}};
  auto at = [&](size_t offset) { return pool->bytes + offset; };
  const auto reachable = reinterpret_cast<uintptr_t>(pool->bytes);
  auto packed = [&](size_t from) {
    std::vector<uint8_t*> particles;
    for (size_t i = 0; i < 400; ++i) particles.push_back(at(from + i * 24));   // 9600 bytes
    return particles;
  };

  struct Case {
    const char* name;
    std::vector<uint8_t*> particles;
    size_t holePage;    // 0: no hole
    bool blended;
    int questions;      // by the blend
    int restoreAsks;    // by the restore, when all is still there
  };
  const Case cases[] = {
      {"packed: one question, and one again to restore", packed(0), 0, true, 1, 1},
      {"packed up to the mapping's end: still one", packed((19 * kPage - 9600) / 24 * 24), 0, true, 1, 1},
      {"back and forth between two pages", {at(0), at(kPage), at(24), at(kPage + 24), at(48)}, 0, true, 1, 1},
      {"two regions either side of a hole: one question per change of region",
       {at(0), at(24), at(12 * kPage), at(12 * kPage + 24), at(kPage + 48)}, 10, true, 3, 3},
      {"a null particle", {at(0), at(24), at(48), nullptr, at(96)}, 0, false, 2, 0},
      {"positions running past the mapping", {at(24), at(48), at(19 * kPage - 8)}, 0, false, 2, 0},
      {"a particle out of reach, last of a group of four", {at(0), at(24), at(48), at(19 * kPage + 96)}, 0, false, 2, 0},
      {"a particle at the top of the address space", {at(0), reinterpret_cast<uint8_t*>(UINTPTR_MAX - 8)}, 0, false, 2, 0},
  };
  for (const Case& c : cases) {
    const auto before = std::make_unique<Pool>(*pool);
    const uintptr_t hole = c.holePage == 0 ? 0 : reachable + c.holePage * kPage;
    g_memory = {reachable, reachable + 19 * kPage, hole, hole == 0 ? 0 : hole + kPage, 0};
    auto scratch = std::make_unique<ParticleScratch>();
    const auto count = static_cast<uint32_t>(c.particles.size());
    const ParticleBlendResult result = BlendParticlePositions(c.particles.data(), count, 0.5f, *scratch, &FakeCheck);
    EXPECT_EQ(result.blended, c.blended) << c.name;
    EXPECT_EQ(g_memory.questions, c.questions) << c.name;
    if (result.blended) {
      EXPECT_NE(std::memcmp(pool.get(), before.get(), sizeof(Pool)), 0) << c.name << ": nothing was drawn blended";
      const auto blended = std::make_unique<Pool>(*pool);
      g_memory.questions = 0;
      EXPECT_EQ(RestoreParticlePositions(*scratch, count, result, &FakeCheck), 0u) << c.name;
      EXPECT_EQ(g_memory.questions, c.restoreAsks) << c.name;
      EXPECT_EQ(std::memcmp(pool.get(), before.get(), sizeof(Pool)), 0) << c.name << ": not restored";
      // Again, but all but the first page goes away during the draw: those particles are skipped.
      *pool = *blended;
      g_memory.end = reachable + kPage;
      const auto beyond = static_cast<uint32_t>(std::count_if(c.particles.begin(), c.particles.end(),
                                                              [&](uint8_t* p) { return p > at(kPage - 24); }));
      EXPECT_EQ(RestoreParticlePositions(*scratch, count, result, &FakeCheck), beyond) << c.name;
      *pool = *before;
    } else {
      EXPECT_EQ(std::memcmp(pool.get(), before.get(), sizeof(Pool)), 0) << c.name << ": a refused draw changed particles";
    }
  }
}

}  // namespace
