#include "entity/entity_counters.h"

namespace {
EntityCounters g_counters;
}  // namespace

EntityCounters& TheEntityCounters() { return g_counters; }

void ZeroEntityCounters() {
  EntityCounters& c = g_counters;
  // The atomics forbid assigning a fresh struct; everything else is plain.
  c.newtonInvalid.store(0, std::memory_order_relaxed);
  c.newtonStageOverflow.store(0, std::memory_order_relaxed);
  uint64_t* plain[] = {&c.handsSetMatrix,     &c.bodySetMatrix,         &c.heldSetMatrix,
                       &c.scriptedSetMatrix,  &c.inspectionSetMatrix,   &c.invalidMatrix,
                       &c.heldOverflow,       &c.scriptedOverflow,      &c.inspectionOverflow,
                       &c.rootApplied,        &c.rootFail,              &c.rootRestoreFail,
                       &c.readRootFail,       &c.collectFail,           &c.inverseFail,
                       &c.multiplyFail,       &c.verifyFail,            &c.heldApplied,
                       &c.heldFail,           &c.heldRestoreFail,       &c.scriptedApplied,
                       &c.scriptedFail,       &c.scriptedRestoreFail,   &c.inspectionApplied,
                       &c.inspectionFail,     &c.inspectionRestoreFail, &c.newtonPublished,
                       &c.newtonReset,        &c.newtonApplied,         &c.newtonFail,
                       &c.newtonRestoreFail,  &c.skeletalCaptureTicks,  &c.skeletalCaptureCount,
                       &c.applyTicks,         &c.applyCount,            &c.restoreTicks,
                       &c.restoreCount};
  // A counter added to the struct must be added here too.
  static_assert(sizeof(plain) / sizeof(plain[0]) + 2 == sizeof(EntityCounters) / sizeof(uint64_t));
  for (uint64_t* counter : plain) *counter = 0;
}
