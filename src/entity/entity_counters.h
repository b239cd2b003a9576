#pragma once
// The entity and world counters: moved by the detours, capture, apply and restore, read and zeroed
// by the interpolation report. Atomic where a physics worker thread writes them.
#include <atomic>
#include <cstdint>

struct EntityCounters {
  // set-matrix calls seen by kind, and matrices refused
  uint64_t handsSetMatrix = 0, bodySetMatrix = 0, heldSetMatrix = 0, scriptedSetMatrix = 0, inspectionSetMatrix = 0;
  uint64_t invalidMatrix = 0;
  // registries
  uint64_t heldOverflow = 0, scriptedOverflow = 0, inspectionOverflow = 0;
  // roots, every kind together
  uint64_t rootApplied = 0, rootFail = 0, rootRestoreFail = 0;
  uint64_t readRootFail = 0, collectFail = 0, inverseFail = 0, multiplyFail = 0, verifyFail = 0;
  uint64_t heldApplied = 0, heldFail = 0, heldRestoreFail = 0;
  uint64_t scriptedApplied = 0, scriptedFail = 0, scriptedRestoreFail = 0;
  uint64_t inspectionApplied = 0, inspectionFail = 0, inspectionRestoreFail = 0;
  // physics bodies
  std::atomic<uint64_t> newtonInvalid{0}, newtonStageOverflow{0};
  uint64_t newtonPublished = 0, newtonReset = 0, newtonApplied = 0, newtonFail = 0, newtonRestoreFail = 0;
  // CPU probe: performance-counter ticks and counts
  uint64_t skeletalCaptureTicks = 0, skeletalCaptureCount = 0;
  uint64_t applyTicks = 0, applyCount = 0;
  uint64_t restoreTicks = 0, restoreCount = 0;
};

EntityCounters& TheEntityCounters();
// Zeroes everything but nothing else (called by the report and by uninstallation).
void ZeroEntityCounters();
