#include "entity/root_registries.h"

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

// Slots of the tables only: a caller's own RootSlot is not counted.
bool InRegistries(const RootSlot& slot) {
  const auto* at = reinterpret_cast<const uint8_t*>(&slot);
  const auto* begin = reinterpret_cast<const uint8_t*>(&g_registries);
  return at >= begin && at < begin + sizeof(g_registries);
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
  if (hostString == nullptr) return false;
  uint64_t size = 0;
  uint64_t capacity = 0;
  if (!ReadHostValueAt(hostString, kHostStringSize, size) || !ReadHostValueAt(hostString, kHostStringCapacity, capacity))
    return false;
  if (size < 1 || size > kEntityNameMax || capacity < size) return false;
  const void* data = hostString;
  if (capacity > kHostStringInlineCapacity && !ReadHostValueAt(hostString, 0, data)) return false;
  if (!ReadHostMemory(data, name->text, static_cast<size_t>(size))) {
    *name = EntityName{};
    return false;
  }
  name->length = static_cast<size_t>(size);
  return true;
}

EntityKind ClassifyEntity(const void* entity, EntityName* name) {
  if (entity == nullptr || !ReadEntityName(static_cast<const uint8_t*>(entity) + entity_layout::kName, name)) {
    *name = EntityName{};
    return EntityKind::None;
  }
  const EntityKind byName = ClassifyEntityName(name->text, name->length);
  if (byName != EntityKind::None) return byName;
  for (const ReadableInspectionEntry& entry : g_registries.readable)
    if (entry.entity == entity && SameEntityName(entry.name, *name)) return EntityKind::Inspection;
  for (const NamedRootSlot& slot : g_registries.scripted)
    if (slot.root.entity == entity && SameEntityName(slot.name, *name)) return EntityKind::Scripted;
  return EntityKind::None;
}

RootRegistries& TheRootRegistries() { return g_registries; }
size_t LiveRootCount() { return g_liveRoots; }

void SetRootSlot(RootSlot& slot, void* entity, const RigidMatrix& matrix) {
  if (slot.entity != nullptr && slot.entity != entity) ClearRootSlot(slot);
  if (slot.entity == nullptr && entity != nullptr && InRegistries(slot)) ++g_liveRoots;
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
  ClearRootSlot(g_registries.hands);
  ClearRootSlot(g_registries.body);
}
