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

// Owners of skeletons (skeletons.cpp builds the skeletons): the player's body and hands follow
// the player, props and agents stand where they are put. The skeleton object of a player owner,
// or of a prop without body nodes, is the entity's one node (placed by SetMatrix); an agent gets
// its own node and a class the agent code recognises.
enum class OwnerClass { Player, Prop, Agent };
struct OwnerSpawn {
  const char* kind = nullptr;  // draw-log kind of the root; null: not drawn
  const char* name = "";
  OwnerClass cls = OwnerClass::Prop;
  float at[3] = {};          // a player owner: its offset from the player
  int body_nodes = 0;        // a prop's attached body nodes
  uint8_t* skeleton = nullptr;
};
// The entity's page, or null when the game's entity table is full.
uint8_t* SpawnOwner(const OwnerSpawn& spawn);
void RenameOwner(uint8_t* page, const char* name);
// The game frees the entity (its skeleton is freed by its own code).
void FreeOwner(uint8_t* page);

}  // namespace qv
