#pragma once
// Registered entity roots: capture at every tick, render-time apply and exact restore.
#include <cstdint>

#include "entity/entity_names.h"
#include "entity/root_registries.h"
#include "frame/presentation_clock.h"
#include "interp/transform.h"

inline constexpr uint64_t kRootStagingNodes = 32;

// What one root's apply changed in the host, so that the restore can put it back.
// The flags come first: the restore walks every staging and reads only them unless applied.
struct RootStaging {
  void* entity = nullptr;
  uint64_t nodeCount = 0;
  bool applied = false;
  bool rootRead = false;                    // rootMatrix came from a successful ReadEntityRoot of entity
  RigidMatrix rootMatrix{};                 // authoritative root read before the apply
  void* nodes[kRootStagingNodes] = {};
  RigidMatrix savedNodes[kRootStagingNodes] = {};
};

void EntityTickCapture(uint64_t tick, uint64_t generation);
bool EntityRenderApply(const ClockSample& sample);
void EntityRenderRestore();
void ResetEntityHistories();

// The entity's root through the host's getter, after its virtual table is recognised; rigid or false.
bool ReadEntityRoot(void* entity, RigidMatrix* root);
// The attached body nodes (or the fallback node) and their matrices; false leaves the staging empty.
bool CollectRootNodes(void* entity, RootStaging* staging);
// Moves the slot's entity to its interpolated root through its nodes; expectedName null for unnamed slots.
bool ApplyRootSlot(RootSlot& slot, EntityKind kind, const ClockSample& sample, RootStaging& staging,
                   const EntityName* expectedName);
bool RestoreRootStaging(RootStaging& staging);
// Uninstallation: every staging emptied without touching the host.
void ClearRootStagings();
