#include "pose/pose_capture.h"

#include <cmath>
#include <cstring>

#include "core/log.h"
#include "entity/entity_runtime.h"
#include "entity/root_registries.h"
#include "host/host_memory.h"
#include "pose/pose_layout.h"

namespace {

using namespace pose_layout;

constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
constexpr float kAffineTolerance = 0.0001f;
// The PlayerBody statistics still count ticks over the per-bone cut the history no longer applies.
constexpr float kFormerPositionLimit = 5.0f;
constexpr float kFormerOrientationLimit = 2.0943952f;

constexpr wchar_t kBodyLabel[] = L"Body";
constexpr wchar_t kHandsLabel[] = L"Hands";
constexpr wchar_t kAgentLabel[] = L"Agent";
constexpr wchar_t kPropLabel[] = L"Skeletal prop";

const uint8_t* At(const void* base, size_t offset) { return static_cast<const uint8_t*>(base) + offset; }

uint64_t Fnv1a(uint64_t hash, const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= kFnvPrime;
  }
  return hash;
}

bool ProbeEnabled(const EntityRuntimeFlags& flags) {
  return flags.diagnostics || flags.handsPose || flags.ragdollPose;
}

// The skeleton pointer and its bone vector: a non-null skeleton holding 1 to 256 readable pointers.
bool ReadBoneVector(const void* entity, size_t skeletonOffset, void** skeleton, const void** begin, uint64_t* count) {
  void* object = nullptr;
  if (!ReadHostValueAt(entity, skeletonOffset, object) || object == nullptr) return false;
  uintptr_t first = 0, last = 0;
  if (!ReadHostValueAt(object, kBonesBegin, first) || !ReadHostValueAt(object, kBonesEnd, last)) return false;
  if (first == 0 || last < first || (last - first) % 8 != 0) return false;
  const uint64_t n = (last - first) / 8;
  if (n < 1 || n > kPoseMaxBones || !CheckHostRange(reinterpret_cast<const void*>(first), last - first, false))
    return false;
  *skeleton = object;
  *begin = reinterpret_cast<const void*>(first);
  *count = n;
  return true;
}

bool IsAffine(const RigidMatrix& m) {
  for (float v : m.m)
    if (!std::isfinite(v)) return false;
  return std::fabs(m.m[12]) <= kAffineTolerance && std::fabs(m.m[13]) <= kAffineTolerance &&
         std::fabs(m.m[14]) <= kAffineTolerance && std::fabs(m.m[15] - 1.0f) <= kAffineTolerance;
}

// Index of bone among the first limit bones of the capture, or -1.
int64_t IndexOf(const PoseCapture& capture, const void* bone, uint64_t limit) {
  for (uint64_t i = 0; i < limit; ++i)
    if (capture.bones[i] == bone) return static_cast<int64_t>(i);
  return -1;
}

// Whether the list at a bone's head offset holds anything; false with *invalid set when unreadable.
bool ListOccupied(const void* bone, size_t headOffset, bool* invalid) {
  const void* sentinel = nullptr;
  const void* firstLink = nullptr;
  if (!ReadHostValueAt(bone, headOffset, sentinel) || sentinel == nullptr || !ReadHostValue(sentinel, firstLink)) {
    *invalid = true;
    return false;
  }
  *invalid = false;
  return firstLink != sentinel;
}

// Parents before children, every parent pointer readable: the order a bone's world transform is
// built in. parents[i] is the parent's index, kNoParent for a root or a parent outside the list.
bool BuildParentTable(const PoseCapture& capture, uint16_t (&parents)[kPoseMaxBones]) {
  for (uint64_t i = 0; i < capture.count; ++i) {
    const void* parent = nullptr;
    if (!ReadHostValueAt(capture.bones[i], kBoneParent, parent)) return false;
    parents[i] = kNoParent;
    if (parent == nullptr) continue;
    const int64_t index = IndexOf(capture, parent, capture.count);
    if (index < 0) continue;
    if (static_cast<uint64_t>(index) >= i) return false;
    parents[i] = static_cast<uint16_t>(index);
  }
  return true;
}

bool SameIdentity(const void* storedSkeleton, void* const* storedBones, uint64_t storedCount,
                  const PoseCapture& capture) {
  return storedSkeleton != nullptr && storedSkeleton == capture.skeleton && storedCount == capture.count &&
         std::memcmp(storedBones, capture.bones, sizeof(void*) * capture.count) == 0;
}

