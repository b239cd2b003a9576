#include "particles/particle_blend.h"

#include <cstring>

#include <emmintrin.h>

#include "particles/emitter_layout.h"

namespace {

constexpr uintptr_t kSpan = emitter_layout::kPositionsSpan;
// Far enough ahead to cover a load from main memory, where the game's particles often are by the
// time it draws them (a nearer distance is a little quicker only when they are still cached).
constexpr size_t kPrefetchAhead = 32;
static_assert(emitter_layout::kCurrent == 0 && emitter_layout::kPrevious == 12 && kSpan == 24);
static_assert(kSavedStride == 3);

// Inlined whatever the optimisation level: a call per group of four would, under the Windows
// calling convention, save and restore eight vector registers around it.
#define PARTICLE_INLINE inline __attribute__((always_inline))

// Two overlapping 16-byte loads (positions 0x00..0x0F and 0x08..0x17, both inside the checked span):
// current = c0 c1 c2 p0, previous = p0 p1 p2 p2.
PARTICLE_INLINE void LoadPositions(const uint8_t* particle, __m128& current, __m128& previous) {
  current = _mm_loadu_ps(reinterpret_cast<const float*>(particle));
  const __m128 tail = _mm_loadu_ps(reinterpret_cast<const float*>(particle + 8));
  previous = _mm_shuffle_ps(tail, tail, _MM_SHUFFLE(3, 3, 2, 1));
}

// Only the three floats of the current position are written.
PARTICLE_INLINE void StoreCurrent(uint8_t* particle, __m128 position) {
  _mm_storel_pi(reinterpret_cast<__m64*>(particle), position);
  _mm_store_ss(reinterpret_cast<float*>(particle + 8), _mm_movehl_ps(position, position));
}

PARTICLE_INLINE bool BlendOne(uint8_t* particle, __m128 alpha, float* saved) {
  __m128 current;
  __m128 previous;
  LoadPositions(particle, current, previous);
  _mm_storeu_ps(saved, current);
  const __m128 d = _mm_sub_ps(current, previous);
  const __m128 squares = _mm_mul_ps(d, d);
  const float step = _mm_cvtss_f32(squares) + _mm_cvtss_f32(_mm_shuffle_ps(squares, squares, 1)) +
                     _mm_cvtss_f32(_mm_shuffle_ps(squares, squares, 2));
  // Written so that NaN fails too.
  if (!(step <= kLargeStepSquared)) return false;
  // previous + d alpha: a particle at rest is drawn exactly where it is.
  StoreCurrent(particle, _mm_add_ps(previous, _mm_mul_ps(d, alpha)));
  return true;
}

// One particle of a group of four: saved, and its step and blended position computed.
struct Lane {
  __m128 current;
  __m128 d;
  __m128 blended;
};

PARTICLE_INLINE Lane PrepareLane(const uint8_t* particle, __m128 alpha, float* saved) {
  Lane lane;
  __m128 previous;
  LoadPositions(particle, lane.current, previous);
  // The fourth lane lands on the next particle's first float, which its own save writes after.
  _mm_storeu_ps(saved, lane.current);
  lane.d = _mm_sub_ps(lane.current, previous);
  // previous + d alpha: a particle at rest is drawn exactly where it is.
  lane.blended = _mm_add_ps(previous, _mm_mul_ps(lane.d, alpha));
  return lane;
}

// A particle left alone gets its own current position back, the same bits it holds.
PARTICLE_INLINE void StoreLane(uint8_t* particle, const Lane& lane, __m128 keep) {
  StoreCurrent(particle, _mm_or_ps(_mm_and_ps(keep, lane.blended), _mm_andnot_ps(keep, lane.current)));
}

// Four particles side by side, with their step lengths summed in one register and no branch per
// particle. The same arithmetic, in the same order, as BlendOne. Returns how many were left alone.
PARTICLE_INLINE uint32_t BlendFour(uint8_t* const* particles, __m128 alpha, float* saved) {
  static constexpr uint8_t kLeftAlone[16] = {4, 3, 3, 2, 3, 2, 2, 1, 3, 2, 2, 1, 2, 1, 1, 0};
  const Lane a = PrepareLane(particles[0], alpha, saved);
  const Lane b = PrepareLane(particles[1], alpha, saved + kSavedStride);
  const Lane c = PrepareLane(particles[2], alpha, saved + 2 * kSavedStride);
  const Lane d = PrepareLane(particles[3], alpha, saved + 3 * kSavedStride);
  const __m128 xy01 = _mm_unpacklo_ps(_mm_mul_ps(a.d, a.d), _mm_mul_ps(b.d, b.d));   // x0 x1 y0 y1
  const __m128 xy23 = _mm_unpacklo_ps(_mm_mul_ps(c.d, c.d), _mm_mul_ps(d.d, d.d));   // x2 x3 y2 y3
  const __m128 zw01 = _mm_unpackhi_ps(_mm_mul_ps(a.d, a.d), _mm_mul_ps(b.d, b.d));   // z0 z1 w0 w1
  const __m128 zw23 = _mm_unpackhi_ps(_mm_mul_ps(c.d, c.d), _mm_mul_ps(d.d, d.d));   // z2 z3 w2 w3
  const __m128 steps = _mm_add_ps(_mm_add_ps(_mm_movelh_ps(xy01, xy23), _mm_movehl_ps(xy23, xy01)),
                                  _mm_movelh_ps(zw01, zw23));
  // NaN compares false: left alone.
  const __m128 small = _mm_cmple_ps(steps, _mm_set1_ps(kLargeStepSquared));
  const int smallBits = _mm_movemask_ps(small);
  if (smallBits == 0xF) {
    StoreCurrent(particles[0], a.blended);
    StoreCurrent(particles[1], b.blended);
    StoreCurrent(particles[2], c.blended);
    StoreCurrent(particles[3], d.blended);
    return 0;
  }
  StoreLane(particles[0], a, _mm_shuffle_ps(small, small, 0x00));
  StoreLane(particles[1], b, _mm_shuffle_ps(small, small, 0x55));
  StoreLane(particles[2], c, _mm_shuffle_ps(small, small, 0xAA));
  StoreLane(particles[3], d, _mm_shuffle_ps(small, small, 0xFF));
  return kLeftAlone[smallBits];
}

PARTICLE_INLINE void RestoreOne(uint8_t* particle, const float* saved) {
  std::memcpy(particle + emitter_layout::kCurrent, saved, 3 * sizeof(float));
}

void RestoreAll(uint8_t* const* particles, size_t count, const float* saved) {
  for (size_t i = 0; i < count; ++i) RestoreOne(particles[i], saved + kSavedStride * i);
}

// The starts of particles whose positions lie in the region the last answer of check vouched for.
// A particle outside it is asked about, and its region becomes the window: particles come from
// pools, so a draw seldom asks more than once.
class RegionWindow {
 public:
  explicit RegionWindow(HostRegionCheck check) : check_(check) {}
  bool Holds(uintptr_t start) const { return start - base_ < starts_; }
  bool Admits(uintptr_t start) {
    if (Holds(start)) return true;
    HostRegionMemo region;
    if (!check_(reinterpret_cast<const void*>(start), kSpan, true, region)) return false;
    base_ = region.base;
    // A region that does not hold the range it vouched for admits only what is asked again.
    const bool holdsRange = start >= region.base && region.end >= start + kSpan;
    starts_ = holdsRange ? region.end - kSpan - region.base + 1 : 0;
    region_ = region;
    ++opened_;
    return true;
  }
  // The region, when it is the only one that was needed.
  HostRegionMemo OnlyRegion() const { return opened_ == 1 && starts_ != 0 ? region_ : HostRegionMemo{}; }

