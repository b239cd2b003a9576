#include "entity/root_interpolation.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "core/log.h"
#include "core/perf_counter.h"
#include "entity/entity_counters.h"
#include "entity/entity_layout.h"
#include "entity/entity_runtime.h"
#include "entity/newton_bodies.h"
#include "host/host_memory.h"
#include "interp/transform_history.h"
#include "interp/viewport_render.h"
#include "pose/pose_state.h"

namespace {

using entity_layout::kNodeMatrix;
constexpr float kRootTolerance = 0.0002f;

struct RootInterpolationState {
  RootStaging hands;
  RootStaging body;
  RootStaging held[kHeldCapacity];
  RootStaging scripted[kScriptedCapacity];
  RootStaging inspection[kInspectionCapacity];
  // Only an apply that returned true leaves anything to put back: a frame that applied nothing
  // restores nothing and skips the tables.
  bool rootsApplied = false;
  bool bodiesApplied = false;
  bool posesApplied = false;
  std::atomic<bool> playerActiveLogged{false};
  std::atomic<bool> heldActiveLogged{false};
  std::atomic<bool> scriptedActiveLogged{false};
  std::atomic<bool> inspectionActiveLogged{false};
  std::atomic<bool> newtonActiveLogged{false};
};

RootInterpolationState g_roots;

uint8_t* At(void* base, size_t offset) { return static_cast<uint8_t*>(base) + offset; }

int64_t StartTimer() {
  const EntityRuntimeFlags& flags = EntityFlags();
  int64_t now = 0;
  if (!flags.diagnostics || flags.frequency < 1 || !ReadPerformanceCounter(&now)) return 0;
  return now;
}

void StopTimer(int64_t start, uint64_t& ticks, uint64_t& count) {
  int64_t now = 0;
  if (start <= 0 || !ReadPerformanceCounter(&now) || now < start) return;
  ticks += static_cast<uint64_t>(now - start);
  ++count;
}

// A yaw preview turns hands, body and held items with the camera even between ticks.
bool TurnsWithCamera(EntityKind kind) {
  return kind == EntityKind::PlayerHands || kind == EntityKind::PlayerBody || kind == EntityKind::HeldAccessory;
}

// One registry's apply: counts its own applied and failed roots; a skipped slot is no failure.
template <typename Slot, size_t N, typename RootOf, typename NameOf>
bool ApplyRegistry(Slot (&slots)[N], RootStaging (&stagings)[N], EntityKind kind, const ClockSample& sample,
                   uint64_t& applied, uint64_t& failed, RootOf rootOf, NameOf nameOf) {
  EntityCounters& c = TheEntityCounters();
  bool any = false;
  for (size_t i = 0; i < N; ++i) {
    RootSlot& root = rootOf(slots[i]);
    if (root.entity == nullptr) continue;
    const uint64_t failsBefore = c.rootFail;
    if (ApplyRootSlot(root, kind, sample, stagings[i], nameOf(slots[i]))) {
      ++applied;
      any = true;
    } else if (c.rootFail != failsBefore) {
      ++failed;
    }
  }
  return any;
}

template <size_t N, typename Drop>
void RestoreRegistry(RootStaging (&stagings)[N], uint64_t& restoreFailed, Drop drop) {
  EntityCounters& c = TheEntityCounters();
  for (size_t i = N; i-- > 0;) {
    if (!stagings[i].applied) continue;
    if (!RestoreRootStaging(stagings[i])) {
      ++c.rootRestoreFail;
      ++restoreFailed;
      drop(i);
    }
  }
}

void RestoreRoots(RootRegistries& r) {
  EntityCounters& c = TheEntityCounters();
  RestoreRegistry(g_roots.inspection, c.inspectionRestoreFail, [&](size_t i) { ClearNamedRootSlot(r.inspection[i]); });
  RestoreRegistry(g_roots.scripted, c.scriptedRestoreFail, [&](size_t i) { ClearNamedRootSlot(r.scripted[i]); });
  RestoreRegistry(g_roots.held, c.heldRestoreFail, [&](size_t i) { ClearRootSlot(r.held[i]); });
  // A hands or body root that could not be put back exactly stays registered and starts over.
  if (!RestoreRootStaging(g_roots.body)) {
    ++c.rootRestoreFail;
    ResetTransformHistory(r.body.history);
  }
  if (!RestoreRootStaging(g_roots.hands)) {
    ++c.rootRestoreFail;
    ResetTransformHistory(r.hands.history);
  }
}

void LogActiveOnce(std::atomic<bool>& latch, const wchar_t* line) {
  if (LatchOnce(latch)) LogWrite(LogLevel::Info, line);
}

void PublishIfDirty(RootSlot& slot, uint64_t tick, uint64_t generation) {
  if (!slot.dirty) return;
  PublishTransformHistory(slot.history, tick, generation, slot.latest);
  slot.dirty = false;
}

}  // namespace

