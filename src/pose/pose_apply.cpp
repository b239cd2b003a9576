// The render side of skeletal poses: a blended pose is written through the host's own bone setter
// and every written bone is put back after the viewport is drawn.
#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include "core/log.h"
#include "core/text.h"
#include "entity/entity_layout.h"
#include "entity/entity_runtime.h"
#include "entity/root_registries.h"
#include "host/host_memory.h"
#include "interp/prefetch.h"
#include "pose/pose_layout.h"
#include "pose/pose_state.h"

namespace {

using pose_layout::kBoneMatrix;
using pose_layout::kBonesBegin;
using pose_layout::kBonesEnd;
using pose_layout::kSkeletonNodeMatrix;

constexpr float kBoneTolerance = 0.0002f;

struct PoseApplyState {
  // The blend of one owner, rebuilt for each apply; too large for every frame's stack.
  RigidMatrix sampled[kPoseMaxBones];
  std::atomic<bool> bodyActiveLogged{false};
  std::atomic<bool> propsActiveLogged{false};
};

PoseApplyState g_apply;

uint8_t* At(void* base, size_t offset) { return static_cast<uint8_t*>(base) + offset; }

using BoneSetter = void (*)(void* bone, const float* matrix, bool flag);

// Looked up once per pass over a skeleton's bones rather than once per bone; null when unresolved.
BoneSetter TheBoneSetter() {
  return reinterpret_cast<BoneSetter>(const_cast<void*>(EntityHost().boneStateSetMatrix));
}

bool CallBoneSetMatrix(BoneSetter setter, void* bone, const RigidMatrix& matrix) {
  if (setter == nullptr) return false;
  setter(bone, matrix.m, false);
  return true;
}

bool BoneReadsBack(void* bone, const RigidMatrix& expected, HostRegionMemo& region) {
  const uint8_t* at = At(bone, kBoneMatrix);
  if (!CheckHostRange(at, sizeof(RigidMatrix), false, region)) return false;
  // A setter that stores what it is given is answered without the element-wise test.
  if (std::memcmp(at, &expected, sizeof(RigidMatrix)) == 0) return true;
  RigidMatrix read;
  std::memcpy(&read, at, sizeof(read));
  return NearlyEqual(read, expected, kBoneTolerance);
}

// The host's recompute call needs the skeleton object itself to be there.
bool SkeletonReadable(void* skeleton) {
  return skeleton != nullptr && CheckHostRange(skeleton, kBonesEnd + sizeof(void*), false);
}

// The skeleton's bone vector holds exactly the stored bone pointers, in order.
bool BoneVectorMatches(void* skeleton, void* const* stored, uint64_t count) {
  uintptr_t begin = 0, end = 0;
  if (!ReadHostValueAt(skeleton, kBonesBegin, begin) || !ReadHostValueAt(skeleton, kBonesEnd, end)) return false;
  if (begin == 0 || end < begin || end - begin != count * sizeof(void*)) return false;
  const void* bones = reinterpret_cast<const void*>(begin);
  return CheckHostRange(bones, end - begin, false) && std::memcmp(bones, stored, end - begin) == 0;
}

bool SkeletonAtMatches(void* entity, size_t offset, void* storedSkeleton, void* const* storedBones, uint64_t count) {
  void* skeleton = nullptr;
  return ReadHostValueAt(entity, offset, skeleton) && skeleton == storedSkeleton &&
         BoneVectorMatches(skeleton, storedBones, count);
}

// How far ahead the bone passes ask for matrices: far enough that a load from main memory is in
// by the time the pass reaches it.
constexpr uint64_t kPrefetchAhead = 16;

// The host's bones lie scattered over its heap and are cold when the frame starts: ask for their
// matrices ahead of use, so that the loads overlap. A prefetch never faults.
void PrefetchBone(void* bone) {
  if (bone == nullptr) return;
  const char* matrix = static_cast<const char*>(bone) + kBoneMatrix;
  PrefetchLine(matrix);
  PrefetchLine(matrix + sizeof(RigidMatrix) - 1);
}

void PrefetchBoneAhead(void* const* bones, uint64_t i, uint64_t count) {
  if (i + kPrefetchAhead < count) PrefetchBone(bones[i + kPrefetchAhead]);
}

// The first bones of a pass, asked for before the blend so that they arrive while it runs.
void PrefetchFirstBones(void* const* bones, uint64_t count) {
  for (uint64_t i = 0; i < count && i < kPrefetchAhead; ++i) PrefetchBone(bones[i]);
}

enum class SaveOutcome { Failed, Unchanged, Differs };

// Saves what every bone holds now and notes whether the blend would change any of it. A bone that
// still holds the newest captured pose needs no rigidity test: the capture refused any other.
SaveOutcome SaveBones(PoseRestoreBuffer& buffer, void* const* bones, uint64_t count, const RigidMatrix* sampled,
                      const RigidMatrix* captured) {
  buffer.applied = false;
  buffer.count = count;
  bool differs = false;
  HostRegionMemo region;
  for (uint64_t i = 0; i < count; ++i) {
    void* bone = bones[i];
    PrefetchBoneAhead(bones, i, count);
    buffer.bones[i] = nullptr;
    if (bone == nullptr || !CheckHostRange(At(bone, kBoneMatrix), sizeof(RigidMatrix), true, region)) {
      buffer.count = i;
      return SaveOutcome::Failed;
    }
    std::memcpy(&buffer.saved[i], At(bone, kBoneMatrix), sizeof(RigidMatrix));
    const bool known = captured != nullptr && std::memcmp(&buffer.saved[i], &captured[i], sizeof(RigidMatrix)) == 0;
    if (!known && !ValidateRigid(buffer.saved[i], nullptr)) {
      buffer.count = i;
      return SaveOutcome::Failed;
    }
    buffer.bones[i] = bone;
    differs = differs || std::memcmp(&buffer.saved[i], &sampled[i], sizeof(RigidMatrix)) != 0;
  }
  return differs ? SaveOutcome::Differs : SaveOutcome::Unchanged;
}

// Writes the blend bone by bone. On a bone that does not take it, the restore buffer is cut after
// that bone, so that only what was touched is put back.
bool WriteBones(PoseRestoreBuffer& buffer, const RigidMatrix* sampled) {
  buffer.applied = true;
  HostRegionMemo region;
  const BoneSetter setter = TheBoneSetter();
  for (uint64_t i = 0; i < buffer.count; ++i) {
    void* bone = buffer.bones[i];
    if (!CallBoneSetMatrix(setter, bone, sampled[i]) || !BoneReadsBack(bone, sampled[i], region)) {
      buffer.count = i + 1;
      return false;
    }
  }
  return true;
}

// Every saved bone is attempted even after a failure: the more of the host's pose is back, the better.
bool PutBackBones(const PoseRestoreBuffer& buffer) {
  bool ok = true;
  HostRegionMemo region;
  const BoneSetter setter = TheBoneSetter();
  PrefetchFirstBones(buffer.bones, buffer.count);
  for (uint64_t i = 0; i < buffer.count; ++i) {
    void* bone = buffer.bones[i];
    PrefetchBoneAhead(buffer.bones, i, buffer.count);
    if (bone == nullptr) continue;
    if (!CheckHostRange(At(bone, kBoneMatrix), sizeof(RigidMatrix), true, region) ||
        !CallBoneSetMatrix(setter, bone, buffer.saved[i]))
      ok = false;
  }
  for (uint64_t i = 0; i < buffer.count; ++i) {
    void* bone = buffer.bones[i];
    if (bone != nullptr && !BoneReadsBack(bone, buffer.saved[i], region)) ok = false;
  }
  return ok;
}

bool PropIdentityHolds(const SkeletalPropRecord& record) {
  if (record.entity == nullptr || record.storedSkeleton == nullptr || record.storedCount == 0) return false;
  if (!SkeletalOwnerRecognised(record.entity, record.isAgent)) return false;
  EntityName name;
  if (!ReadEntityName(At(record.entity, entity_layout::kName), &name) || !SameEntityName(name, record.name)) return false;
  uint64_t bodies = 0;
  if (!record.isAgent && (!CountPropBodies(record.entity, &bodies) || bodies > pose_layout::kMaxPropBodies)) return false;
  return SkeletonAtMatches(record.entity, record.skeletonOffset, record.storedSkeleton, record.storedBones,
                           record.storedCount);
}

bool BodyIdentityHolds(const BodyPoseState& body) {
  void* entity = TheRootRegistries().body.entity;
  if (entity == nullptr || body.storedSkeleton == nullptr || body.storedCount == 0) return false;
  EntityName ignored;
  if (ClassifyEntity(entity, &ignored) != EntityKind::PlayerBody) return false;
  return SkeletonAtMatches(entity, pose_layout::kPropSkeleton, body.storedSkeleton, body.storedBones, body.storedCount);
}

// The newest pose the capture took for the sample's pair, or null.
const RigidMatrix* CapturedPose(const PoseHistory& history, const ClockSample& sample) {
  const PoseHistoryEntry* older = nullptr;
  const PoseHistoryEntry* newer = nullptr;
  return FindPosePair(history, sample, &older, &newer) ? newer->bones : nullptr;
}

bool PropRenderFail(SkeletalPropRecord& record) {
  ++record.renderFail;
  ResetSkeletalPropRecord(record);
  return false;
}

bool BodyRenderFail(BodyPoseState& body) {
  ++body.renderFail;
  ResetBodyPoseState();
  return false;
}

// An agent's whole mesh follows its root node; without two usable ticks it stays where the host put it.
void ApplyAgentMeshRoot(SkeletalPropRecord& record, const ClockSample& sample) {
  const TransformSample root = SampleTransformHistory(record.meshRootHistory, sample);
  uint8_t* node = At(record.storedSkeleton, kSkeletonNodeMatrix);
  if (root.result != TransformSampleResult::Interpolated || !CheckHostRange(node, sizeof(RigidMatrix), true)) return;
  std::memcpy(&record.savedMeshRoot, node, sizeof(RigidMatrix));
  std::memcpy(node, &root.matrix, sizeof(RigidMatrix));
  record.meshRootApplied = true;
  ++ThePoseCounters().meshRootApplied;
}

void AnnounceProp(SkeletalPropRecord& record) {
  if (record.announced) return;
  record.announced = true;
  LogWrite(LogLevel::Info, L"Skeletal prop pose interpolation active: " +
                               WidenAscii(std::string_view(record.name.text, record.name.length)) + L" (bodies=" +
                               FormatUnsigned(record.bodies) + L", bones=" + FormatUnsigned(record.storedCount) + L").");
}

void LogActiveOnce(std::atomic<bool>& latch, const wchar_t* line) {
  if (LatchOnce(latch)) LogWrite(LogLevel::Info, line);
}

}  // namespace

