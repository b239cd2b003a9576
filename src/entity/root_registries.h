#pragma once
// Which host entities have their roots interpolated, recognised by name and by what the detours saw,
// kept in fixed tables. Touched only on the host's game thread.
#include <cstddef>
#include <cstdint>

#include "entity/entity_names.h"
#include "interp/transform.h"
#include "interp/transform_history.h"

// A host string (buffer or pointer at +0, size at +16, capacity at +24), read through the guarded
// helpers. Refuses sizes outside 1..96.
bool ReadEntityName(const void* hostString, EntityName* name);
// Classification by the entity's name at +256 and the registries; the name is empty when unreadable.
EntityKind ClassifyEntity(const void* entity, EntityName* name);

inline constexpr size_t kHeldCapacity = 16;
inline constexpr size_t kScriptedCapacity = 256;
inline constexpr size_t kInspectionCapacity = 8;
inline constexpr size_t kReadableInspectionCapacity = 256;

struct RootSlot {
  void* entity = nullptr;   // null: free
  RigidMatrix latest{};     // last accepted SetMatrix argument
  bool dirty = false;       // set by SetMatrix, cleared by the tick capture
  TransformHistory history;
};

struct NamedRootSlot {
  RootSlot root;
  EntityName name;          // at registration
  uint64_t callerRva = 0;   // of the last registering SetMatrix call
  uint64_t vtableRva = 0;   // 0 when unreadable
};

struct ReadableInspectionEntry {
  void* entity = nullptr;
  EntityName name;
};

struct RootRegistries {
  RootSlot hands;
  RootSlot body;
  RootSlot held[kHeldCapacity];
  NamedRootSlot scripted[kScriptedCapacity];
  NamedRootSlot inspection[kInspectionCapacity];
  ReadableInspectionEntry readable[kReadableInspectionCapacity];
};

RootRegistries& TheRootRegistries();
// Live hands, body, held, scripted and inspection slots (kept by SetRootSlot and ClearRootSlot).
size_t LiveRootCount();

// ClassifyEntity(slot entity) gives kind and, when expectedName is given, the entity's current name
// equals it; a scripted slot checked against its own name needs no walk of the scripted registry.
bool StillRegisteredAs(const RootSlot& slot, EntityKind kind, const EntityName* expectedName);

void SetRootSlot(RootSlot& slot, void* entity, const RigidMatrix& matrix);
void ClearRootSlot(RootSlot& slot);
void ClearNamedRootSlot(NamedRootSlot& slot);

// From the SetMatrix and SetVarBool detours, only with hands-root interpolation on.
void RegisterHeld(void* entity, const RigidMatrix& matrix, const EntityName& name);
void RegisterScripted(void* entity, const RigidMatrix& matrix, const EntityName& name, uint64_t callerRva,
                      uint64_t vtableRva);
void RegisterInspection(void* entity, const RigidMatrix& matrix, const EntityName& name, uint64_t callerRva,
                        uint64_t vtableRva);
void RegisterReadableInspection(void* entity);

void RemoveHeld(const void* entity);
void RemoveScripted(const void* entity);
void RemoveInspection(const void* entity);
RootSlot* FindHeld(const void* entity);
NamedRootSlot* FindScripted(const void* entity);
NamedRootSlot* FindInspection(const void* entity);

// Held, scripted, inspection and readable-inspection tables, then the hands and body slots.
void ClearRootRegistries();
