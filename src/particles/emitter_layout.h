#pragma once
// Where the host keeps a particle emitter's particles and each particle's positions.
#include <cstddef>

namespace emitter_layout {

// cParticleEmitter_UserData
inline constexpr size_t kParticles = 0x1E0;     // pointer to an array of particle pointers
inline constexpr size_t kLiveCount = 0x1F8;     // u32
inline constexpr size_t kCapacity = 0x1FC;      // u32; the live count never exceeds it

// particle
inline constexpr size_t kCurrent = 0x00;        // 3 f32
inline constexpr size_t kPrevious = 0x0C;       // 3 f32, where the last step started
inline constexpr size_t kPositionsSpan = 0x18;  // both positions

}  // namespace emitter_layout
