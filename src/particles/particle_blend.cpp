#include "particles/particle_blend.h"

#include <cstring>

#include <emmintrin.h>

#include "particles/emitter_layout.h"

namespace {

constexpr uintptr_t kPageSize = 4096;
constexpr uintptr_t kSpan = emitter_layout::kPositionsSpan;
static_assert(emitter_layout::kCurrent == 0 && emitter_layout::kPrevious == 12 && kSpan == 24);
static_assert(kSavedStride == 4);
constexpr uint32_t kPrefetchAhead = 16;

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
  _mm_store_ps(saved, current);
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
  _mm_store_ps(saved, lane.current);
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
  const Lane b = PrepareLane(particles[1], alpha, saved + 4);
  const Lane c = PrepareLane(particles[2], alpha, saved + 8);
  const Lane d = PrepareLane(particles[3], alpha, saved + 12);
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

// Two lanes of running minimum and maximum, so that the compares don't wait on one another.
struct SpanLanes {
  uintptr_t low[2] = {UINTPTR_MAX, UINTPTR_MAX};
  uintptr_t high[2] = {0, 0};
  void Add(uint32_t lane, uintptr_t address) {
    low[lane] = address < low[lane] ? address : low[lane];
    high[lane] = address > high[lane] ? address : high[lane];
  }
  ParticleSpan Span(uint32_t count) const {
    const uintptr_t lowest = low[1] < low[0] ? low[1] : low[0];
    const uintptr_t highest = high[1] > high[0] ? high[1] : high[0];
    const uintptr_t end = highest + kSpan;
    if (count == 0 || lowest == 0 || end < highest) return {0, 0};
    return {lowest, end - lowest};
  }
};

// The fallback for particles spread over several ranges: the pages the last answer of check
// vouched for, as a byte range a particle's positions must lie in. A miss first asks for a run of
// pages from the particle's page on (particles come from pools), then for the particle's own
// pages; every refused run halves the runs asked for later, since a refusal costs the system query.
class PageWindow {
 public:
  explicit PageWindow(HostRangeCheck check) : check_(check) {}
  bool Admits(uint8_t* particle) {
    const auto start = reinterpret_cast<uintptr_t>(particle);
    if (any_ && start - first_ <= room_) return true;
    const uintptr_t last = start + kSpan - 1;
    if (start == 0 || last < start) return false;
    const uintptr_t firstPage = start / kPageSize * kPageSize;
    const uintptr_t endPage = (last / kPageSize + 1) * kPageSize;
    uintptr_t end = 0;
    if (runBytes_ > kPageSize) {
      const uintptr_t runEnd = firstPage + runBytes_;
      if (runEnd >= endPage && runEnd > firstPage && check_(reinterpret_cast<const void*>(firstPage), runBytes_, true))
        end = runEnd;
      else
        runBytes_ /= 2;
    }
    if (end == 0) {
      if (!check_(particle, kSpan, true)) return false;
      end = endPage;
    }
    first_ = firstPage;
    room_ = end - firstPage - kSpan;
    any_ = true;
    return true;
  }

 private:
  HostRangeCheck check_;
  uintptr_t runBytes_ = 16 * kPageSize;
  uintptr_t first_ = 0;
  uintptr_t room_ = 0;   // starts in [first_, first_ + room_] keep all kSpan bytes inside
  bool any_ = false;
};

}  // namespace

ParticleSpan CopyParticlePointers(const void* array, uint32_t count, uint8_t** out) {
  const auto* from = static_cast<const uint8_t*>(array);
  SpanLanes lanes;
  uint32_t i = 0;
  for (; i + 2 <= count; i += 2) {
    // Two pointers per move; the host's array need not be aligned.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * 8)));
    uintptr_t a;
    uintptr_t b;
    std::memcpy(&a, from + i * 8, sizeof a);
    std::memcpy(&b, from + i * 8 + 8, sizeof b);
    lanes.Add(0, a);
    lanes.Add(1, b);
  }
  if (i < count) {
    uintptr_t a;
    std::memcpy(&a, from + i * 8, sizeof a);
    out[i] = reinterpret_cast<uint8_t*>(a);
    lanes.Add(0, a);
  }
  return lanes.Span(count);
}

ParticleBlendResult BlendParticlePositions(uint8_t* const* particles, uint32_t count, ParticleSpan span, float a,
                                           float* saved, HostRangeCheck check) {
  const __m128 alpha = _mm_set1_ps(a);
  const uintptr_t blockStart = span.start;
  const size_t blockBytes = span.bytes;
  if (blockBytes != 0 && check(reinterpret_cast<const void*>(blockStart), blockBytes, true)) {
    uint32_t leftAlone = 0;
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
      // The particles are seldom still in this core's caches when the host draws them: ask for
      // those a few groups ahead (a prefetch never faults, and these are vouched for anyway).
      if (i + kPrefetchAhead + 4 <= count)
        for (uint32_t k = 0; k < 4; ++k)
          _mm_prefetch(reinterpret_cast<const char*>(particles[i + kPrefetchAhead + k]), _MM_HINT_T0);
      leftAlone += BlendFour(particles + i, alpha, saved + kSavedStride * i);
    }
    for (; i < count; ++i) leftAlone += !BlendOne(particles[i], alpha, saved + kSavedStride * i);
    return {true, leftAlone, blockStart, blockBytes};
  }

  PageWindow window(check);
  uint32_t leftAlone = 0;
  uint32_t i = 0;
  bool admitted = true;
  for (; i + 4 <= count; i += 4) {
    admitted = window.Admits(particles[i]) && window.Admits(particles[i + 1]) && window.Admits(particles[i + 2]) &&
               window.Admits(particles[i + 3]);
    if (!admitted) break;
    leftAlone += BlendFour(particles + i, alpha, saved + kSavedStride * i);
  }
  for (; admitted && i < count; ++i) {
    admitted = window.Admits(particles[i]);
    if (!admitted) break;
    leftAlone += !BlendOne(particles[i], alpha, saved + kSavedStride * i);
  }
  if (admitted) return {true, leftAlone, 0, 0};
  // Undo what was drawn so far: those particles passed their check a moment ago.
  for (uint32_t k = 0; k < i; ++k) RestoreOne(particles[k], saved + kSavedStride * k);
  return {false, 0, 0, 0};
}

uint32_t RestoreParticlePositions(uint8_t* const* particles, uint32_t count, const float* saved,
                                  const ParticleBlendResult& blend, HostRangeCheck check) {
  if (blend.blockBytes != 0 && check(reinterpret_cast<const void*>(blend.blockStart), blend.blockBytes, true)) {
    for (uint32_t i = 0; i < count; ++i) RestoreOne(particles[i], saved + kSavedStride * i);
    return 0;
  }
  PageWindow window(check);
  uint32_t skipped = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (window.Admits(particles[i])) RestoreOne(particles[i], saved + kSavedStride * i);
    else ++skipped;
  }
  return skipped;
}
