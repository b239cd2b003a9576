#include "entity/newton_bodies.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "entity/entity_counters.h"
#include "entity/entity_runtime.h"
#include "entity/interpolation_report.h"
#include "entity/root_registries.h"
#include "entity/spin_lock.h"
#include "host/host_memory.h"
#include "interp/transform_history.h"

namespace {

// The host's physics body object (the Newton body's user data).
constexpr size_t kBodyName = 16;       // host string
constexpr size_t kBodyMatrix = 72;     // 4x4 f32
constexpr size_t kBodyNewtonBody = 688;

// Looser than a bytewise test: the host may renormalise what it is given.
constexpr float kBodyWriteTolerance = 0.0002f;

struct StagedBody {
  void* body;
  void* newton;
  EntityName name;
  RigidMatrix matrix;
};

// Written by the physics worker threads, drained by the game thread. Entries are taken in order and
// all released together, so the used ones are always the first usedCount.
struct NewtonStage {
  SpinLock lock;
  StagedBody entries[kNewtonBodyCapacity];
  size_t usedCount;
};

struct NewtonBodyEntry {
  void* body;   // null: free
  void* newton;
  EntityName name;
  uint64_t lastSeenTick;
  bool seen;    // staged in the tick being drained
  TransformHistory history;
};

// applied first: the restore walks all 256 records and reads only it unless set.
struct NewtonRestoreRecord {
  bool applied;
  void* body;
  void* newton;
  EntityName name;
  RigidMatrix saved;
};

// Game thread only.
struct NewtonBodies {
  NewtonBodyEntry registry[kNewtonBodyCapacity];
  NewtonRestoreRecord restore[kNewtonBodyCapacity];
  StagedBody drained[kNewtonBodyCapacity];   // the drain's copy, kept here rather than on the stack
  size_t live;                               // registry entries holding a body
};

NewtonStage g_stage;
NewtonBodies g_bodies;

const void* At(const void* object, size_t offset) { return static_cast<const uint8_t*>(object) + offset; }

void CountInvalid() { TheEntityCounters().newtonInvalid.fetch_add(1, std::memory_order_relaxed); }
void CountStageOverflow() { TheEntityCounters().newtonStageOverflow.fetch_add(1, std::memory_order_relaxed); }

// The object still holds this Newton body and this name.
bool BodyIdentityHolds(const void* body, const void* newton, const EntityName& name) {
  if (body == nullptr || newton == nullptr) return false;
  const void* held = nullptr;
  EntityName current;
  return ReadHostValueAt(body, kBodyNewtonBody, held) && held == newton && ReadEntityName(At(body, kBodyName), &current) &&
         SameEntityName(current, name);
}

// The write is still there after the host heard of it: bytewise, or rigid and within the
// tolerance. Identity was checked just before the write, which cannot touch it.
bool StillHolds(const void* body, const RigidMatrix& written) {
  const void* matrix = At(body, kBodyMatrix);
  if (!CheckHostRange(matrix, sizeof(RigidMatrix), false)) return false;
  RigidMatrix back;
  std::memcpy(&back, matrix, sizeof(RigidMatrix));
  // Both matrices ever written are rigid, so a bytewise match needs no further test.
  return BytewiseEqual(back, written) || (ValidateRigid(back, nullptr) && NearlyEqual(back, written, kBodyWriteTolerance));
}

void StageBody(void* body, void* newton, const EntityName& name, const RigidMatrix& matrix) {
  SpinLockGuard guard(g_stage.lock);
  size_t slot = g_stage.usedCount;
  for (size_t i = 0; i < g_stage.usedCount; ++i) {
    if (g_stage.entries[i].body == body && g_stage.entries[i].newton == newton) {
      slot = i;
      break;
    }
  }
  if (slot == kNewtonBodyCapacity) {
    CountStageOverflow();
    return;
  }
  StagedBody& entry = g_stage.entries[slot];
  entry.body = body;
  entry.newton = newton;
  CopyEntityName(name.text, name.length, &entry.name);
  entry.matrix = matrix;
  if (slot == g_stage.usedCount) ++g_stage.usedCount;
}

void EmptyStage() {
  SpinLockGuard guard(g_stage.lock);
  g_stage.usedCount = 0;
}

void TakeEntry(NewtonBodyEntry& entry, const StagedBody& staged) {
  if (entry.body == nullptr) ++g_bodies.live;
  entry = NewtonBodyEntry{};
  entry.body = staged.body;
  entry.newton = staged.newton;
  entry.name = staged.name;
}

// The registry entry for a staged body: its own, else a free one, else one that missed a tick.
NewtonBodyEntry* FindOrTakeEntry(const StagedBody& staged, uint64_t tick) {
  NewtonBodyEntry* firstFree = nullptr;
  NewtonBodyEntry* firstStale = nullptr;
  for (NewtonBodyEntry& entry : g_bodies.registry) {
    if (entry.body == nullptr) {
      if (firstFree == nullptr) firstFree = &entry;
      continue;
    }
    if (entry.body == staged.body && entry.newton == staged.newton && SameEntityName(entry.name, staged.name))
      return &entry;
    if (firstStale == nullptr && entry.lastSeenTick + 1 < tick) firstStale = &entry;
  }
  NewtonBodyEntry* taken = firstFree != nullptr ? firstFree : firstStale;
  if (taken != nullptr) TakeEntry(*taken, staged);
  return taken;
}

}  // namespace