bool ApplySkeletalPropPose(SkeletalPropRecord& record, const ClockSample& sample) {
  if (!record.poseActive) {
    ++record.unchangedSkip;
    return false;
  }
  PrefetchFirstBones(record.storedBones, record.storedCount);
  uint64_t count = 0;
  if (SamplePoseHistory(record.history, sample, g_apply.sampled, &count) != TransformSampleResult::Interpolated)
    return false;
  if (!PropIdentityHolds(record) || count != record.storedCount) return PropRenderFail(record);

  PoseRestoreBuffer& buffer = record.restore;
  const SaveOutcome saved =
      SaveBones(buffer, record.storedBones, count, g_apply.sampled, CapturedPose(record.history, sample));
  if (saved == SaveOutcome::Failed) return PropRenderFail(record);
  if (saved == SaveOutcome::Unchanged) {
    ++record.unchangedSkip;
    return false;
  }
  if (!WriteBones(buffer, g_apply.sampled)) {
    RestoreSkeletalPropPose(record);
    return PropRenderFail(record);
  }
  if (record.isAgent) ApplyAgentMeshRoot(record, sample);
  CallNodeMatrixChanged(record.storedSkeleton, true);
  ++record.renderApplied;
  ThePoseCounters().skeletalBonesWritten += count;
  AnnounceProp(record);
  return true;
}

