#include "interp/camera_history.h"

#include "interp/history_ring.h"

namespace {

constexpr float kSameTickTolerance = 1e-5f;

Quaternion OrientationOf(const CameraSnapshot& snapshot) {
  return snapshot.mode == kCameraModeEuler ? SnapshotOrientation(snapshot) : Quaternion{1, 0, 0, 0};
}

void PushCamera(CameraHistory& history, uint64_t tick, const CameraSnapshot& snapshot) {
  CameraHistoryEntry& slot = PushHistorySlot(history);
  slot.tick = tick;
  slot.snapshot = snapshot;
  slot.orientation = OrientationOf(snapshot);
}

HistoryPublishResult RestartWith(CameraHistory& history, uint64_t tick, uint64_t generation,
                                 const CameraSnapshot& snapshot, HistoryPublishResult result) {
  RestartHistory(history, generation);
  PushCamera(history, tick, snapshot);
  return result;
}

}  // namespace

void ResetCameraHistory(CameraHistory& history) noexcept { ClearHistory(history); }

HistoryPublishResult PublishCameraHistory(CameraHistory& history, uint64_t tick, uint64_t generation,
                                          const CameraSnapshot& snapshot) noexcept {
  if (!ValidateSnapshot(snapshot)) {
    ClearHistory(history);
    return HistoryPublishResult::Invalid;
  }
  if (!history.valid || history.generation != generation) {
    return RestartWith(history, tick, generation, snapshot, HistoryPublishResult::Generation);
  }
  if (history.count == 0) {
    PushCamera(history, tick, snapshot);
    return HistoryPublishResult::Appended;
  }

  CameraHistoryEntry& newest = HistoryNewest(history);
  if (tick < newest.tick) {
    return RestartWith(history, tick, generation, snapshot, HistoryPublishResult::NonMonotonic);
  }
  if (tick == newest.tick) {
    if (SnapshotNearlyEqual(newest.snapshot, snapshot, kSameTickTolerance)) return HistoryPublishResult::Unchanged;
    if (history.count == 2 && SnapshotIsDiscontinuous(HistoryEntryAt(history, 0).snapshot, snapshot)) {
      return RestartWith(history, tick, generation, snapshot, HistoryPublishResult::Discontinuity);
    }
    newest.snapshot = snapshot;
    newest.orientation = OrientationOf(snapshot);
    return HistoryPublishResult::SameTickUpdate;
  }
  if (tick == newest.tick + 1 && !SnapshotIsDiscontinuous(newest.snapshot, snapshot)) {
    PushCamera(history, tick, snapshot);
    return HistoryPublishResult::Appended;
  }
  return RestartWith(history, tick, generation, snapshot, HistoryPublishResult::Discontinuity);
}

namespace {

CameraSampleResult ToCameraResult(TransformSampleResult located) {
  switch (located) {
    case TransformSampleResult::ClockUnavailable: return CameraSampleResult::ClockUnavailable;
    case TransformSampleResult::GenerationMismatch: return CameraSampleResult::GenerationMismatch;
    case TransformSampleResult::SnapshotsMissing: return CameraSampleResult::SnapshotsMissing;
    case TransformSampleResult::Interpolated: return CameraSampleResult::Applied;
    default: return CameraSampleResult::Invalid;
  }
}

}  // namespace

CameraSample SampleCameraHistory(const CameraHistory& history, const ClockSample& sample) noexcept {
  CameraSample out{};
  const CameraHistoryEntry* older = nullptr;
  const CameraHistoryEntry* newer = nullptr;
  out.result = ToCameraResult(LocateHistoryPair(history, sample, &older, &newer));
  if (out.result != CameraSampleResult::Applied) return out;
  if (!InterpolateOrientedSnapshot(older->snapshot, older->orientation, newer->snapshot, newer->orientation,
                                   SampleBlendFactor(sample), &out.snapshot)) {
    out.result = CameraSampleResult::Invalid;
  }
  return out;
}

bool FindCameraPair(const CameraHistory& history, const ClockSample& sample, CameraSnapshot* older,
                    CameraSnapshot* newer) noexcept {
  const CameraHistoryEntry* o = nullptr;
  const CameraHistoryEntry* n = nullptr;
  if (LocateHistoryPair(history, sample, &o, &n) != TransformSampleResult::Interpolated) {
    *older = CameraSnapshot{};
    *newer = CameraSnapshot{};
    return false;
  }
  *older = o->snapshot;
  *newer = n->snapshot;
  return true;
}

const wchar_t* CameraSampleResultName(CameraSampleResult result) noexcept {
  switch (result) {
    case CameraSampleResult::Applied: return L"applied";
    case CameraSampleResult::ClockUnavailable: return L"clock-unavailable";
    case CameraSampleResult::GenerationMismatch: return L"generation-mismatch";
    case CameraSampleResult::SnapshotsMissing: return L"snapshots-missing";
    case CameraSampleResult::Invalid: return L"invalid";
  }
  return L"unknown";
}
