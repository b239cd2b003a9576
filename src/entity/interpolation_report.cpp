#include "entity/interpolation_report.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string_view>

#include "core/log.h"
#include "core/text.h"
#include "entity/entity_counters.h"
#include "entity/entity_runtime.h"
#include "entity/newton_bodies.h"
#include "entity/root_registries.h"
#include "entity/spin_lock.h"
#include "host/host_memory.h"
#include "pose/camera_skeleton.h"
#include "pose/pose_state.h"

namespace {

constexpr size_t kProbeCapacity = 128;
constexpr size_t kTopItems = 12;
constexpr float kProbeChangeTolerance = 1e-6f;
constexpr uint64_t kReportIntervalMs = 5000;
constexpr size_t kShownProps = 8;

// The host entity as the root probe reads it.
constexpr size_t kEntityVtableSize = 360;
constexpr size_t kVtableGetter = 160;     // slot 20
constexpr size_t kVtableSetter = 352;     // slot 44
constexpr size_t kEntityNodesBegin = 2280;
constexpr size_t kEntityNodesEnd = 2288;
constexpr size_t kEntityFallbackNode = 2480;
constexpr size_t kEntityReferenceNode = 2488;

struct ProbeEntry {
  const void* object;   // null: free
  EntityName name;
  uint64_t callerRva;
  uint64_t vtableRva;
  RigidMatrix last;
  bool hasMatrix;
  uint64_t callbacks;
  uint64_t changed;
};

// Detours only try the lock; the report and the resets wait for it.
struct ProbeTable {
  SpinLock lock;
  ProbeEntry entries[kProbeCapacity];
  std::atomic<uint64_t> invalid{0};
  std::atomic<uint64_t> lockDrop{0};
  std::atomic<uint64_t> overflow{0};
};

struct ProbeItem {
  EntityName name;
  uint64_t callbacks;
  uint64_t changed;
  uint64_t callerRva;
  uint64_t vtableRva;
};

ProbeTable g_setMatrixProbe;
ProbeTable g_newtonProbe;     // invalid lives with the physics counters
ProbeItem g_reportItems[kProbeCapacity];   // the report's copy, game thread only

// PlayerHands, PlayerBody, HeldAccessory, Scripted.
std::atomic<bool> g_rootProbeLogged[4];

std::atomic<uint64_t> g_lastReportMs{0};   // 0: no report time yet
uint64_t g_regionQueriesAtReport = 0;

// Caller holds the table's lock. false: no entry left.
bool UpdateProbeEntry(ProbeTable& table, const void* object, const EntityName& name, bool byCaller, uint64_t callerRva,
                      uint64_t vtableRva, const RigidMatrix& matrix) {
  ProbeEntry* found = nullptr;
  ProbeEntry* firstFree = nullptr;
  for (ProbeEntry& entry : table.entries) {
    if (entry.object == nullptr) {
      if (firstFree == nullptr) firstFree = &entry;
    } else if (entry.object == object && (!byCaller || entry.callerRva == callerRva)) {
      found = &entry;
      break;
    }
  }
  // An address reused by another object starts counting afresh.
  ProbeEntry* entry = found != nullptr && SameEntityName(found->name, name) ? found : nullptr;
  if (entry == nullptr) {
    entry = found != nullptr ? found : firstFree;
    if (entry == nullptr) return false;
    *entry = ProbeEntry{};
    entry->object = object;
    entry->name = name;
    entry->callerRva = callerRva;
    entry->vtableRva = vtableRva;
  }
  ++entry->callbacks;
  if (entry->hasMatrix && !NearlyEqual(matrix, entry->last, kProbeChangeTolerance)) ++entry->changed;
  entry->last = matrix;
  entry->hasMatrix = true;
  return true;
}

// Copies the entries that saw a call and empties the table; the lock is held for the copy only.
size_t TakeProbeItems(ProbeTable& table, ProbeItem* items) {
  size_t count = 0;
  SpinLockGuard guard(table.lock);
  for (ProbeEntry& entry : table.entries) {
    if (entry.object != nullptr && entry.callbacks > 0) {
      items[count++] = ProbeItem{entry.name, entry.callbacks, entry.changed, entry.callerRva, entry.vtableRva};
    }
    entry = ProbeEntry{};
  }
  return count;
}

void EmptyProbeTable(ProbeTable& table) {
  SpinLockGuard guard(table.lock);
  for (ProbeEntry& entry : table.entries) entry = ProbeEntry{};
  table.invalid.store(0, std::memory_order_relaxed);
  table.lockDrop.store(0, std::memory_order_relaxed);
  table.overflow.store(0, std::memory_order_relaxed);
}

std::wstring WidenName(const EntityName& name) { return WidenAscii(std::string_view(name.text, name.length)); }
std::wstring Decimal(uint64_t value) { return FormatUnsigned(value); }
std::wstring Fixed(double value) { return FormatBounded(64, L"%f", value); }

uint64_t Take(uint64_t& counter) {
  const uint64_t value = counter;
  counter = 0;
  return value;
}
uint64_t Take(std::atomic<uint64_t>& counter) { return counter.exchange(0, std::memory_order_relaxed); }

// Most changed first, then most called; the first twelve.
std::wstring TopProbeItems(ProbeItem* items, size_t count, bool withRvas) {
  const size_t shown = std::min(count, kTopItems);
  std::partial_sort(items, items + shown, items + count, [](const ProbeItem& a, const ProbeItem& b) {
    return a.changed != b.changed ? a.changed > b.changed : a.callbacks > b.callbacks;
  });
  if (shown == 0) return L"<none>";
  std::wstring top;
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) top += L", ";
    top += WidenName(items[i].name) + L"(" + Decimal(items[i].callbacks) + L"/" + Decimal(items[i].changed);
    if (withRvas) top += L", caller=" + FormatHex(items[i].callerRva) + L", vtable=" + FormatHex(items[i].vtableRva);
    top += L")";
  }
  return top;
}

