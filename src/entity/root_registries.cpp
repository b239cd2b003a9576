#include "entity/root_registries.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "core/log.h"
#include "core/text.h"
#include "entity/entity_counters.h"
#include "entity/entity_layout.h"
#include "entity/entity_runtime.h"
#include "host/host_memory.h"

namespace {

// The host's standard string: a 16-byte inline buffer or a data pointer, then size and capacity.
constexpr size_t kHostStringSize = 16;
constexpr size_t kHostStringCapacity = 24;
constexpr size_t kHostStringInlineCapacity = 15;

RootRegistries g_registries;
// Live slots of the tables above, so that a frame with nothing registered walks none of them.
size_t g_liveRoots = 0;
// One past the last readable inspection entry and scripted slot filled since the tables were last
// emptied: both are taken from the front, so the walks by entity can stop there.
size_t g_readableUsed = 0;
size_t g_scriptedUsed = 0;

void NoteUsed(size_t& used, size_t index) {
  if (index >= used) used = index + 1;
}

bool InReadableList(const void* entity, const EntityName& name) {
  for (size_t i = 0; i < g_readableUsed; ++i) {
    const ReadableInspectionEntry& entry = g_registries.readable[i];
    if (entry.entity == entity && SameEntityName(entry.name, name)) return true;
  }
  return false;
}

bool InScriptedRegistry(const void* entity, const EntityName& name) {
  for (size_t i = 0; i < g_scriptedUsed; ++i) {
    const NamedRootSlot& slot = g_registries.scripted[i];
    if (slot.root.entity == entity && SameEntityName(slot.name, name)) return true;
  }
  return false;
}

// The scripted registry slot whose root this is, or null.
const NamedRootSlot* ScriptedOwner(const RootSlot& root) {
  static_assert(offsetof(NamedRootSlot, root) == 0);
  const auto at = reinterpret_cast<uintptr_t>(&root);
  const auto begin = reinterpret_cast<uintptr_t>(g_registries.scripted);
  if (at < begin || at - begin >= sizeof(g_registries.scripted)) return nullptr;
  const size_t offset = at - begin;
  return offset % sizeof(NamedRootSlot) == 0 ? &g_registries.scripted[offset / sizeof(NamedRootSlot)] : nullptr;
}

// Slots of the tables only: a caller's own RootSlot is not counted.
bool InRegistries(const RootSlot& slot) {
  const auto at = reinterpret_cast<uintptr_t>(&slot);
  const auto begin = reinterpret_cast<uintptr_t>(&g_registries);
  return at >= begin && at - begin < sizeof(g_registries);
}

std::wstring WidenName(const EntityName& name) { return WidenAscii(std::string_view(name.text, name.length)); }

// The entity's current name equals the stored one (unreadable names never do).
bool NameStillIs(const void* entity, const EntityName& stored) {
  EntityName current;
  return ReadEntityName(static_cast<const uint8_t*>(entity) + entity_layout::kName, &current) &&
         SameEntityName(current, stored);
}

EntityKind CurrentKind(const void* entity) {
  EntityName ignored;
  return ClassifyEntity(entity, &ignored);
}

void StoreNamed(NamedRootSlot& slot, void* entity, const RigidMatrix& matrix, const EntityName& name, uint64_t caller,
                uint64_t vtable) {
  SetRootSlot(slot.root, entity, matrix);
  CopyEntityName(name.text, name.length, &slot.name);
  slot.callerRva = caller;
  slot.vtableRva = vtable;
}

template <typename Slot, size_t N>
Slot* FindByEntity(Slot (&slots)[N], const void* entity, RootSlot& (*root)(Slot&)) {
  if (entity == nullptr) return nullptr;
  for (Slot& slot : slots)
    if (root(slot).entity == entity) return &slot;
  return nullptr;
}

RootSlot& PlainRoot(RootSlot& slot) { return slot; }
RootSlot& NamedRoot(NamedRootSlot& slot) { return slot.root; }

}  // namespace

