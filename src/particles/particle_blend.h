#pragma once
// The per-draw particle loop: blend every particle between its previous and current simulated
// position, and put the simulated positions back afterwards. Pure: host memory is vouched for by
// the check the caller passes (CheckHostRangeAndRemember in the plug-in). No Windows headers.
#include <cstddef>
#include <cstdint>

#include "host/host_memory.h"

inline constexpr uint32_t kMaxBlendedParticles = 4096;
// A particle that moved more than 5 units in one step (squared here) is drawn where it is.
inline constexpr float kLargeStepSquared = 25.0f;
// Floats saved per particle: its current position, packed.
inline constexpr size_t kSavedStride = 3;

// Room for one emitter's draw: its particle pointers as read before the draw (so the restore
// reaches the same particles whatever the host does to its array) and their simulated positions.
struct ParticleScratch {
  uint8_t* particles[kMaxBlendedParticles];
  // One float more: a save is one 16-byte store whose fourth lane the next save overwrites.
  float saved[kMaxBlendedParticles * kSavedStride + 1];
};

// Answers whether a range may be touched and, when it may, the whole region it lies in, so that
// the particles after it in that region need no question of their own.
using HostRegionCheck = bool (*)(const void* address, size_t length, bool needWrite, HostRegionMemo& region);

struct ParticleBlendResult {
  bool blended;         // false: some particle could not be written, and nothing was
  uint32_t leftAlone;   // large steps and positions that are not finite
  // The one region that held every particle, which the restore asks about once more; empty when
  // they lay in several.
  HostRegionMemo region;
};

// In one pass over the host's array of count particle pointers (vouched for by the caller):
// copies each pointer into scratch.particles, saves its current position into saved[3i..3i+2]
// and moves it to the blend of previous and current at alpha; a large step, or
// positions that are not finite, stay as they are. Both positions of every particle must pass
// check before anything is written to it. count <= kMaxBlendedParticles.
ParticleBlendResult BlendParticlePositions(const void* hostArray, uint32_t count, float alpha,
                                           ParticleScratch& scratch, HostRegionCheck check);
// Writes the saved positions back, bit for bit, to every particle that still passes check;
// returns how many did not. blend is what BlendParticlePositions returned for these particles.
uint32_t RestoreParticlePositions(const ParticleScratch& scratch, uint32_t count, const ParticleBlendResult& blend,
                                  HostRegionCheck check);