std::wstring ProbeLine(const wchar_t* prefix, ProbeTable& table, std::atomic<uint64_t>& invalid, bool withRvas) {
  const size_t count = TakeProbeItems(table, g_reportItems);
  uint64_t callbacks = 0;
  uint64_t changed = 0;
  for (size_t i = 0; i < count; ++i) {
    callbacks += g_reportItems[i].callbacks;
    changed += g_reportItems[i].changed;
  }
  const std::wstring top = TopProbeItems(g_reportItems, count, withRvas);
  return prefix + Decimal(count) + L"/" + Decimal(callbacks) + L"/" + Decimal(changed) + L"/" + Decimal(Take(invalid)) +
         L"/" + Decimal(Take(table.lockDrop)) + L"/" + Decimal(Take(table.overflow)) +
         L"; top name(callbacks/changed): " + top + L".";
}

std::wstring TakeBoneCadence(const wchar_t* prefix, BoneProbeRecord& record) {
  return prefix + Decimal(Take(record.captures)) + L"/" + Decimal(Take(record.changed)) + L"/" +
         Decimal(Take(record.invalid)) + L"/" + Decimal(record.boneCount) + L".";
}

// Performance-counter ticks as "total ms/mean us".
std::wstring CpuFigures(uint64_t ticks, uint64_t count, int64_t frequency) {
  const double totalMs = frequency < 1 ? 0.0 : static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
  const double meanUs = count == 0 ? 0.0 : totalMs * 1000.0 / static_cast<double>(count);
  return Fixed(totalMs) + L" ms/" + Fixed(meanUs) + L" us";
}

