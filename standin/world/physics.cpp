// No scenario simulates bodies yet.
#include "physics.h"

namespace qv {

void CreatePhysics() {}
void StepPhysics(uint64_t, double) {}
void PhysicsAfterStep(uint64_t) {}
void DrawBodies() {}
size_t BodyDrawTracks() { return 0; }

}  // namespace qv
