#pragma once
// Which host entities have their roots interpolated, recognised by name and by what the detours saw,
// kept in fixed tables.
#include <cstddef>
#include <cstdint>

enum class EntityKind : uint32_t { None = 0, PlayerHands, PlayerBody, HeldAccessory, Scripted, Inspection };

inline constexpr size_t kEntityNameMax = 96;

struct EntityName {
  char text[kEntityNameMax + 1] = {};  // zero-terminated
  size_t length = 0;                   // 0: empty or unreadable
};

// A host string (buffer or pointer at +0, size at +16, capacity at +24), read through the guarded
// helpers. Refuses sizes outside 1..96.
bool ReadEntityName(const void* hostString, EntityName* name);
// Classification by the entity's name at +256 and the registries; the name is empty when unreadable.
EntityKind ClassifyEntity(const void* entity, EntityName* name);
// More declarations (slots, registries, lookups) follow with the registries themselves.
