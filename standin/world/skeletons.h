// The host's skeletons: the player's body and hands, ragdoll props and agents. Each skeleton is a
// scene node holding a vector of bones; the game sets bone-local matrices through cBoneState
// SetMatrix (site 19) and tells the node through cNode3D matrix changed (site 18), and the
// renderer places every bone at the skeleton's node matrix times its parent chain before drawing.
#pragma once

#include <cstdint>

namespace qv {

void CreateSkeletons();
// Before the leak check: undo the game's own temporary page protections.
void SkeletonsBeforeCheck();
// After the entities of the step are placed: animation, the props' and agents' updates (sites
// 22 and 23), and the camera the game's script hangs on the body's head.
void StepSkeletons(uint64_t step, double t);
void SkeletonsAfterStep(uint64_t step);
// Inside the listener viewport's draw.
void DrawSkeletons();

// From the host functions.
void SkeletonMarkDirty(void* skeleton);
void PropUpdate(void* prop);
void AgentUpdate(void* agent);

}  // namespace qv