bool ApplyBodyPose(const ClockSample& sample) {
  if (!EntityFlags().handsPose) return false;
  BodyPoseState& body = TheBodyPose();
  PrefetchFirstBones(body.storedBones, body.storedCount);
  uint64_t count = 0;
  if (SamplePoseHistory(body.history, sample, g_apply.sampled, &count) != TransformSampleResult::Interpolated)
    return false;
  if (!BodyIdentityHolds(body) || count != body.storedCount) return BodyRenderFail(body);

  const SaveOutcome saved =
      SaveBones(body.restore, body.storedBones, count, g_apply.sampled, CapturedPose(body.history, sample));
  if (saved == SaveOutcome::Failed) return BodyRenderFail(body);
  if (saved == SaveOutcome::Unchanged) return false;
  if (!WriteBones(body.restore, g_apply.sampled)) {
    RestoreBodyPose();
    return BodyRenderFail(body);
  }
  CallNodeMatrixChanged(body.storedSkeleton, true);
  ++body.renderApplied;
  return true;
}

bool RestoreSkeletalPropPose(SkeletalPropRecord& record) {
  PoseRestoreBuffer& buffer = record.restore;
  if (!buffer.applied) return true;
  bool ok = PutBackBones(buffer);
  if (record.meshRootApplied) {
    record.meshRootApplied = false;
    if (record.storedSkeleton == nullptr ||
        !WriteHostMemory(At(record.storedSkeleton, kSkeletonNodeMatrix), &record.savedMeshRoot, sizeof(RigidMatrix)))
      ok = false;
  }
  buffer.applied = false;
  if (!SkeletonReadable(record.storedSkeleton)) return false;
  CallNodeMatrixChanged(record.storedSkeleton, true);
  return ok;
}

