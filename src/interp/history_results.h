#pragma once
// Result codes shared by the transform, pose and camera histories.
#include <cstdint>

enum class HistoryPublishResult : uint32_t {
  Appended = 0,
  Unchanged = 1,
  Invalid = 2,
  Generation = 3,
  NonMonotonic = 4,
  SameTickUpdate = 5,
  Discontinuity = 6,
};
inline constexpr uint32_t kHistoryPublishResultCount = 7;  // one counter slot per code

enum class TransformSampleResult : uint32_t {
  Interpolated = 0,
  Unchanged = 1,          // both ticks hold the identical matrix or pose
  ClockUnavailable = 2,   // the sample names no pair of distinct ticks
  GenerationMismatch = 3, // history not valid, or stored under another clock generation
  SnapshotsMissing = 4,   // a tick of the pair is not held (or, for poses, bone counts differ)
  Invalid = 5,            // interpolation failed
};

enum class PosePublishResult : uint32_t {
  Appended = 0,
  Invalid = 1,
  Generation = 2,
  NonMonotonic = 3,
  Discontinuity = 4,
};

const wchar_t* HistoryPublishResultName(HistoryPublishResult result) noexcept;
