#pragma once
// One rigid matrix per tick for the two most recent ticks of one clock generation
// (entity roots, physics bodies, the body root under the camera attachment).
#include <cstdint>

#include "interp/history_results.h"
#include "frame/presentation_clock.h"
#include "interp/transform.h"

// The rotation and scale are taken apart once, at publish, rather than at every sample.
struct TransformHistoryEntry {
  uint64_t tick;
  RigidMatrix matrix;
  Quaternion rotation;
  float scale;
};

// A plain value owned by its caller; zero-initialised is empty.
struct TransformHistory {
  TransformHistoryEntry entries[2] = {};
  uint64_t head = 0;  // oldest entry
  uint64_t count = 0; // 0..2
  uint64_t generation = 0;
  bool valid = false;
};

struct TransformSample {
  TransformSampleResult result;
  RigidMatrix matrix;  // all zero unless Interpolated or Unchanged
};

// Unlike the camera history, a changed matrix within one tick restarts the history.
HistoryPublishResult PublishTransformHistory(TransformHistory& history, uint64_t tick, uint64_t generation,
                                             const RigidMatrix& matrix) noexcept;
TransformSample SampleTransformHistory(const TransformHistory& history, const ClockSample& sample) noexcept;
// Copies the matrices stored under the sample's two ticks; on false both outputs are zero.
bool FindTransformPair(const TransformHistory& history, const ClockSample& sample, RigidMatrix* older,
                       RigidMatrix* newer) noexcept;
void ResetTransformHistory(TransformHistory& history) noexcept;
// The matrix of the newest tick held (it passed ValidateRigid at publish), or null when empty.
const RigidMatrix* NewestTransform(const TransformHistory& history) noexcept;