bool RestoreBodyPose() {
  BodyPoseState& body = TheBodyPose();
  PoseRestoreBuffer& buffer = body.restore;
  if (!buffer.applied) return true;
  bool ok = PutBackBones(buffer);
  buffer.applied = false;
  if (!SkeletonReadable(body.storedSkeleton)) return false;
  CallNodeMatrixChanged(body.storedSkeleton, true);
  return ok;
}

bool AnyPoseOwnerLive() {
  const EntityRuntimeFlags& flags = EntityFlags();
  if (flags.handsPose && TheBodyPose().storedCount > 0) return true;
  if (!flags.ragdollPose) return false;
  for (const SkeletalPropRecord& record : TheSkeletalProps().records)
    if (record.entity != nullptr) return true;
  return false;
}

bool PoseRenderApply(const ClockSample& sample) {
  const EntityRuntimeFlags& flags = EntityFlags();
  bool any = false;
  if (flags.handsPose && ApplyBodyPose(sample)) {
    LogActiveOnce(g_apply.bodyActiveLogged,
                  L"PlayerBody skeletal-pose interpolation active on the camera presentation clock.");
    any = true;
  }
  if (flags.ragdollPose) {
    bool props = false;
    for (SkeletalPropRecord& record : TheSkeletalProps().records)
      if (record.entity != nullptr) props = ApplySkeletalPropPose(record, sample) || props;
    if (props)
      LogActiveOnce(g_apply.propsActiveLogged,
                    L"Generic skeletal prop pose interpolation active on the camera presentation clock.");
    any = any || props;
  }
  return any;
}

void PoseRenderRestore() {
  SkeletalPropRegistry& props = TheSkeletalProps();
  for (size_t i = kSkeletalPropCapacity; i-- > 0;) {
    SkeletalPropRecord& record = props.records[i];
    if (!record.restore.applied) continue;
    if (!RestoreSkeletalPropPose(record)) {
      ++record.restoreFail;
      ResetSkeletalPropRecord(record);
    }
  }
  BodyPoseState& body = TheBodyPose();
  if (body.restore.applied && !RestoreBodyPose()) {
    ++body.restoreFail;
    ResetBodyPoseState();
  }
}