namespace {

bool SameBits(const RigidMatrix& a, const RigidMatrix& b) {
  uint64_t x[8];
  uint64_t y[8];
  std::memcpy(x, a.m, sizeof(x));
  std::memcpy(y, b.m, sizeof(y));
  uint64_t differ = 0;
  for (int i = 0; i < 8; ++i) differ |= x[i] ^ y[i];
  return differ == 0;
}

// ReadEntityRoot, where known (optional) is a root that passed it before: the same bits need no
// second rigidity test. Between two ticks the host reports the same root frame after frame.
bool ReadEntityRootKnown(void* entity, const RigidMatrix* known, RigidMatrix* root) {
  *root = RigidMatrix{};
  if (!EntityVtableRecognised(entity)) return false;
  RigidMatrix read{};
  if (!CallEntityGetMatrix(entity, &read)) return false;
  if (!(known != nullptr && SameBits(read, *known)) && !ValidateRigid(read, nullptr)) return false;
  *root = read;
  return true;
}

}  // namespace

bool ReadEntityRoot(void* entity, RigidMatrix* root) { return ReadEntityRootKnown(entity, nullptr, root); }

namespace {

// Begin and end of the node vector, the fallback and the reference node: one guarded copy of the
// object from the vector to the reference node rather than one per field.
struct NodeLinks {
  uintptr_t begin;
  uintptr_t end;
  uint8_t gap[entity_layout::kFallbackNode - entity_layout::kNodesEnd - sizeof(uintptr_t)];
  void* fallback;
  void* reference;
};
static_assert(offsetof(NodeLinks, fallback) == entity_layout::kFallbackNode - entity_layout::kNodesBegin &&
              offsetof(NodeLinks, reference) == entity_layout::kReferenceNode - entity_layout::kNodesBegin);

// The node's matrix, when its range is writable.
bool SaveNodeMatrix(void* node, RigidMatrix* saved) {
  if (node == nullptr || !CheckHostRange(At(node, kNodeMatrix), sizeof(RigidMatrix), true)) return false;
  std::memcpy(saved, At(node, kNodeMatrix), sizeof(RigidMatrix));
  return true;
}

}  // namespace

bool CollectRootNodes(void* entity, RootStaging* staging) {
  staging->nodeCount = 0;
  NodeLinks links;
  if (!ReadHostValueAt(entity, entity_layout::kNodesBegin, links)) return false;

  if (links.begin == links.end) {
    if (!SaveNodeMatrix(links.fallback, &staging->savedNodes[0])) return false;
    staging->nodes[0] = links.fallback;
    staging->nodeCount = 1;
    return true;
  }

  const uintptr_t bytes = links.end - links.begin;
  if (links.begin == 0 || links.end < links.begin || bytes % sizeof(void*) != 0 ||
      bytes > kRootStagingNodes * sizeof(void*))
    return false;
  const uint64_t count = bytes / sizeof(void*);
  if (!CheckHostRange(reinterpret_cast<const void*>(links.begin), static_cast<size_t>(bytes), false)) return false;
  std::memcpy(staging->nodes, reinterpret_cast<const void*>(links.begin), static_cast<size_t>(bytes));
  void* const reference = links.reference != nullptr ? links.reference : staging->nodes[0];
  bool referenceFound = false;
  for (uint64_t i = 0; i < count; ++i) {
    if (!SaveNodeMatrix(staging->nodes[i], &staging->savedNodes[i])) return false;
    referenceFound = referenceFound || staging->nodes[i] == reference;
  }
  if (!referenceFound) return false;
  staging->nodeCount = count;
  return true;
}