 private:
  HostRegionCheck check_;
  uintptr_t base_ = 0;
  uintptr_t starts_ = 0;   // none: nothing is held until something is asked
  HostRegionMemo region_;
  uint32_t opened_ = 0;
};

}  // namespace

ParticleBlendResult BlendParticlePositions(const void* hostArray, uint32_t count, float a, ParticleScratch& scratch,
                                           HostRegionCheck check) {
  const auto* from = static_cast<const uint8_t*>(hostArray);
  uint8_t** particles = scratch.particles;
  float* saved = scratch.saved;
  const __m128 alpha = _mm_set1_ps(a);
  RegionWindow window(check);
  uint32_t leftAlone = 0;
  size_t i = 0;
  bool admitted = true;
  for (; i + 4 <= count; i += 4) {
    // The host's array need not be aligned; the copies are what the blend and the restore use.
    std::memcpy(particles + i, from + i * sizeof(uint8_t*), 4 * sizeof(uint8_t*));
    const auto p0 = reinterpret_cast<uintptr_t>(particles[i]);
    const auto p1 = reinterpret_cast<uintptr_t>(particles[i + 1]);
    const auto p2 = reinterpret_cast<uintptr_t>(particles[i + 2]);
    const auto p3 = reinterpret_cast<uintptr_t>(particles[i + 3]);
    if (!(window.Holds(p0) & window.Holds(p1) & window.Holds(p2) & window.Holds(p3))) {
      admitted = window.Admits(p0) && window.Admits(p1) && window.Admits(p2) && window.Admits(p3);
      if (!admitted) break;
    }
    // The particles are seldom still in this core's caches when the host draws them, nor in
    // an order the processor foresees: ask for those a few groups ahead (a prefetch never faults).
    if (i + kPrefetchAhead + 4 <= count)
      for (size_t k = 0; k < 4; ++k) {
        const char* ahead;
        std::memcpy(&ahead, from + (i + kPrefetchAhead + k) * sizeof(uint8_t*), sizeof ahead);
        _mm_prefetch(ahead, _MM_HINT_T0);
      }
    leftAlone += BlendFour(particles + i, alpha, saved + kSavedStride * i);
  }
  for (; admitted && i < count; ++i) {
    std::memcpy(particles + i, from + i * sizeof(uint8_t*), sizeof(uint8_t*));
    admitted = window.Admits(reinterpret_cast<uintptr_t>(particles[i]));
    if (!admitted) break;
    leftAlone += !BlendOne(particles[i], alpha, saved + kSavedStride * i);
  }
  if (admitted) return {true, leftAlone, window.OnlyRegion()};
  // Undo what was drawn so far: those particles passed their check a moment ago.
  RestoreAll(particles, i, saved);
  return {false, 0, {}};
}

uint32_t RestoreParticlePositions(const ParticleScratch& scratch, uint32_t count, const ParticleBlendResult& blend,
                                  HostRegionCheck check) {
  uint8_t* const* particles = scratch.particles;
  const float* saved = scratch.saved;
  const HostRegionMemo& region = blend.region;
  HostRegionMemo again;
  if (region.end != 0 && check(reinterpret_cast<const void*>(region.base), region.end - region.base, true, again)) {
    RestoreAll(particles, count, saved);
    return 0;
  }
  RegionWindow window(check);
  uint32_t skipped = 0;
  for (size_t i = 0; i < count; ++i) {
    if (window.Admits(reinterpret_cast<uintptr_t>(particles[i]))) RestoreOne(particles[i], saved + kSavedStride * i);
    else ++skipped;
  }
  return skipped;
}