void ClearPropIdentity(SkeletalPropRecord& record) {
  record.storedSkeleton = nullptr;
  record.storedCount = 0;
  ResetPoseHistory(record.history);
}

void PublishPropPose(SkeletalPropRecord& record, const PoseCapture& capture, uint64_t tick, uint64_t generation) {
  const bool sameIdentity = SameIdentity(record.storedSkeleton, record.storedBones, record.storedCount, capture);
  if (!sameIdentity) {
    ClearPropIdentity(record);
    uint16_t parents[kPoseMaxBones];
    if (!BuildParentTable(capture, parents)) {
      ++record.reset;
      return;
    }
    record.storedSkeleton = capture.skeleton;
    std::memcpy(record.storedBones, capture.bones, sizeof(void*) * capture.count);
    record.storedCount = capture.count;
  }
  const PosePublishResult result =
      PublishPoseHistory(record.history, tick, generation, capture.matrices, capture.count, true);
  if (result == PosePublishResult::Invalid) {
    ++record.reset;
    ClearPropIdentity(record);
    record.poseActive = false;
    return;
  }
  ++record.published;
  // A pose the game did not move since the last tick is left as the game draws it.
  record.poseActive = result == PosePublishResult::Appended && sameIdentity && capture.changed;
  if (result != PosePublishResult::Appended) ++record.reset;
  if (result == PosePublishResult::Discontinuity) ++record.discontinuityReset;
}

void PublishMeshRoot(SkeletalPropRecord& record, const void* skeleton, uint64_t tick, uint64_t generation) {
  PoseCounters& counters = ThePoseCounters();
  ++counters.meshRootPublished;
  RigidMatrix matrix{};
  if (!ReadHostMemory(At(skeleton, kSkeletonNodeMatrix), &matrix, sizeof(matrix))) {
    ResetTransformHistory(record.meshRootHistory);
    ++counters.meshRootReset;
    return;
  }
  switch (PublishTransformHistory(record.meshRootHistory, tick, generation, matrix)) {
    case HistoryPublishResult::Appended:
    case HistoryPublishResult::Unchanged: break;
    case HistoryPublishResult::Invalid:
      ResetTransformHistory(record.meshRootHistory);
      ++counters.meshRootReset;
      break;
    case HistoryPublishResult::Generation:
    case HistoryPublishResult::NonMonotonic:
    case HistoryPublishResult::SameTickUpdate:
    case HistoryPublishResult::Discontinuity: ++counters.meshRootReset; break;
  }
}

void CaptureSkeletalProps(PoseCapture& capture, uint64_t tick, uint64_t generation) {
  for (SkeletalPropRecord& record : TheSkeletalProps().records) {
    if (record.entity == nullptr) continue;
    const bool updated = record.updatedThisTick;
    record.updatedThisTick = false;
    if (!ProbeSkeleton(record.entity, record.probe, record.isAgent ? kAgentLabel : kPropLabel, &capture,
                       record.skeletonOffset)) {
      // An owner the game still updates keeps its place; one it stopped updating is gone.
      if (updated)
        ResetPoseHistory(record.history);
      else
        ResetSkeletalPropRecord(record);
      continue;
    }
    record.lastCaptureTick = tick;
    PublishPropPose(record, capture, tick, generation);
    if (record.isAgent) PublishMeshRoot(record, capture.skeleton, tick, generation);
  }
}

void UpdateBodyChangeStats(const PoseCapture& capture) {
  BodyChangeStats& stats = TheBodyChangeStats();
  if (stats.previousSkeleton == capture.skeleton && stats.previousCount == capture.count) {
    float distance = 0.0f, angle = 0.0f;
    for (uint64_t i = 0; i < capture.count; ++i) {
      const RigidMatrix& before = stats.previous[i];
      const RigidMatrix& now = capture.matrices[i];
      if (BytewiseEqual(before, now)) continue;
      const float dx = now.m[3] - before.m[3], dy = now.m[7] - before.m[7], dz = now.m[11] - before.m[11];
      distance = std::fmax(distance, std::sqrt(dx * dx + dy * dy + dz * dz));
      angle = std::fmax(angle, AngleBetween(before, now));
    }
    stats.largestPosition = std::fmax(stats.largestPosition, distance);
    stats.largestOrientation = std::fmax(stats.largestOrientation, angle);
    if (distance > kFormerPositionLimit) ++stats.ticksOverPosition;
    if (angle > kFormerOrientationLimit) ++stats.ticksOverOrientation;
  }
  stats.previousSkeleton = capture.skeleton;
  stats.previousCount = capture.count;
  std::memcpy(stats.previous, capture.matrices, sizeof(RigidMatrix) * capture.count);
}

