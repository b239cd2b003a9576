// The physics world: loose bodies simulated by Newton.dll, whose worker threads report moved
// bodies through the host's transform callback while the game thread waits in NewtonUpdate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

void CreatePhysics();
void StepPhysics(uint64_t step, double step_seconds);
// After the step: bodies the game destroys before the next frame is drawn.
void PhysicsAfterStep(uint64_t step);
void DrawBodies();
// From the host's transform callback, on whichever thread runs it.
void NoteCallbackThread();
// A sliding, turning body that carries a ragdoll's root bone: its body object (matrix at +72).
uint8_t* AddRagdollBody(const char* name, const float* at, float vx, float vz, float omega);

}  // namespace qv
