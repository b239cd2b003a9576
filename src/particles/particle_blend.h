#pragma once
// The per-draw particle loop: blend every particle between its previous and current simulated
// position, and put the simulated positions back afterwards. Pure: host memory is vouched for by
// the check the caller passes (CheckHostRange in the plug-in). No Windows headers.
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kMaxBlendedParticles = 4096;
// A particle that moved more than 5 units in one step (squared here) is drawn where it is.
inline constexpr float kLargeStepSquared = 25.0f;
// Floats saved per particle: its current position and one spare lane, so that a save is one
// aligned 16-byte store.
inline constexpr size_t kSavedStride = 4;

// Room for one emitter's draw: its particle pointers as read before the draw (so the restore
// reaches the same particles whatever the host does to its array) and their simulated positions.
struct ParticleScratch {
  uint8_t* particles[kMaxBlendedParticles];
  alignas(16) float saved[kMaxBlendedParticles * kSavedStride];
};

using HostRangeCheck = bool (*)(const void* address, size_t length, bool needWrite);

// One range from the lowest particle address to the end of the highest particle's positions;
// zero bytes when there are no particles, one is null or the range wraps.
struct ParticleSpan {
  uintptr_t start;
  size_t bytes;
};

// Copies count particle pointers from the host's array (vouched for by the caller) into out and
// finds their span in the same pass, so that the blend needs no pass of its own over them.
ParticleSpan CopyParticlePointers(const void* array, uint32_t count, uint8_t** out);

struct ParticleBlendResult {
  bool blended;         // false: some particle could not be written, and nothing was
  uint32_t leftAlone;   // large steps and positions that are not finite
  // One range holding every particle's positions, vouched for as a whole before the blend; zero
  // bytes when the particles had to be checked page by page.
  uintptr_t blockStart;
  size_t blockBytes;
};

// Saves each current position into saved[4i..4i+2] (16-byte aligned) and moves it to the blend of
// previous and current at alpha; a large step, or positions that are not finite, stay as they are.
// Both positions of every particle must pass check: one question covers all of them when they lie
// in one range the check vouches for, else they are asked about page by page (protection is per
// page). span is what CopyParticlePointers found for these particles. count <= kMaxBlendedParticles.
ParticleBlendResult BlendParticlePositions(uint8_t* const* particles, uint32_t count, ParticleSpan span, float alpha,
                                           float* saved, HostRangeCheck check);
// Writes the saved positions back, bit for bit, to every particle that still passes check;
// returns how many did not. blend is what BlendParticlePositions returned for these particles.
uint32_t RestoreParticlePositions(uint8_t* const* particles, uint32_t count, const float* saved,
                                  const ParticleBlendResult& blend, HostRangeCheck check);
