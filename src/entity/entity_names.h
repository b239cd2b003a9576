#pragma once
// Entity kinds and names as the registries compare them: fixed buffers, byte-exact. No Windows headers.
#include <cstddef>
#include <cstdint>

enum class EntityKind : uint32_t { None = 0, PlayerHands, PlayerBody, HeldAccessory, Scripted, Inspection };

inline constexpr size_t kEntityNameMax = 96;

struct EntityName {
  char text[kEntityNameMax + 1] = {};  // zero-terminated
  size_t length = 0;                   // 0: empty or unreadable
};

// Byte-exact, same length.
bool SameEntityName(const EntityName& a, const EntityName& b) noexcept;
void CopyEntityName(const char* text, size_t length, EntityName* name) noexcept;   // cut at 96 bytes
// The rules that need nothing but the name: the player prefixes, then the held/accessory suffixes.
// None for every other name.
EntityKind ClassifyEntityName(const char* text, size_t length) noexcept;