namespace {

// ReadBodyMatrix, where known (optional) passed ValidateRigid before: the same bits need no second
// test. Between two ticks a body holds the matrix its last tick published.
bool ReadBodyMatrixKnown(const void* bodyObject, const void* newtonBody, const EntityName& expectedName,
                         const RigidMatrix* known, RigidMatrix* out) {
  *out = RigidMatrix{};
  if (!BodyIdentityHolds(bodyObject, newtonBody, expectedName)) return false;
  const void* matrix = At(bodyObject, kBodyMatrix);
  if (!CheckHostRange(matrix, sizeof(RigidMatrix), true)) return false;
  std::memcpy(out, matrix, sizeof(RigidMatrix));
  return (known != nullptr && BytewiseEqual(*out, *known)) || ValidateRigid(*out, nullptr);
}

}  // namespace

bool ReadBodyMatrix(const void* bodyObject, const void* newtonBody, const EntityName& expectedName, RigidMatrix* out) {
  return ReadBodyMatrixKnown(bodyObject, newtonBody, expectedName, nullptr, out);
}

void RecordNewtonBody(void* bodyObject, void* newtonBody) {
  if (bodyObject == nullptr || newtonBody == nullptr) {
    CountInvalid();
    return;
  }
  EntityName name;
  RigidMatrix matrix;
  if (!ReadEntityName(At(bodyObject, kBodyName), &name) || !ReadHostValueAt(bodyObject, kBodyMatrix, matrix) ||
      !ValidateRigid(matrix, nullptr)) {
    CountInvalid();
    return;
  }
  if (EntityFlags().worldRoot) StageBody(bodyObject, newtonBody, name, matrix);
  RecordNewtonProbe(bodyObject, name, matrix);
}

void DrainNewtonStage(uint64_t tick, uint64_t generation) {
  size_t count = 0;
  {
    SpinLockGuard guard(g_stage.lock);
    count = g_stage.usedCount;
    std::copy_n(g_stage.entries, count, g_bodies.drained);
    g_stage.usedCount = 0;
  }

  EntityCounters& counters = TheEntityCounters();
  for (NewtonBodyEntry& entry : g_bodies.registry) entry.seen = false;
  for (size_t i = 0; i < count; ++i) {
    const StagedBody& staged = g_bodies.drained[i];
    NewtonBodyEntry* entry = FindOrTakeEntry(staged, tick);
    if (entry == nullptr) {
      CountStageOverflow();
      continue;
    }
    entry->seen = true;
    entry->lastSeenTick = tick;
    const HistoryPublishResult result = PublishTransformHistory(entry->history, tick, generation, staged.matrix);
    ++counters.newtonPublished;
    if (result != HistoryPublishResult::Appended && result != HistoryPublishResult::Unchanged) ++counters.newtonReset;
    if (result == HistoryPublishResult::Invalid) FreeNewtonBody(static_cast<size_t>(entry - g_bodies.registry));
  }
  // A body at rest is drawn where the game left it.
  for (size_t i = 0; i < kNewtonBodyCapacity; ++i) {
    const NewtonBodyEntry& entry = g_bodies.registry[i];
    if (entry.body != nullptr && !entry.seen && entry.lastSeenTick < tick) FreeNewtonBody(i);
  }
}

bool ApplyNewtonBody(size_t index, const ClockSample& sample) {
  if (!EntityFlags().worldRoot || index >= kNewtonBodyCapacity) return false;
  NewtonBodyEntry& entry = g_bodies.registry[index];
  NewtonRestoreRecord& record = g_bodies.restore[index];
  // Applying over an unrestored write would save the interpolated matrix as the game's own.
  if (entry.body == nullptr || record.applied) return false;
  const TransformSample target = SampleTransformHistory(entry.history, sample);
  if (target.result != TransformSampleResult::Interpolated) return false;

  EntityCounters& counters = TheEntityCounters();
  record = NewtonRestoreRecord{};
  record.body = entry.body;
  record.newton = entry.newton;
  record.name = entry.name;
  if (!ReadBodyMatrixKnown(record.body, record.newton, record.name, NewestTransform(entry.history), &record.saved)) {
    ++counters.newtonFail;
    FreeNewtonBody(index);
    return false;
  }
  record.applied = true;
  if (WriteHostValueAt(record.body, kBodyMatrix, target.matrix)) {
    CallNodeMatrixChanged(record.body, true);
    if (StillHolds(record.body, target.matrix)) {
      ++counters.newtonApplied;
      return true;
    }
  }
  ++counters.newtonFail;
  if (RestoreNewtonBody(index)) {
    ResetTransformHistory(entry.history);
  } else {
    ++counters.newtonRestoreFail;
    FreeNewtonBody(index);
  }
  return false;
}

bool RestoreNewtonBody(size_t index) {
  if (index >= kNewtonBodyCapacity) return true;
  NewtonRestoreRecord& record = g_bodies.restore[index];
  if (!record.applied) return true;
  record.applied = false;
  // Only identity decides whether the saved matrix goes back: whatever the object holds now (even
  // a matrix the host made non-rigid) is ours and must not stay in the game.
  if (!BodyIdentityHolds(record.body, record.newton, record.name) ||
      !WriteHostValueAt(record.body, kBodyMatrix, record.saved))
    return false;
  CallNodeMatrixChanged(record.body, true);
  return StillHolds(record.body, record.saved);
}

void FreeNewtonBody(size_t index) {
  if (index >= kNewtonBodyCapacity) return;
  if (g_bodies.registry[index].body != nullptr) --g_bodies.live;
  g_bodies.registry[index] = NewtonBodyEntry{};
}

size_t LiveNewtonBodyCount() { return g_bodies.live; }

void ResetNewtonBodies() {
  for (size_t i = 0; i < kNewtonBodyCapacity; ++i) FreeNewtonBody(i);
  EmptyStage();
}

void ClearNewtonTables() {
  ResetNewtonBodies();
  for (NewtonRestoreRecord& record : g_bodies.restore) record = NewtonRestoreRecord{};
}