bool ReadEntityName(const void* hostString, EntityName* name) {
  *name = EntityName{};
  // Buffer or pointer, size and capacity in one guarded copy; inline text lies inside it.
  struct HostString {
    char buffer[kHostStringSize];
    uint64_t size;
    uint64_t capacity;
  };
  static_assert(offsetof(HostString, size) == kHostStringSize && offsetof(HostString, capacity) == kHostStringCapacity);
  HostString header;
  if (hostString == nullptr || !ReadHostValue(hostString, header)) return false;
  if (header.size < 1 || header.size > kEntityNameMax || header.capacity < header.size) return false;
  const auto size = static_cast<size_t>(header.size);
  if (header.capacity <= kHostStringInlineCapacity) {
    std::memcpy(name->text, header.buffer, size);
  } else {
    const void* data = nullptr;
    std::memcpy(&data, header.buffer, sizeof(data));
    if (!ReadHostMemory(data, name->text, size)) {
      *name = EntityName{};
      return false;
    }
  }
  name->length = size;
  return true;
}

EntityKind ClassifyEntity(const void* entity, EntityName* name) {
  if (entity == nullptr || !ReadEntityName(static_cast<const uint8_t*>(entity) + entity_layout::kName, name)) {
    *name = EntityName{};
    return EntityKind::None;
  }
  const EntityKind byName = ClassifyEntityName(name->text, name->length);
  if (byName != EntityKind::None) return byName;
  if (InReadableList(entity, *name)) return EntityKind::Inspection;
  if (InScriptedRegistry(entity, *name)) return EntityKind::Scripted;
  return EntityKind::None;
}

bool StillRegisteredAs(const RootSlot& slot, EntityKind kind, const EntityName* expectedName) {
  EntityName current;
  if (slot.entity == nullptr ||
      !ReadEntityName(static_cast<const uint8_t*>(slot.entity) + entity_layout::kName, &current))
    return false;
  if (expectedName != nullptr && !SameEntityName(current, *expectedName)) return false;
  const EntityKind byName = ClassifyEntityName(current.text, current.length);
  if (byName != EntityKind::None) return byName == kind;
  if (InReadableList(slot.entity, current)) return kind == EntityKind::Inspection;
  if (kind != EntityKind::Scripted) return false;
  // A scripted slot checked against its own stored name is itself the registry entry the
  // classification looks for.
  const NamedRootSlot* owner = ScriptedOwner(slot);
  if (owner != nullptr && expectedName == &owner->name) return true;
  return InScriptedRegistry(slot.entity, current);
}

RootRegistries& TheRootRegistries() { return g_registries; }
size_t LiveRootCount() { return g_liveRoots; }

void SetRootSlot(RootSlot& slot, void* entity, const RigidMatrix& matrix) {
  if (slot.entity != nullptr && slot.entity != entity) ClearRootSlot(slot);
  if (slot.entity == nullptr && entity != nullptr && InRegistries(slot)) {
    ++g_liveRoots;
    if (const NamedRootSlot* owner = ScriptedOwner(slot)) NoteUsed(g_scriptedUsed, static_cast<size_t>(owner - g_registries.scripted));
  }
  slot.entity = entity;
  slot.latest = matrix;
  slot.dirty = true;
}

void ClearRootSlot(RootSlot& slot) {
  if (slot.entity != nullptr && InRegistries(slot)) --g_liveRoots;
  slot.entity = nullptr;
  slot.dirty = false;
  ResetTransformHistory(slot.history);
}

void ClearNamedRootSlot(NamedRootSlot& slot) {
  ClearRootSlot(slot.root);
  slot.name = EntityName{};
  slot.callerRva = 0;
  slot.vtableRva = 0;
}

void RegisterHeld(void* entity, const RigidMatrix& matrix, const EntityName& name) {
  if (RootSlot* existing = FindHeld(entity)) {
    SetRootSlot(*existing, entity, matrix);
    return;
  }
  for (RootSlot& slot : g_registries.held) {
    if (slot.entity != nullptr && CurrentKind(slot.entity) == EntityKind::HeldAccessory) continue;
    ClearRootSlot(slot);
    SetRootSlot(slot, entity, matrix);
    LogWrite(LogLevel::Info, L"Held/accessory root registered for interpolation: " + WidenName(name) + L".");
    return;
  }
  ++TheEntityCounters().heldOverflow;
}

void RegisterScripted(void* entity, const RigidMatrix& matrix, const EntityName& name, uint64_t callerRva,
                      uint64_t vtableRva) {
  if (NamedRootSlot* existing = FindScripted(entity)) {
    if (SameEntityName(existing->name, name) && existing->vtableRva == vtableRva) {
      SetRootSlot(existing->root, entity, matrix);
      existing->callerRva = callerRva;
      return;
    }
    ClearNamedRootSlot(*existing);
  }
  for (NamedRootSlot& slot : g_registries.scripted) {
    if (slot.root.entity != nullptr && NameStillIs(slot.root.entity, slot.name) &&
        EntityVtableRva(slot.root.entity) == slot.vtableRva)
      continue;
    ClearNamedRootSlot(slot);
    StoreNamed(slot, entity, matrix, name, callerRva, vtableRva);
    return;
  }
  ++TheEntityCounters().scriptedOverflow;
}