bool ApplyRootSlot(RootSlot& slot, EntityKind kind, const ClockSample& sample, RootStaging& staging,
                   const EntityName* expectedName) {
  if (slot.entity == nullptr) return false;
  EntityCounters& c = TheEntityCounters();
  const TransformSample sampled = SampleTransformHistory(slot.history, sample);
  const WorldYawPreviewState& yawPreview = WorldYawPreview();
  const bool yaw = yawPreview.valid && TurnsWithCamera(kind);
  if (!(sampled.result == TransformSampleResult::Interpolated || (sampled.result == TransformSampleResult::Unchanged && yaw)))
    return false;

  if (!StillRegisteredAs(slot, kind, expectedName)) {
    ClearRootSlot(slot);
    return false;
  }

  RigidMatrix target = sampled.matrix;
  if (yaw) {
    RigidMatrix turned{};
    if (!CallMatrixMultiply(yawPreview.matrix, target, &turned) || !ValidateRigid(turned, nullptr)) {
      ++c.multiplyFail;
      ++c.rootFail;
      return false;
    }
    target = turned;
  }

  // The root this staging read for the same entity last frame, if it read one.
  const RigidMatrix lastRoot = staging.rootMatrix;
  const bool lastRootKnown = staging.rootRead && staging.entity == slot.entity;
  staging.nodeCount = 0;
  staging.applied = false;
  staging.entity = slot.entity;
  RigidMatrix inverse{};
  RigidMatrix delta{};
  bool prepared = false;
  staging.rootRead = ReadEntityRootKnown(slot.entity, lastRootKnown ? &lastRoot : nullptr, &staging.rootMatrix);
  if (!staging.rootRead) {
    ++c.readRootFail;
  } else if (!CollectRootNodes(slot.entity, &staging)) {
    ++c.collectFail;
  } else if (!CallMatrixInverse(staging.rootMatrix, &inverse) || !CallMatrixMultiply(target, inverse, &delta)) {
    ++c.inverseFail;
  } else {
    prepared = true;
  }
  if (!prepared) {
    ++c.rootFail;
    ResetTransformHistory(slot.history);
    return false;
  }

  staging.applied = true;
  for (uint64_t i = 0; i < staging.nodeCount; ++i) {
    RigidMatrix moved{};
    const bool multiplied = CallMatrixMultiply(delta, staging.savedNodes[i], &moved);
    if (!multiplied || !WriteHostValueAt(staging.nodes[i], kNodeMatrix, moved)) {
      // A node that turned read-only since the collect counts with the nodes that could not be collected.
      ++(multiplied ? c.collectFail : c.multiplyFail);
      ++c.rootFail;
      RestoreRootStaging(staging);
      ResetTransformHistory(slot.history);
      return false;
    }
    CallNodeMatrixChanged(staging.nodes[i], false);
  }

  RigidMatrix reported{};
  if (ReadEntityRoot(slot.entity, &reported) && NearlyEqual(reported, target, kRootTolerance)) {
    ++c.rootApplied;
    return true;
  }
  ++c.verifyFail;
  ++c.rootFail;
  RestoreRootStaging(staging);
  ResetTransformHistory(slot.history);
  return false;
}

bool RestoreRootStaging(RootStaging& staging) {
  if (!staging.applied) return true;
  for (uint64_t i = 0; i < staging.nodeCount; ++i) {
    void* node = staging.nodes[i];
    if (!WriteHostValueAt(node, kNodeMatrix, staging.savedNodes[i])) {
      staging.applied = false;
      return false;
    }
    CallNodeMatrixChanged(node, false);
  }
  staging.applied = false;
  RigidMatrix reported{};
  return ReadEntityRootKnown(staging.entity, staging.rootRead ? &staging.rootMatrix : nullptr, &reported) &&
         NearlyEqual(reported, staging.rootMatrix, kRootTolerance);
}

