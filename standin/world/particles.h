// The host's particle emitters: a fountain in steady motion, a burst with large steps, one that
// stops simulating but is still drawn, emitters of 4096 and 4097 particles, nine sharing one
// home slot, one drawn by a render worker thread, and emitters the game itself gets wrong now and
// then (live count over capacity, no array, freed and made anew, NaN positions).
// cParticleEmitter_UserData::UpdateMotion simulates an emitter at fixed steps only, after reading
// back exactly what it wrote last; the particle emitter graphics update draws one and records
// what it drew.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

void CreateParticles();
// Before the leak check: the game's own faults of the last step end.
void ParticlesBeforeCheck();
void StepParticles(uint64_t step, double step_seconds);
// After the step: faults that last until the next step.
void ParticlesAfterStep(uint64_t step);
// Inside the listener viewport's draw.
void DrawParticles();

// The work at the two particle sites; objects that are not emitters of this world are ignored.
void ParticleUpdateMotion(void* emitter, const void* step_seconds);
void ParticleGraphicsUpdate(void* emitter);

}  // namespace qv
