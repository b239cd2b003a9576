#pragma once
// The listener camera's authoritative state for the two most recent ticks of one clock
// generation, fed and sampled by the render detour once per listener frame.
#include <cstdint>

#include "interp/camera_snapshot.h"
#include "interp/history_results.h"
#include "frame/presentation_clock.h"

struct CameraHistoryEntry {
  uint64_t tick;
  CameraSnapshot snapshot;
  Quaternion orientation;  // SnapshotOrientation(snapshot) in euler mode, kept with the entry
};

// Zero-initialised is empty and not valid.
struct CameraHistory {
  CameraHistoryEntry entries[2] = {};
  uint64_t head = 0;
  uint64_t count = 0;
  uint64_t generation = 0;
  bool valid = false;
};

enum class CameraSampleResult : uint32_t {
  Applied = 0,
  ClockUnavailable = 1,
  GenerationMismatch = 2,
  SnapshotsMissing = 3,
  Invalid = 4,
};

struct CameraSample {
  CameraSampleResult result;
  CameraSnapshot snapshot;  // all zero unless Applied
};

// A changed state within the same tick replaces the newest entry in place (the host may move
// the camera again before the next step), unless it breaks continuity with the older entry.
HistoryPublishResult PublishCameraHistory(CameraHistory& history, uint64_t tick, uint64_t generation,
                                          const CameraSnapshot& snapshot) noexcept;
CameraSample SampleCameraHistory(const CameraHistory& history, const ClockSample& sample) noexcept;
// Copies of the snapshots under the sample's two ticks; on false both outputs are zero.
bool FindCameraPair(const CameraHistory& history, const ClockSample& sample, CameraSnapshot* older,
                    CameraSnapshot* newer) noexcept;
void ResetCameraHistory(CameraHistory& history) noexcept;

const wchar_t* CameraSampleResultName(CameraSampleResult result) noexcept;