void EntityTickCapture(uint64_t tick, uint64_t generation) {
  // Host memory seen in the last pass is asked about afresh in this one.
  AdvanceRegionCacheEpoch();
  const EntityRuntimeFlags& flags = EntityFlags();
  if (flags.hostBase == 0) return;
  if (flags.worldRoot) DrainNewtonStage(tick, generation);
  // Skeletal props and agents, the PlayerBody pose and the PlayerHands bone probe.
  const int64_t poseTimer = flags.ragdollPose ? StartTimer() : 0;
  PoseTickCapture(tick, generation);
  StopTimer(poseTimer, TheEntityCounters().skeletalCaptureTicks, TheEntityCounters().skeletalCaptureCount);
  if (!flags.handsRoot) return;

  RootRegistries& r = TheRootRegistries();
  PublishIfDirty(r.hands, tick, generation);
  PublishIfDirty(r.body, tick, generation);
  for (RootSlot& slot : r.held) PublishIfDirty(slot, tick, generation);
  for (NamedRootSlot& slot : r.scripted) {
    if (slot.root.entity == nullptr) continue;
    // A scripted entity stays registered only while the game moves it at every tick.
    if (!slot.root.dirty) {
      ClearNamedRootSlot(slot);
      continue;
    }
    PublishIfDirty(slot.root, tick, generation);
  }
  for (NamedRootSlot& slot : r.inspection) PublishIfDirty(slot.root, tick, generation);
}

namespace {

// Whether this frame's apply can touch host memory at all.
bool AnythingRegistered(const EntityRuntimeFlags& flags) {
  return (flags.worldRoot && LiveNewtonBodyCount() > 0) || AnyPoseOwnerLive() ||
         (flags.handsRoot && LiveRootCount() > 0);
}

}  // namespace

bool EntityRenderApply(const ClockSample& sample) {
  EntityRuntimeFlags& flags = MutableEntityFlags();
  // World roots alone open the gate too: their bodies are staged and captured to be drawn.
  const bool anyApply = flags.handsRoot || flags.handsPose || flags.ragdollPose || flags.worldRoot;
  if (flags.hostBase == 0 || !anyApply || flags.applyInProgress) return false;
  EntityCounters& c = TheEntityCounters();
  const int64_t timer = StartTimer();
  flags.applyInProgress = true;
  // An empty frame reads no host memory: no walk of the tables, and no new epoch, which would only
  // cost the camera's restore a memory query. Memory seen in the last pass is otherwise asked about
  // afresh.
  if (!AnythingRegistered(flags)) {
    g_roots.rootsApplied = false;
    g_roots.bodiesApplied = false;
    g_roots.posesApplied = false;
    StopTimer(timer, c.applyTicks, c.applyCount);
    return false;
  }
  AdvanceRegionCacheEpoch();

  bool any = false;
  if (flags.handsRoot) {
    RootRegistries& r = TheRootRegistries();
    const bool hands = ApplyRootSlot(r.hands, EntityKind::PlayerHands, sample, g_roots.hands, nullptr);
    const bool body = ApplyRootSlot(r.body, EntityKind::PlayerBody, sample, g_roots.body, nullptr);
    auto plain = [](RootSlot& slot) -> RootSlot& { return slot; };
    auto named = [](NamedRootSlot& slot) -> RootSlot& { return slot.root; };
    auto noName = [](RootSlot&) -> const EntityName* { return nullptr; };
    auto storedName = [](NamedRootSlot& slot) -> const EntityName* { return &slot.name; };
    const bool held = ApplyRegistry(r.held, g_roots.held, EntityKind::HeldAccessory, sample, c.heldApplied, c.heldFail,
                                    plain, noName);
    const bool scripted = ApplyRegistry(r.scripted, g_roots.scripted, EntityKind::Scripted, sample, c.scriptedApplied,
                                        c.scriptedFail, named, storedName);
    const bool inspection = ApplyRegistry(r.inspection, g_roots.inspection, EntityKind::Inspection, sample,
                                          c.inspectionApplied, c.inspectionFail, named, storedName);
    if (hands || body)
      LogActiveOnce(g_roots.playerActiveLogged,
                    L"Player hands/body root interpolation active on the camera presentation clock.");
    if (held)
      LogActiveOnce(g_roots.heldActiveLogged, L"Held/accessory root interpolation active on the camera presentation clock.");
    if (scripted)
      LogActiveOnce(g_roots.scriptedActiveLogged,
                    L"Scripted entity-root interpolation active on the camera presentation clock.");
    if (inspection)
      LogActiveOnce(g_roots.inspectionActiveLogged,
                    L"Inspection entity-root interpolation active on the camera presentation clock.");
    any = hands || body || held || scripted || inspection;
    g_roots.rootsApplied = any;
  }

  if (flags.worldRoot) {
    bool bodies = false;
    for (size_t i = 0; i < kNewtonBodyCapacity; ++i) bodies = ApplyNewtonBody(i, sample) || bodies;
    if (bodies)
      LogActiveOnce(g_roots.newtonActiveLogged,
                    L"Bounded Newton rigid-body world-root interpolation active on the camera presentation clock.");
    g_roots.bodiesApplied = bodies;
    any = any || bodies;
  }
  // Poses go on last: a bone is drawn relative to the root already in place.
  g_roots.posesApplied = PoseRenderApply(sample);
  any = any || g_roots.posesApplied;

  StopTimer(timer, c.applyTicks, c.applyCount);
  return any;
}

