#include "particles/particle_blend.h"

#include <cstring>

#include <xmmintrin.h>

#include "particles/emitter_layout.h"

namespace {

constexpr uintptr_t kPageSize = 4096;

// Per particle: two overlapping 16-byte loads (positions 0x00..0x0F and 0x08..0x17, both inside the
// checked span), one 16-byte save and two stores of the drawn position. The scratch has a spare
// float at its end for the last save's fourth lane.
inline bool BlendOne(uint8_t* particle, __m128 alpha, float* saved) {
  static_assert(emitter_layout::kCurrent == 0 && emitter_layout::kPrevious == 12);
  const __m128 current = _mm_loadu_ps(reinterpret_cast<const float*>(particle));        // c0 c1 c2 p0
  const __m128 tail = _mm_loadu_ps(reinterpret_cast<const float*>(particle + 8));       // c2 p0 p1 p2
  _mm_storeu_ps(saved, current);
  const __m128 previous = _mm_shuffle_ps(tail, tail, _MM_SHUFFLE(3, 3, 2, 1));          // p0 p1 p2 p2
  const __m128 d = _mm_sub_ps(current, previous);
  const __m128 squares = _mm_mul_ps(d, d);
  const float step = _mm_cvtss_f32(squares) + _mm_cvtss_f32(_mm_shuffle_ps(squares, squares, 1)) +
                     _mm_cvtss_f32(_mm_shuffle_ps(squares, squares, 2));
  // Written so that NaN fails too.
  if (!(step <= kLargeStepSquared)) return false;
  // previous + d alpha: a particle at rest is drawn exactly where it is.
  const __m128 drawn = _mm_add_ps(previous, _mm_mul_ps(d, alpha));
  _mm_storel_pi(reinterpret_cast<__m64*>(particle), drawn);
  _mm_store_ss(reinterpret_cast<float*>(particle + 8), _mm_shuffle_ps(drawn, drawn, 2));
  return true;
}

inline void RestoreOne(uint8_t* particle, const float* saved) {
  std::memcpy(particle + emitter_layout::kCurrent, saved, 3 * sizeof(float));
}

// The pages the last answer of check vouched for, as a byte range a particle's positions must lie in.
// A miss first asks for a run of pages from the particle's page on (particles come from pools), and
// only when that is refused for the particle's own pages.
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
    uintptr_t end = firstPage + kRunBytes;
    if (end < endPage || !check_(reinterpret_cast<const void*>(firstPage), kRunBytes, true)) {
      if (!check_(particle, kSpan, true)) return false;
      end = endPage;
    }
    first_ = firstPage;
    room_ = end - firstPage - kSpan;
    any_ = true;
    return true;
  }

 private:
  static constexpr uintptr_t kSpan = emitter_layout::kPositionsSpan;
  static constexpr uintptr_t kRunBytes = 16 * kPageSize;
  HostRangeCheck check_;
  uintptr_t first_ = 0;
  uintptr_t room_ = 0;   // starts in [first_, first_ + room_] keep all kSpan bytes inside
  bool any_ = false;
};

}  // namespace

ParticleBlendResult BlendParticlePositions(uint8_t* const* particles, uint32_t count, float a, float* saved,
                                           HostRangeCheck check) {
  const __m128 alpha = _mm_set1_ps(a);
  PageWindow window(check);
  uint32_t leftAlone = 0;
  uint32_t i = 0;
  bool admitted = true;
  for (; admitted && i + 4 <= count; i += 4) {
    admitted = window.Admits(particles[i]) && window.Admits(particles[i + 1]) && window.Admits(particles[i + 2]) &&
               window.Admits(particles[i + 3]);
    if (!admitted) break;
    leftAlone += !BlendOne(particles[i], alpha, saved + 3 * i);
    leftAlone += !BlendOne(particles[i + 1], alpha, saved + 3 * i + 3);
    leftAlone += !BlendOne(particles[i + 2], alpha, saved + 3 * i + 6);
    leftAlone += !BlendOne(particles[i + 3], alpha, saved + 3 * i + 9);
  }
  for (; admitted && i < count; ++i) {
    admitted = window.Admits(particles[i]);
    if (!admitted) break;
    leftAlone += !BlendOne(particles[i], alpha, saved + 3 * i);
  }
  if (admitted) return {true, leftAlone};
  // Undo what was drawn so far: those particles passed their check a moment ago.
  for (uint32_t k = 0; k < i; ++k) RestoreOne(particles[k], saved + 3 * k);
  return {false, 0};
}

uint32_t RestoreParticlePositions(uint8_t* const* particles, uint32_t count, const float* saved, HostRangeCheck check) {
  PageWindow window(check);
  uint32_t skipped = 0;
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    if (window.Admits(particles[i]) && window.Admits(particles[i + 1]) && window.Admits(particles[i + 2]) &&
        window.Admits(particles[i + 3])) {
      RestoreOne(particles[i], saved + 3 * i);
      RestoreOne(particles[i + 1], saved + 3 * i + 3);
      RestoreOne(particles[i + 2], saved + 3 * i + 6);
      RestoreOne(particles[i + 3], saved + 3 * i + 9);
      continue;
    }
    for (uint32_t k = i; k < i + 4; ++k) {
      if (window.Admits(particles[k])) RestoreOne(particles[k], saved + 3 * k);
      else ++skipped;
    }
  }
  for (; i < count; ++i) {
    if (window.Admits(particles[i])) RestoreOne(particles[i], saved + 3 * i);
    else ++skipped;
  }
  return skipped;
}