void RegisterInspection(void* entity, const RigidMatrix& matrix, const EntityName& name, uint64_t callerRva,
                        uint64_t vtableRva) {
  if (NamedRootSlot* existing = FindInspection(entity)) {
    if (!SameEntityName(existing->name, name)) ClearNamedRootSlot(*existing);
    StoreNamed(*existing, entity, matrix, name, callerRva, vtableRva);
    return;
  }
  NamedRootSlot* taken = nullptr;
  for (NamedRootSlot& slot : g_registries.inspection) {
    if (slot.root.entity == nullptr || CurrentKind(slot.root.entity) != EntityKind::Inspection ||
        !NameStillIs(slot.root.entity, slot.name)) {
      taken = &slot;
      break;
    }
  }
  // Eight live inspection entities: the newest one matters more than the first.
  if (taken == nullptr) taken = &g_registries.inspection[0];
  ClearNamedRootSlot(*taken);
  StoreNamed(*taken, entity, matrix, name, callerRva, vtableRva);
  LogWrite(LogLevel::Info, L"Inspection root registered for interpolation: " + WidenName(name) +
                               L"; caller/vtable RVA=" + FormatHex(callerRva) + L"/" + FormatHex(vtableRva) + L".");
}

void RegisterReadableInspection(void* entity) {
  EntityName name;
  if (entity == nullptr || !ReadEntityName(static_cast<const uint8_t*>(entity) + entity_layout::kName, &name) ||
      !EntityVtableRecognised(entity)) {
    ++TheEntityCounters().inspectionOverflow;
    return;
  }
  ReadableInspectionEntry* candidate = nullptr;
  for (ReadableInspectionEntry& entry : g_registries.readable) {
    if (entry.entity == entity) {
      if (SameEntityName(entry.name, name)) return;
      // Renamed: its own entry is reused whatever was picked before.
      entry = ReadableInspectionEntry{};
      candidate = &entry;
      break;
    }
    if (candidate != nullptr) continue;
    if (entry.entity == nullptr) {
      candidate = &entry;
    } else if (!NameStillIs(entry.entity, entry.name)) {
      entry = ReadableInspectionEntry{};
      candidate = &entry;
    }
  }
  if (candidate == nullptr) {
    ++TheEntityCounters().inspectionOverflow;
    return;
  }
  NoteUsed(g_readableUsed, static_cast<size_t>(candidate - g_registries.readable));
  candidate->entity = entity;
  CopyEntityName(name.text, name.length, &candidate->name);
  LogWrite(LogLevel::Info, L"Readable inspection entity registered by IsHUDVersion: " + WidenName(name) + L".");
}

void RemoveHeld(const void* entity) {
  if (RootSlot* slot = FindHeld(entity)) ClearRootSlot(*slot);
}
void RemoveScripted(const void* entity) {
  if (NamedRootSlot* slot = FindScripted(entity)) ClearNamedRootSlot(*slot);
}
void RemoveInspection(const void* entity) {
  if (NamedRootSlot* slot = FindInspection(entity)) ClearNamedRootSlot(*slot);
}

RootSlot* FindHeld(const void* entity) { return FindByEntity(g_registries.held, entity, &PlainRoot); }
NamedRootSlot* FindScripted(const void* entity) { return FindByEntity(g_registries.scripted, entity, &NamedRoot); }
NamedRootSlot* FindInspection(const void* entity) { return FindByEntity(g_registries.inspection, entity, &NamedRoot); }

void ClearRootRegistries() {
  for (RootSlot& slot : g_registries.held) ClearRootSlot(slot);
  for (NamedRootSlot& slot : g_registries.scripted) ClearNamedRootSlot(slot);
  for (NamedRootSlot& slot : g_registries.inspection) ClearNamedRootSlot(slot);
  for (ReadableInspectionEntry& entry : g_registries.readable) entry = ReadableInspectionEntry{};
  g_readableUsed = 0;
  g_scriptedUsed = 0;
  ClearRootSlot(g_registries.hands);
  ClearRootSlot(g_registries.body);
}
