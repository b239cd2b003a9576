// The host's entities: player hands and body, held items and accessories, scripted movers,
// inspected items, unnamed props. Each is an entity object with the host's layout and its body
// nodes; the game moves it through cLuxEntity::SetMatrix at fixed steps only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

void CreateEntities();
// Before the leak check: undo the game's own temporary page protections.
void EntitiesBeforeCheck();
void StepEntities(uint64_t step, double t);
// After the step: the game's own faults that last until the next step.
void EntitiesAfterStep(uint64_t step);
// Inside the listener viewport's draw.
void DrawEntities();

}  // namespace qv
