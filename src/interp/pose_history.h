#pragma once
// The whole skeleton of each of the two most recent ticks of one clock generation.
#include <cstdint>

#include "interp/history_results.h"
#include "frame/presentation_clock.h"
#include "interp/transform.h"

inline constexpr uint64_t kPoseMaxBones = 256;

struct PoseHistoryEntry {
  uint64_t tick;
  RigidMatrix bones[kPoseMaxBones];
  uint64_t boneCount;  // 1..256; bones past it are stale
  // Each bone's rotation and scale, converted once when published instead of on every frame.
  RigidRotation rotations[kPoseMaxBones];
  // The bones that differ bit for bit from the entry published just before this one, in order,
  // found once when published instead of on every frame. Known when movedSinceTick is that
  // entry's tick; 0 when this entry started the history.
  uint16_t moved[kPoseMaxBones];
  uint64_t movedCount;
  uint64_t movedSinceTick;
};

// A plain value owned by its caller (about 42 KiB); zero-initialised is empty.
struct PoseHistory {
  PoseHistoryEntry entries[2] = {};
  uint64_t head = 0;
  uint64_t count = 0;
  uint64_t generation = 0;
  bool valid = false;
};

// skipContinuity leaves out the per-bone jump test, for skeletons whose single bones may snap.
PosePublishResult PublishPoseHistory(PoseHistory& history, uint64_t tick, uint64_t generation,
                                     const RigidMatrix* bones, uint64_t boneCount, bool skipContinuity) noexcept;
// Interpolated: outBones[0..*outBoneCount) hold the blended pose. Any other result (Unchanged
// included): the whole of outBones is zero and *outBoneCount is 0.
TransformSampleResult SamplePoseHistory(const PoseHistory& history, const ClockSample& sample,
                                        RigidMatrix (&outBones)[kPoseMaxBones], uint64_t* outBoneCount) noexcept;
// Points at the entries stored under the sample's two ticks (valid until the next publish or
// reset), when both are held with equal bone counts; on false both pointers are null.
bool FindPosePair(const PoseHistory& history, const ClockSample& sample, const PoseHistoryEntry** older,
                  const PoseHistoryEntry** newer) noexcept;
void ResetPoseHistory(PoseHistory& history) noexcept;