void PublishBodyPose(const PoseCapture& capture, uint64_t tick, uint64_t generation) {
  BodyPoseState& body = TheBodyPose();
  if (EntityFlags().diagnostics) UpdateBodyChangeStats(capture);
  if (!SameIdentity(body.storedSkeleton, body.storedBones, body.storedCount, capture)) {
    ResetBodyPoseState();
    uint16_t parents[kPoseMaxBones];
    if (!BuildParentTable(capture, parents)) {
      ++body.reset;
      return;
    }
    body.storedSkeleton = capture.skeleton;
    std::memcpy(body.storedBones, capture.bones, sizeof(void*) * capture.count);
    body.storedCount = capture.count;
    std::memcpy(body.parents, parents, sizeof(uint16_t) * capture.count);
    // BuildParentTable refuses a skeleton with an unreadable parent pointer, so every parent is known.
    body.parentsKnown = true;
    ++body.identitySerial;
  }
  const PosePublishResult result =
      PublishPoseHistory(body.history, tick, generation, capture.matrices, capture.count, true);
  if (result == PosePublishResult::Invalid) {
    ++body.reset;
    ResetBodyPoseState();
    return;
  }
  ++body.published;
  if (result != PosePublishResult::Appended) ++body.reset;
}

void ClearCapture(PoseCapture* capture) {
  capture->skeleton = nullptr;
  capture->count = 0;
  capture->changed = false;
  std::memset(capture->bones, 0, sizeof(capture->bones));
  std::memset(capture->matrices, 0, sizeof(capture->matrices));
}

bool FailProbe(BoneProbeRecord& record, PoseCapture* capture) {
  if (EntityFlags().diagnostics) ++record.invalid;
  ClearCapture(capture);
  return false;
}

}  // namespace

BoneProbeFigures ReadBoneProbeFigures(const PoseCapture& capture) {
  BoneProbeFigures f;
  f.bones = capture.count;
  for (uint64_t i = 0; i < capture.count; ++i) {
    const RigidMatrix& m = capture.matrices[i];
    if (IsAffine(m)) ++f.affine;
    if (ValidateRigid(m, nullptr)) ++f.uniformRigid;
    const void* bone = capture.bones[i];
    const void* parent = nullptr;
    if (ReadHostValueAt(bone, kBoneParent, parent) && parent != nullptr) {
      ++f.parentLinks;
      const int64_t index = IndexOf(capture, parent, capture.count);
      if (index >= 0) ++f.parentsKnown;
      if (index >= 0 && static_cast<uint64_t>(index) < i) ++f.parentsEarlier;
    }
    bool invalid = false;
    if (ListOccupied(bone, kBoneAttachedList, &invalid)) ++f.withAttachedNodes;
    if (invalid) ++f.invalidLists;
    if (ListOccupied(bone, kBoneChildList, &invalid)) ++f.withChildren;
    if (invalid) ++f.invalidLists;
  }
  return f;
}

std::wstring FormatBoneProbeReport(const wchar_t* label, const BoneProbeFigures& f) {
  auto n = [](uint64_t v) { return std::to_wstring(v); };
  return std::wstring(label) + L" bone probe: bones=" + n(f.bones) + L", affine=" + n(f.affine) +
         L", uniform-rigid=" + n(f.uniformRigid) + L", parent-links/known/earlier=" + n(f.parentLinks) + L"/" +
         n(f.parentsKnown) + L"/" + n(f.parentsEarlier) + L", bones-with-attached-nodes/children=" +
         n(f.withAttachedNodes) + L"/" + n(f.withChildren) + L", invalid-lists=" + n(f.invalidLists) + L".";
}

