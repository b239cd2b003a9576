#include "interp/pose_history.h"

#include <cstring>

#include "interp/history_ring.h"

namespace {

void PushPose(PoseHistory& history, uint64_t tick, const RigidMatrix* bones, uint64_t boneCount) {
  PoseHistoryEntry& slot = PushHistorySlot(history);
  slot.tick = tick;
  std::memcpy(slot.bones, bones, sizeof(RigidMatrix) * boneCount);
  slot.boneCount = boneCount;
}

PosePublishResult RestartWith(PoseHistory& history, uint64_t tick, uint64_t generation, const RigidMatrix* bones,
                              uint64_t boneCount, PosePublishResult result) {
  RestartHistory(history, generation);
  PushPose(history, tick, bones, boneCount);
  return result;
}

bool BonesBytewiseEqual(const RigidMatrix* a, const RigidMatrix* b, uint64_t boneCount) {
  return std::memcmp(a, b, sizeof(RigidMatrix) * boneCount) == 0;
}

TransformSampleResult FailSample(TransformSampleResult result, RigidMatrix (&outBones)[kPoseMaxBones],
                                 uint64_t* outBoneCount) {
  std::memset(outBones, 0, sizeof(outBones));
  *outBoneCount = 0;
  return result;
}

}  // namespace

void ResetPoseHistory(PoseHistory& history) noexcept { ClearHistory(history); }

PosePublishResult PublishPoseHistory(PoseHistory& history, uint64_t tick, uint64_t generation,
                                     const RigidMatrix* bones, uint64_t boneCount, bool skipContinuity) noexcept {
  bool valid = bones != nullptr && boneCount >= 1 && boneCount <= kPoseMaxBones;
  for (uint64_t i = 0; valid && i < boneCount; ++i) valid = ValidateRigid(bones[i], nullptr);
  if (!valid) {
    ClearHistory(history);
    return PosePublishResult::Invalid;
  }
  if (!history.valid || history.generation != generation) {
    return RestartWith(history, tick, generation, bones, boneCount, PosePublishResult::Generation);
  }
  if (history.count == 0) {
    PushPose(history, tick, bones, boneCount);
    return PosePublishResult::Appended;
  }

  // Poses have no same-tick update: a republished tick means the owner's timeline restarted.
  const PoseHistoryEntry& newest = HistoryNewest(history);
  if (tick <= newest.tick) {
    return RestartWith(history, tick, generation, bones, boneCount, PosePublishResult::NonMonotonic);
  }
  bool continuous = tick == newest.tick + 1 && boneCount == newest.boneCount;
  for (uint64_t i = 0; continuous && !skipContinuity && i < boneCount; ++i) {
    continuous = !IsDiscontinuous(newest.bones[i], bones[i]);
  }
  if (!continuous) {
    return RestartWith(history, tick, generation, bones, boneCount, PosePublishResult::Discontinuity);
  }
  PushPose(history, tick, bones, boneCount);
  return PosePublishResult::Appended;
}

bool FindPosePair(const PoseHistory& history, const ClockSample& sample, const PoseHistoryEntry** older,
                  const PoseHistoryEntry** newer) noexcept {
  const PoseHistoryEntry* o = nullptr;
  const PoseHistoryEntry* n = nullptr;
  *older = nullptr;
  *newer = nullptr;
  if (LocateHistoryPair(history, sample, &o, &n) != TransformSampleResult::Interpolated) return false;
  if (o->boneCount != n->boneCount) return false;
  *older = o;
  *newer = n;
  return true;
}

TransformSampleResult SamplePoseHistory(const PoseHistory& history, const ClockSample& sample,
                                        RigidMatrix (&outBones)[kPoseMaxBones], uint64_t* outBoneCount) noexcept {
  const PoseHistoryEntry* older = nullptr;
  const PoseHistoryEntry* newer = nullptr;
  const TransformSampleResult located = LocateHistoryPair(history, sample, &older, &newer);
  if (located != TransformSampleResult::Interpolated) return FailSample(located, outBones, outBoneCount);
  const uint64_t boneCount = newer->boneCount;
  if (older->boneCount != boneCount || boneCount < 1 || boneCount > kPoseMaxBones) {
    return FailSample(TransformSampleResult::SnapshotsMissing, outBones, outBoneCount);
  }
  // A resting skeleton costs one memcmp and no trigonometry.
  if (BonesBytewiseEqual(older->bones, newer->bones, boneCount)) {
    return FailSample(TransformSampleResult::Unchanged, outBones, outBoneCount);
  }

  const float t = SampleBlendFactor(sample);
  for (uint64_t i = 0; i < boneCount; ++i) {
    if (BytewiseEqual(older->bones[i], newer->bones[i])) {
      outBones[i] = newer->bones[i];
    } else if (!InterpolateRigid(older->bones[i], newer->bones[i], t, &outBones[i])) {
      return FailSample(TransformSampleResult::Invalid, outBones, outBoneCount);
    }
  }
  *outBoneCount = boneCount;
  return TransformSampleResult::Interpolated;
}
