#include "particles/particle_blend.h"

#include <cstring>

#include "particles/emitter_layout.h"

namespace {

constexpr uintptr_t kPageSize = 4096;

// Returns false (and writes nothing) for a particle left where it is.
inline bool BlendOne(uint8_t* particle, float alpha, float* saved) {
  float current[3];
  float previous[3];
  std::memcpy(current, particle + emitter_layout::kCurrent, sizeof current);
  std::memcpy(previous, particle + emitter_layout::kPrevious, sizeof previous);
  std::memcpy(saved, current, sizeof current);
  const float dx = current[0] - previous[0];
  const float dy = current[1] - previous[1];
  const float dz = current[2] - previous[2];
  // Written so that NaN fails too.
  if (!(dx * dx + dy * dy + dz * dz <= kLargeStepSquared)) return false;
  // This form lands exactly on previous at alpha 0 and exactly on current at alpha 1.
  const float keep = 1.0f - alpha;
  const float drawn[3] = {previous[0] * keep + current[0] * alpha, previous[1] * keep + current[1] * alpha,
                          previous[2] * keep + current[2] * alpha};
  std::memcpy(particle + emitter_layout::kCurrent, drawn, sizeof drawn);
  return true;
}

inline void RestoreOne(uint8_t* particle, const float* saved) {
  std::memcpy(particle + emitter_layout::kCurrent, saved, 3 * sizeof(float));
}

}  // namespace

uint32_t BlendParticlePositions(uint8_t* const* particles, uint32_t count, float alpha, float* saved) {
  uint32_t leftAlone = 0;
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    leftAlone += !BlendOne(particles[i], alpha, saved + 3 * i);
    leftAlone += !BlendOne(particles[i + 1], alpha, saved + 3 * i + 3);
    leftAlone += !BlendOne(particles[i + 2], alpha, saved + 3 * i + 6);
    leftAlone += !BlendOne(particles[i + 3], alpha, saved + 3 * i + 9);
  }
  for (; i < count; ++i) leftAlone += !BlendOne(particles[i], alpha, saved + 3 * i);
  return leftAlone;
}

void RestoreParticlePositions(uint8_t* const* particles, uint32_t count, const float* saved) {
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    RestoreOne(particles[i], saved + 3 * i);
    RestoreOne(particles[i + 1], saved + 3 * i + 3);
    RestoreOne(particles[i + 2], saved + 3 * i + 6);
    RestoreOne(particles[i + 3], saved + 3 * i + 9);
  }
  for (; i < count; ++i) RestoreOne(particles[i], saved + 3 * i);
}

bool ParticlesAccessible(uint8_t* const* particles, uint32_t count, HostRangeCheck check) {
  // Pages [goodFirst, goodLast] were vouched for by the last answer; none yet.
  uintptr_t goodFirst = 1;
  uintptr_t goodLast = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const auto start = reinterpret_cast<uintptr_t>(particles[i]);
    const uintptr_t last = start + emitter_layout::kPositionsSpan - 1;
    if (start == 0 || last < start) return false;
    const uintptr_t firstPage = start / kPageSize;
    const uintptr_t lastPage = last / kPageSize;
    if (firstPage >= goodFirst && lastPage <= goodLast) continue;
    if (!check(particles[i], emitter_layout::kPositionsSpan, true)) return false;
    goodFirst = firstPage;
    goodLast = lastPage;
  }
  return true;
}