bool ProbeSkeleton(void* entity, BoneProbeRecord& record, const wchar_t* label, PoseCapture* capture,
                   size_t skeletonOffset) {
  const EntityRuntimeFlags& flags = EntityFlags();
  capture->skeleton = nullptr;
  capture->count = 0;
  capture->changed = false;
  if (!ProbeEnabled(flags) || entity == nullptr) {
    ClearCapture(capture);
    return false;
  }
  const void* begin = nullptr;
  uint64_t count = 0;
  void* skeleton = nullptr;
  if (!ReadBoneVector(entity, skeletonOffset, &skeleton, &begin, &count) ||
      !ReadHostMemory(begin, capture->bones, sizeof(void*) * count))
    return FailProbe(record, capture);

  uint64_t hash = Fnv1a(kFnvOffsetBasis, &count, sizeof(count));
  for (uint64_t i = 0; i < count; ++i) {
    const void* bone = capture->bones[i];
    if (bone == nullptr || !ReadHostMemory(At(bone, kBoneMatrix), &capture->matrices[i], sizeof(RigidMatrix)))
      return FailProbe(record, capture);
    hash = Fnv1a(hash, &capture->matrices[i], sizeof(RigidMatrix));
  }
  // Only the tail beyond this skeleton's bones can hold an earlier probe's data.
  std::memset(capture->bones + count, 0, sizeof(void*) * (kPoseMaxBones - count));
  std::memset(capture->matrices + count, 0, sizeof(RigidMatrix) * (kPoseMaxBones - count));
  capture->skeleton = skeleton;
  capture->count = count;

  if (record.skeleton == skeleton && record.boneCount == count) {
    capture->changed = record.seen && record.hash != hash;
  } else {
    record.skeleton = skeleton;
    record.boneCount = count;
    record.hash = 0;
    record.seen = false;
    record.reported = false;
  }
  if (flags.diagnostics) {
    ++record.captures;
    if (capture->changed) ++record.changed;
  }
  record.hash = hash;
  record.seen = true;
  if (!flags.diagnostics || record.reported) return true;

  const std::wstring line = FormatBoneProbeReport(label, ReadBoneProbeFigures(*capture));
  LogWrite(LogLevel::Info, line);
  record.reported = true;
  return true;
}

void RegisterSkeletalOwner(void* entity, bool isAgent) {
  if (!EntityFlags().ragdollPose || entity == nullptr) return;
  const size_t skeletonOffset = isAgent ? kAgentSkeleton : kPropSkeleton;
  if (!SkeletalOwnerRecognised(entity, isAgent)) return;
  uint64_t bodies = 0;
  if (!isAgent && (!CountPropBodies(entity, &bodies) || bodies > kMaxPropBodies)) return;
  void* skeleton = nullptr;
  const void* begin = nullptr;
  uint64_t count = 0;
  if (!ReadBoneVector(entity, skeletonOffset, &skeleton, &begin, &count)) return;
  EntityName name;
  const EntityKind kind = ClassifyEntity(entity, &name);
  if (name.length == 0) return;
  if (!isAgent && (kind == EntityKind::PlayerHands || kind == EntityKind::PlayerBody)) return;

  SkeletalPropRegistry& registry = TheSkeletalProps();
  SkeletalPropRecord* found = nullptr;
  SkeletalPropRecord* free = nullptr;
  for (SkeletalPropRecord& record : registry.records) {
    if (record.entity == entity) {
      found = &record;
      break;
    }
    if (record.entity == nullptr && free == nullptr) free = &record;
  }
  // A renamed object, or one that became the other kind at the same address, is another owner.
  if (found != nullptr && (!SameEntityName(found->name, name) || found->isAgent != isAgent)) {
    ResetSkeletalPropRecord(*found);
    free = found;
    found = nullptr;
  }
  if (found == nullptr) {
    if (free == nullptr) {
      ++registry.overflow;
      return;
    }
    found = free;
    found->entity = entity;
    found->skeletonOffset = skeletonOffset;
    found->isAgent = isAgent;
    found->name = name;
  }
  found->bodies = bodies;
  found->updatedThisTick = true;
}

void PoseTickCapture(uint64_t tick, uint64_t generation) {
  const EntityRuntimeFlags& flags = EntityFlags();
  if (flags.hostBase == 0 || !ProbeEnabled(flags)) return;
  PoseCapture capture;
  if (flags.ragdollPose) CaptureSkeletalProps(capture, tick, generation);

  const RootRegistries& roots = TheRootRegistries();
  if (ProbeSkeleton(roots.body.entity, BodyProbeRecord(), kBodyLabel, &capture, kPropSkeleton)) {
    if (flags.handsPose) PublishBodyPose(capture, tick, generation);
  } else if (flags.handsPose) {
    ResetBodyPoseState();
  }
  // Read-only: the hands' probe feeds the report and nothing else.
  ProbeSkeleton(roots.hands.entity, HandsProbeRecord(), kHandsLabel, &capture, kPropSkeleton);
}
