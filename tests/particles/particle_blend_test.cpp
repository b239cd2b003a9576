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

bool Writable(const void* address, size_t, bool) { return address != nullptr; }

// The draw's way: the host's pointers copied into the scratch with their span, then the blend over
// the copies (which the restore must use too).
ParticleBlendResult Blend(uint8_t* const* hostArray, uint32_t count, float alpha, ParticleScratch& scratch,
                          HostRangeCheck check) {
  const ParticleSpan span = CopyParticlePointers(hostArray, count, scratch.particles);
  return BlendParticlePositions(scratch.particles, count, span, alpha, scratch.saved, check);
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
      const ParticleBlendResult result = Blend(particles.data(), kCount, c.alpha, *scratch, &Writable);
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
    const ParticleBlendResult result = Blend(particles.data(), count, 0.37f, *scratch, &Writable);
    EXPECT_TRUE(result.blended) << count;
    EXPECT_EQ(result.leftAlone, (count + 2) / 5) << count;
    EXPECT_NE(std::memcmp(pool.data(), simulated.data(), count * sizeof(Particle)), 0) << count << ": nothing moved";
    EXPECT_EQ(RestoreParticlePositions(scratch->particles, count, scratch->saved, result, &Writable), 0u) << count;
    EXPECT_EQ(std::memcmp(pool.data(), simulated.data(), count * sizeof(Particle)), 0) << count;
  }
}

TEST(ParticlePointerCopyTest, CopiesEveryPointerAndSpansTheirPositionsFromAnyArrayAlignment) {
  constexpr size_t kSpan = emitter_layout::kPositionsSpan;
  const uintptr_t base = 0x7f0000100000;
  auto at = [&](uintptr_t offset) { return reinterpret_cast<uint8_t*>(base + offset); };
  struct Case {
    const char* name;
    std::vector<uint8_t*> particles;
    uintptr_t start;   // expected span; bytes 0 when there is none
    size_t bytes;
  };
  const Case cases[] = {
      {"one particle", {at(0x40)}, base + 0x40, kSpan},
      {"lowest and highest both in the odd lane", {at(0x300), at(0x30), at(0x90), at(0x600), at(0x120)}, base + 0x30,
       0x600 - 0x30 + kSpan},
      {"lowest and highest in the last, unpaired particle", {at(0x300), at(0x330), at(0x360), at(0x360), at(0x10000)},
       base + 0x300, 0x10000 - 0x300 + kSpan},
      {"lowest last of an even count", {at(0x300), at(0x330), at(0x360), at(0x8)}, base + 0x8, 0x360 - 0x8 + kSpan},
      {"no particles", {}, 0, 0},
      {"a null particle", {at(0x300), nullptr, at(0x360)}, 0, 0},
      {"positions that would wrap the address space", {at(0x300), reinterpret_cast<uint8_t*>(UINTPTR_MAX - 8)}, 0, 0},
  };
  for (const Case& c : cases) {
    const auto count = static_cast<uint32_t>(c.particles.size());
    // The host's array at every offset within 16 bytes, as a byte image.
    for (size_t offset = 0; offset < 16; offset += 4) {
      std::vector<uint8_t> host(offset + count * sizeof(uint8_t*) + 8, 0xAB);
      if (count != 0) std::memcpy(host.data() + offset, c.particles.data(), count * sizeof(uint8_t*));
      auto scratch = std::make_unique<ParticleScratch>();
      std::fill(std::begin(scratch->particles), std::end(scratch->particles), at(0xDEAD));
      const ParticleSpan span = CopyParticlePointers(host.data() + offset, count, scratch->particles);
      EXPECT_EQ(span.bytes, c.bytes) << c.name << " at offset " << offset;
      if (c.bytes != 0) EXPECT_EQ(span.start, c.start) << c.name << " at offset " << offset;
      for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(scratch->particles[i], c.particles[i]) << c.name << " #" << i;
      EXPECT_EQ(scratch->particles[count], at(0xDEAD)) << c.name << ": wrote past the count";
    }
  }
}

// Answers like CheckHostRange for one mapping with an unmapped hole, counting the questions.
struct FakeMemory {
  uintptr_t begin;
  uintptr_t end;
  uintptr_t holeBegin;
  uintptr_t holeEnd;
  int questions;
};
FakeMemory g_memory;

bool FakeCheck(const void* address, size_t length, bool needWrite) {
  ++g_memory.questions;
  const auto start = reinterpret_cast<uintptr_t>(address);
  const bool clearOfHole = start + length <= g_memory.holeBegin || start >= g_memory.holeEnd;
  return needWrite && start >= g_memory.begin && start + length <= g_memory.end && clearOfHole;
}

TEST(ParticleAccessTest, AsksOnceForOneBlockElsePageByPageAndTouchesNothingWhenAnyParticleIsOutOfReach) {
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
    size_t holePage;   // 0: no hole
    bool blended;
    int questions;     // by the blend
  };
  const Case cases[] = {
      {"packed: one question for the whole block", packed(0), 0, true, 1},
      {"packed up to the mapping's end: still one", packed((19 * kPage - 9600) / 24 * 24), 0, true, 1},
      {"back and forth between two pages", {at(0), at(kPage), at(24), at(kPage + 24), at(48)}, 0, true, 1},
      // The block spans the hole: the run of sixteen pages is refused and the next runs are halved.
      {"two pools either side of a hole: page by page, refused runs halving",
       {at(0), at(24), at(12 * kPage), at(12 * kPage + 24), at(kPage + 48)}, 10, true, 6},
      {"a null particle", {at(0), at(24), at(48), nullptr, at(96)}, 0, false, 1},
      {"positions running past the mapping", {at(24), at(48), at(19 * kPage - 8)}, 0, false, 4},
      {"a particle out of reach, last of a group of four", {at(0), at(24), at(48), at(19 * kPage + 96)}, 0, false, 4},
      {"a particle at the top of the address space", {at(0), reinterpret_cast<uint8_t*>(UINTPTR_MAX - 8)}, 0, false, 1},
  };
  for (const Case& c : cases) {
    const auto before = std::make_unique<Pool>(*pool);
    const uintptr_t hole = c.holePage == 0 ? 0 : reachable + c.holePage * kPage;
    g_memory = {reachable, reachable + 19 * kPage, hole, hole == 0 ? 0 : hole + kPage, 0};
    auto scratch = std::make_unique<ParticleScratch>();
    const auto count = static_cast<uint32_t>(c.particles.size());
    const ParticleBlendResult result = Blend(c.particles.data(), count, 0.5f, *scratch, &FakeCheck);
    EXPECT_EQ(result.blended, c.blended) << c.name;
    EXPECT_EQ(g_memory.questions, c.questions) << c.name;
    if (result.blended) {
      EXPECT_NE(std::memcmp(pool.get(), before.get(), sizeof(Pool)), 0) << c.name << ": nothing was drawn blended";
      // All but the first page goes away during the draw: those particles are skipped, the rest restored.
      g_memory.end = reachable + kPage;
      const auto beyond = static_cast<uint32_t>(std::count_if(c.particles.begin(), c.particles.end(),
                                                              [&](uint8_t* p) { return p > at(kPage - 24); }));
      EXPECT_EQ(RestoreParticlePositions(scratch->particles, count, scratch->saved, result, &FakeCheck), beyond) << c.name;
      *pool = *before;
    } else {
      EXPECT_EQ(std::memcmp(pool.get(), before.get(), sizeof(Pool)), 0) << c.name << ": a refused draw changed particles";
    }
  }
}

}  // namespace
