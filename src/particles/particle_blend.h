#pragma once
// The per-draw particle loop: blend every particle between its previous and current simulated
// position, and put the simulated positions back afterwards. Pure: the caller has proven the
// particles writable (ParticlesAccessible) and owns the scratch. No Windows headers.
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kMaxBlendedParticles = 4096;
// A particle that moved more than 5 units in one step (squared here) is drawn where it is.
inline constexpr float kLargeStepSquared = 25.0f;

// Room for one emitter's draw: its particle pointers as read before the draw (so the restore
// reaches the same particles whatever the host does to its array) and their simulated positions.
struct ParticleScratch {
  uint8_t* particles[kMaxBlendedParticles];
  float saved[kMaxBlendedParticles * 3];
};

// Saves each current position into saved[3i..3i+2] and moves it to the blend of previous and
// current at alpha; a large step, or positions that are not finite, stay as they are. Returns
// how many particles were left alone. count <= kMaxBlendedParticles.
uint32_t BlendParticlePositions(uint8_t* const* particles, uint32_t count, float alpha, float* saved);
// Writes the saved positions back, bit for bit.
void RestoreParticlePositions(uint8_t* const* particles, uint32_t count, const float* saved);

using HostRangeCheck = bool (*)(const void* address, size_t length, bool needWrite);
// True when both positions of every particle can be read and written. Asks check only when a
// particle leaves the pages the previous answers covered: protection is per page, so one good
// answer vouches for its whole page.
bool ParticlesAccessible(uint8_t* const* particles, uint32_t count, HostRangeCheck check);