bool ReadVtableEntryRva(const void* entity, size_t offset, uint64_t* rva) {
  const uint8_t* vtable = nullptr;
  uintptr_t function = 0;
  *rva = 0;
  if (!ReadHostValueAt(entity, 0, vtable) || !CheckHostRange(vtable, kEntityVtableSize, false) ||
      !ReadHostValueAt(vtable, offset, function))
    return false;
  *rva = HostRva(function);
  return true;
}

// Largest element difference between what the getter reports and what the setter was given.
double SetterGetterDelta(void* entity, const RigidMatrix& given) {
  RigidMatrix reported;
  if (EntityHost().getMatrix == nullptr || !CallEntityGetMatrix(entity, &reported) || !ValidateRigid(reported, nullptr))
    return -1.0;
  float delta = 0.0f;
  for (size_t i = 0; i < 16; ++i) delta = std::max(delta, std::fabs(reported.m[i] - given.m[i]));
  return delta;
}

}  // namespace

void RecordSetMatrix(void* entity, const char* name, const void* matrixArgument, uint64_t callerRva,
                     uint64_t vtableRva) {
  if (!EntityFlags().diagnostics) return;
  ProbeTable& table = g_setMatrixProbe;
  RigidMatrix matrix;
  if (entity == nullptr || name == nullptr || name[0] == '\0' || !ReadHostValue(matrixArgument, matrix) ||
      !ValidateRigid(matrix, nullptr)) {
    table.invalid.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  EntityName probeName;
  CopyEntityName(name, strnlen(name, kEntityNameMax), &probeName);
  if (!TryAcquireSpinLock(table.lock)) {
    table.lockDrop.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const bool stored = UpdateProbeEntry(table, entity, probeName, true, callerRva, vtableRva, matrix);
  ReleaseSpinLock(table.lock);
  if (!stored) table.overflow.fetch_add(1, std::memory_order_relaxed);
}

void RecordNewtonProbe(const void* bodyObject, const EntityName& name, const RigidMatrix& matrix) {
  if (!EntityFlags().diagnostics) return;
  ProbeTable& table = g_newtonProbe;
  if (!TryAcquireSpinLock(table.lock)) {
    table.lockDrop.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const bool stored = UpdateProbeEntry(table, bodyObject, name, false, 0, 0, matrix);
  ReleaseSpinLock(table.lock);
  if (!stored) table.overflow.fetch_add(1, std::memory_order_relaxed);
}

RootProbeNodes ReadRootProbeNodes(const void* entity) {
  const RootProbeNodes none{0, -1};
  uintptr_t begin = 0;
  uintptr_t end = 0;
  if (!ReadHostValueAt(entity, kEntityNodesBegin, begin) || !ReadHostValueAt(entity, kEntityNodesEnd, end) ||
      begin == 0 || end < begin || (end - begin) % sizeof(void*) != 0)
    return none;
  const size_t length = end - begin;
  if (length == 0) return RootProbeNodes{0, -1};
  const auto* nodes = reinterpret_cast<const void* const*>(begin);
  if (!CheckHostRange(nodes, length, false)) return none;
  const size_t count = length / sizeof(void*);
  const void* reference = nullptr;
  if (!ReadHostValueAt(entity, kEntityReferenceNode, reference) || reference == nullptr) reference = nodes[0];
  for (size_t i = 0; i < count; ++i)
    if (nodes[i] == reference) return RootProbeNodes{count, static_cast<int64_t>(i)};
  return RootProbeNodes{count, -1};
}

void RootProbe(EntityKind kind, const char* name, void* entity, const RigidMatrix& matrix, float scale) {
  if (kind < EntityKind::PlayerHands || kind > EntityKind::Scripted || name == nullptr) return;
  const auto index = static_cast<size_t>(kind) - static_cast<size_t>(EntityKind::PlayerHands);
  if (g_rootProbeLogged[index].exchange(true, std::memory_order_acq_rel)) return;

  uint64_t getter = 0;
  uint64_t setter = 0;
  if (!ReadVtableEntryRva(entity, kVtableGetter, &getter) || !ReadVtableEntryRva(entity, kVtableSetter, &setter)) {
    getter = 0;
    setter = 0;
  }
  const void* fallback = nullptr;
  const bool hasFallback = ReadHostValueAt(entity, kEntityFallbackNode, fallback) && fallback != nullptr;
  const RootProbeNodes nodes = ReadRootProbeNodes(entity);
  const std::wstring line =
      L"Root probe found " + WidenAscii(std::string_view(name, strnlen(name, kEntityNameMax))) +
      L": uniform-scale=" + Fixed(scale) + L", translation=(" + Fixed(matrix.m[3]) + L", " + Fixed(matrix.m[7]) +
      L", " + Fixed(matrix.m[11]) + L"), virtual getter/setter RVAs=" + FormatHex(getter) + L"/" + FormatHex(setter) +
      L", nodes=" + Decimal(nodes.nodes) + L", reference-index=" + FormatSigned(nodes.referenceIndex) +
      L", fallback-node=" + (hasFallback ? L"true" : L"false") + L", setter/getter max-delta=" +
      Fixed(SetterGetterDelta(entity, matrix)) + L".";
  LogWrite(LogLevel::Info, line);
}

std::wstring TakeNewtonProbeLine() {
  return ProbeLine(L"Newton body transform probe: bodies/callbacks/changed/invalid/lock-drop/registry-overflow=",
                   g_newtonProbe, TheEntityCounters().newtonInvalid, false);
}

std::wstring TakeBodyBoneCadenceLine() {
  return TakeBoneCadence(L"Body-bone read-only cadence: captures/changed/invalid/count=", BodyProbeRecord());
}

std::wstring TakeHandsBoneCadenceLine() {
  return TakeBoneCadence(L"Hands-bone read-only cadence: captures/changed/invalid/count=", HandsProbeRecord());
}

std::wstring TakeSkeletalPropLine() {
  // A record dropped since the last report keeps its counters until they are shown here, so
  // the failures that dropped it are not lost with it.
  SkeletalPropRegistry& registry = TheSkeletalProps();
  uint64_t live = 0, captures = 0, changed = 0, invalid = 0, published = 0, reset = 0, discontinuity = 0;
  uint64_t applied = 0, skipped = 0, fail = 0, restoreFail = 0;
  std::wstring props;
  for (SkeletalPropRecord& record : registry.records) {
    if (record.entity != nullptr && live++ < kShownProps) {
      if (!props.empty()) props += L", ";
      props += WidenName(record.name) + L"(" + Decimal(record.bodies) + L"b/" + Decimal(record.probe.boneCount) +
               L"j/" + Decimal(record.probe.changed) + L"c)";
    }
    captures += Take(record.probe.captures);
    changed += Take(record.probe.changed);
    invalid += Take(record.probe.invalid);
    published += Take(record.published);
    reset += Take(record.reset);
    discontinuity += Take(record.discontinuityReset);
    applied += Take(record.renderApplied);
    skipped += Take(record.unchangedSkip);
    fail += Take(record.renderFail);
    restoreFail += Take(record.restoreFail);
  }
  if (props.empty()) props = L"<none>";
  return L"Skeletal prop pose interpolation: active, captures/changed/invalid, published/reset/discontinuity-reset, "
         L"render applied/unchanged-skip/fail/restore-fail/registry-overflow=" +
         Decimal(live) + L", " + Decimal(captures) + L"/" + Decimal(changed) + L"/" + Decimal(invalid) + L", " +
         Decimal(published) + L"/" + Decimal(reset) + L"/" + Decimal(discontinuity) + L", " + Decimal(applied) + L"/" +
         Decimal(skipped) + L"/" + Decimal(fail) + L"/" + Decimal(restoreFail) + L"/" + Decimal(Take(registry.overflow)) +
         L"; props(bodies/bones/changed): " + props + L".";
}

std::wstring TakeBodyPoseLine() {
  BodyPoseState& body = TheBodyPose();
  BodyChangeStats& stats = TheBodyChangeStats();
  std::wstring line = L"Body-pose cadence: published/reset, render applied/fail/restore-fail=" +
                      Decimal(Take(body.published)) + L"/" + Decimal(Take(body.reset)) + L", " +
                      Decimal(Take(body.renderApplied)) + L"/" + Decimal(Take(body.renderFail)) + L"/" +
                      Decimal(Take(body.restoreFail)) + L"; largest bone-local change per tick position/orientation=" +
                      Fixed(stats.largestPosition) + L"/" + Fixed(stats.largestOrientation) +
                      L" rad, ticks over former limits=" + Decimal(Take(stats.ticksOverPosition)) + L"/" +
                      Decimal(Take(stats.ticksOverOrientation)) + L".";
  stats.largestPosition = 0.0f;
  stats.largestOrientation = 0.0f;
  return line;
}

std::wstring TakeSetMatrixProbeLine() {
  return ProbeLine(L"Generic entity SetMatrix probe: entities/callbacks/changed/invalid/lock-drop/registry-overflow=",
                   g_setMatrixProbe, g_setMatrixProbe.invalid, true);
}

void InterpolationReport() { InterpolationReportAt(GetTickCount64()); }

void InterpolationReportAt(uint64_t nowMs) {
  const EntityRuntimeFlags& flags = EntityFlags();
  if (!flags.diagnostics) return;
  const uint64_t last = g_lastReportMs.load(std::memory_order_relaxed);
  if (last == 0) {
    g_lastReportMs.store(nowMs, std::memory_order_relaxed);
    g_regionQueriesAtReport = RegionQueryCount();
    return;
  }
  if (nowMs - last < kReportIntervalMs) return;

  EntityCounters& c = TheEntityCounters();
  LogWrite(LogLevel::Info, TakeNewtonProbeLine());
  LogWrite(LogLevel::Info, TakeSetMatrixProbeLine());
  const uint64_t live = LiveNewtonBodyCount();
  const uint64_t published = Take(c.newtonPublished), reset = Take(c.newtonReset);
  const uint64_t bodyApplied = Take(c.newtonApplied), bodyFail = Take(c.newtonFail);
  const uint64_t bodyRestoreFail = Take(c.newtonRestoreFail), stageOverflow = Take(c.newtonStageOverflow);
  if (flags.worldRoot) {
    LogWrite(LogLevel::Info, L"Newton rigid-body interpolation: active/published/reset, render "
                             L"applied/fail/restore-fail/stage-overflow=" +
                                 Decimal(live) + L"/" + Decimal(published) + L"/" + Decimal(reset) + L", " +
                                 Decimal(bodyApplied) + L"/" + Decimal(bodyFail) + L"/" + Decimal(bodyRestoreFail) +
                                 L"/" + Decimal(stageOverflow) + L".");
  }
  LogWrite(LogLevel::Info, L"Player-root cadence: hands/body/held-set-matrix=" + Decimal(Take(c.handsSetMatrix)) + L"/" +
                               Decimal(Take(c.bodySetMatrix)) + L"/" + Decimal(Take(c.heldSetMatrix)) +
                               L", invalid-matrix=" + Decimal(Take(c.invalidMatrix)) +
                               L", render applied/fail/restore-fail=" + Decimal(Take(c.rootApplied)) + L"/" +
                               Decimal(Take(c.rootFail)) + L"/" + Decimal(Take(c.rootRestoreFail)) + L".");
  LogWrite(LogLevel::Info, L"Player-root failure detail: read-root/collect/inverse/multiply/verify=" +
                               Decimal(Take(c.readRootFail)) + L"/" + Decimal(Take(c.collectFail)) + L"/" +
                               Decimal(Take(c.inverseFail)) + L"/" + Decimal(Take(c.multiplyFail)) + L"/" +
                               Decimal(Take(c.verifyFail)) + L".");
  LogWrite(LogLevel::Info, TakeBodyBoneCadenceLine());
  LogWrite(LogLevel::Info, TakeHandsBoneCadenceLine());
  LogWrite(LogLevel::Info, L"Held/accessory interpolation: render applied/fail/restore-fail/registry-overflow=" +
                               Decimal(Take(c.heldApplied)) + L"/" + Decimal(Take(c.heldFail)) + L"/" +
                               Decimal(Take(c.heldRestoreFail)) + L"/" + Decimal(Take(c.heldOverflow)) + L".");
  LogWrite(LogLevel::Info, L"Scripted-root interpolation: set-matrix, render applied/fail/restore-fail/registry-overflow=" +
                               Decimal(Take(c.scriptedSetMatrix)) + L", " + Decimal(Take(c.scriptedApplied)) + L"/" +
                               Decimal(Take(c.scriptedFail)) + L"/" + Decimal(Take(c.scriptedRestoreFail)) + L"/" +
                               Decimal(Take(c.scriptedOverflow)) + L".");
  LogWrite(LogLevel::Info,
           L"Inspection-root interpolation: set-matrix, render applied/fail/restore-fail/registry-overflow=" +
               Decimal(Take(c.inspectionSetMatrix)) + L", " + Decimal(Take(c.inspectionApplied)) + L"/" +
               Decimal(Take(c.inspectionFail)) + L"/" + Decimal(Take(c.inspectionRestoreFail)) + L"/" +
               Decimal(Take(c.inspectionOverflow)) + L".");
  // Both are taken either way: what a line does not show is zeroed all the same.
  const std::wstring propLine = TakeSkeletalPropLine();
  if (flags.ragdollPose) LogWrite(LogLevel::Info, propLine);
  const std::wstring bodyPoseLine = TakeBodyPoseLine();
  if (flags.handsPose) LogWrite(LogLevel::Info, bodyPoseLine);
  const uint64_t regionQueries = RegionQueryCount();
  const uint64_t captureTicks = Take(c.skeletalCaptureTicks), captureCount = Take(c.skeletalCaptureCount);
  const uint64_t applyTicks = Take(c.applyTicks), applyCount = Take(c.applyCount);
  const uint64_t restoreTicks = Take(c.restoreTicks), restoreCount = Take(c.restoreCount);
  PoseCounters& pose = ThePoseCounters();
  LogWrite(LogLevel::Info, L"Interpolation CPU probe: skeletal-capture total/mean=" +
                               CpuFigures(captureTicks, captureCount, flags.frequency) + L"; render apply total/mean=" +
                               CpuFigures(applyTicks, applyCount, flags.frequency) + L"; render restore total/mean=" +
                               CpuFigures(restoreTicks, restoreCount, flags.frequency) + L"; skeletal bones written=" +
                               Decimal(Take(pose.skeletalBonesWritten)) + L"; memory-region queries=" +
                               Decimal(regionQueries - g_regionQueriesAtReport) +
                               L"; agent mesh root published/reset/render-applied=" +
                               Decimal(Take(pose.meshRootPublished)) + L"/" + Decimal(Take(pose.meshRootReset)) + L"/" +
                               Decimal(Take(pose.meshRootApplied)) + L".");
  g_regionQueriesAtReport = regionQueries;
  const std::wstring ride = TakeCameraSkeletonReportLine();
  if (!ride.empty()) LogWrite(LogLevel::Info, ride);
  g_lastReportMs.store(nowMs, std::memory_order_relaxed);
}

void ClearProbeTables() {
  EmptyProbeTable(g_setMatrixProbe);
  EmptyProbeTable(g_newtonProbe);
  g_lastReportMs.store(0, std::memory_order_relaxed);
}