void EntityRenderRestore() {
  EntityRuntimeFlags& flags = MutableEntityFlags();
  if (!flags.applyInProgress) return;
  EntityCounters& c = TheEntityCounters();
  const int64_t timer = StartTimer();
  // A restore that has nothing to put back reads no host memory either.
  if (g_roots.rootsApplied || g_roots.bodiesApplied || g_roots.posesApplied) AdvanceRegionCacheEpoch();

  // Poses come off first, while the roots they were drawn against are still in place. Each owner
  // knows whether it owes a restore, and one that owes nothing costs no host access.
  PoseRenderRestore();
  if (g_roots.bodiesApplied) {
    for (size_t i = kNewtonBodyCapacity; i-- > 0;) {
      if (!RestoreNewtonBody(i)) {
        ++c.newtonRestoreFail;
        FreeNewtonBody(i);
      }
    }
  }

  RootRegistries& r = TheRootRegistries();
  if (g_roots.rootsApplied) RestoreRoots(r);
  g_roots.rootsApplied = false;
  g_roots.bodiesApplied = false;
  g_roots.posesApplied = false;

  flags.applyInProgress = false;
  // A zero turn clears the yaw preview: the next frame publishes its own.
  PublishWorldYawPreview(0.0f, 0.0f, 0.0f, 0.0f);
  StopTimer(timer, c.restoreTicks, c.restoreCount);
}


void ResetEntityHistories() {
  if (EntityFlags().hostBase == 0) return;
  RootRegistries& r = TheRootRegistries();
  auto reset = [](RootSlot& slot) {
    ResetTransformHistory(slot.history);
    slot.dirty = false;
  };
  reset(r.hands);
  reset(r.body);
  for (RootSlot& slot : r.held) reset(slot);
  for (NamedRootSlot& slot : r.scripted) reset(slot.root);
  for (NamedRootSlot& slot : r.inspection) reset(slot.root);
  ResetPoseHistories();
  ResetNewtonBodies();
}

void ClearRootStagings() {
  auto clear = [](RootStaging& staging) { staging = RootStaging{}; };
  clear(g_roots.hands);
  clear(g_roots.body);
  for (RootStaging& staging : g_roots.held) clear(staging);
  for (RootStaging& staging : g_roots.scripted) clear(staging);
  for (RootStaging& staging : g_roots.inspection) clear(staging);
}
