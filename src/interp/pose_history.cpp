#include "interp/pose_history.h"

#include <cstring>

#include "interp/history_ring.h"

namespace {

// The bones that moved since the entry published before, when there is one to compare with.
struct MovedBones {
  uint64_t sinceTick = 0;
  uint16_t list[kPoseMaxBones];
  uint64_t count = 0;
};

void PushPose(PoseHistory& history, uint64_t tick, const RigidMatrix* bones, const RigidRotation* rotations,
              uint64_t boneCount, const MovedBones* moved) {
  PoseHistoryEntry& slot = PushHistorySlot(history);
  slot.tick = tick;
  std::memcpy(slot.bones, bones, sizeof(RigidMatrix) * boneCount);
  std::memcpy(slot.rotations, rotations, sizeof(RigidRotation) * boneCount);
  slot.boneCount = boneCount;
  slot.movedSinceTick = moved != nullptr ? moved->sinceTick : 0;
  slot.movedCount = moved != nullptr ? moved->count : 0;
  if (moved != nullptr) std::memcpy(slot.moved, moved->list, sizeof(uint16_t) * moved->count);
}

PosePublishResult RestartWith(PoseHistory& history, uint64_t tick, uint64_t generation, const RigidMatrix* bones,
                              const RigidRotation* rotations, uint64_t boneCount, PosePublishResult result) {
  RestartHistory(history, generation);
  PushPose(history, tick, bones, rotations, boneCount, nullptr);
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

// The sample of a pair whose moved bones were listed when the newer one was published: only those
// are read from both entries, and only the others are copied.
TransformSampleResult SampleMoved(const PoseHistoryEntry& older, const PoseHistoryEntry& newer, float t,
                                  RigidMatrix (&outBones)[kPoseMaxBones], uint64_t* outBoneCount) {
  if (newer.movedCount == 0) return FailSample(TransformSampleResult::Unchanged, outBones, outBoneCount);
  uint64_t next = 0;
  for (uint64_t i = 0; i < newer.boneCount; ++i) {
    if (next < newer.movedCount && newer.moved[next] == i) {
      ++next;
    } else {
      outBones[i] = newer.bones[i];
    }
  }
  if (!BlendRigidListed(older.bones, older.rotations, newer.bones, newer.rotations, newer.moved, newer.movedCount, t,
                        outBones)) {
    return FailSample(TransformSampleResult::Invalid, outBones, outBoneCount);
  }
  *outBoneCount = newer.boneCount;
  return TransformSampleResult::Interpolated;
}

}  // namespace

void ResetPoseHistory(PoseHistory& history) noexcept { ClearHistory(history); }

PosePublishResult PublishPoseHistory(PoseHistory& history, uint64_t tick, uint64_t generation,
                                     const RigidMatrix* bones, uint64_t boneCount, bool skipContinuity) noexcept {
  bool valid = bones != nullptr && boneCount >= 1 && boneCount <= kPoseMaxBones;
  // Converted while validated, then both the continuity test and every later blend use them. A
  // bone bit for bit as stored last tick was validated and converted then: a skeleton mostly at
  // rest costs little more than a comparison per bone.
  const PoseHistoryEntry* last = history.count > 0 ? &HistoryNewest(history) : nullptr;
  const uint64_t lastCount = last != nullptr ? last->boneCount : 0;
  RigidRotation rotations[kPoseMaxBones];
  MovedBones moved;
  for (uint64_t i = 0; valid && i < boneCount; ++i) {
    if (i < lastCount && BytewiseEqual(bones[i], last->bones[i])) {
      rotations[i] = last->rotations[i];
      continue;
    }
    moved.list[moved.count++] = static_cast<uint16_t>(i);
    float scale = 0.0f;
    valid = ValidateRigid(bones[i], &scale);
    if (valid) rotations[i] = RigidRotationOf(bones[i], scale);
  }
  if (!valid) {
    ClearHistory(history);
    return PosePublishResult::Invalid;
  }
  if (!history.valid || history.generation != generation) {
    return RestartWith(history, tick, generation, bones, rotations, boneCount, PosePublishResult::Generation);
  }
  if (history.count == 0) {
    PushPose(history, tick, bones, rotations, boneCount, nullptr);
    return PosePublishResult::Appended;
  }

  // Poses have no same-tick update: a republished tick means the owner's timeline restarted.
  const PoseHistoryEntry& newest = HistoryNewest(history);
  if (tick <= newest.tick) {
    return RestartWith(history, tick, generation, bones, rotations, boneCount, PosePublishResult::NonMonotonic);
  }
  bool continuous = tick == newest.tick + 1 && boneCount == newest.boneCount;
  for (uint64_t i = 0; continuous && !skipContinuity && i < boneCount; ++i) {
    continuous = !IsDiscontinuousRigid(newest.bones[i], newest.rotations[i], bones[i], rotations[i]);
  }
  if (!continuous) {
    return RestartWith(history, tick, generation, bones, rotations, boneCount, PosePublishResult::Discontinuity);
  }
  // The comparison above was with this newest entry, over the same bone count.
  moved.sinceTick = newest.tick;
  PushPose(history, tick, bones, rotations, boneCount, &moved);
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
  if (newer->movedSinceTick != 0 && newer->movedSinceTick == older->tick) {
    return SampleMoved(*older, *newer, SampleBlendFactor(sample), outBones, outBoneCount);
  }
  // A resting skeleton costs one memcmp and no trigonometry.
  if (BonesBytewiseEqual(older->bones, newer->bones, boneCount)) {
    return FailSample(TransformSampleResult::Unchanged, outBones, outBoneCount);
  }

  // Still bones are copied; the moving ones are blended together.
  uint16_t moving[kPoseMaxBones];
  size_t movingCount = 0;
  for (uint64_t i = 0; i < boneCount; ++i) {
    if (BytewiseEqual(older->bones[i], newer->bones[i])) {
      outBones[i] = newer->bones[i];
    } else {
      moving[movingCount++] = static_cast<uint16_t>(i);
    }
  }
  if (!BlendRigidListed(older->bones, older->rotations, newer->bones, newer->rotations, moving, movingCount,
                        SampleBlendFactor(sample), outBones)) {
    return FailSample(TransformSampleResult::Invalid, outBones, outBoneCount);
  }
  *outBoneCount = boneCount;
  return TransformSampleResult::Interpolated;
}
