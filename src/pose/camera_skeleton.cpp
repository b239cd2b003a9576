// The render detour's camera ride: decides once per tick pair which body bone carries the scripted
// camera, then rebuilds the camera every frame from the interpolated root and bone. Game thread only.
#include "pose/camera_skeleton.h"

#include "core/text.h"
#include "entity/entity_runtime.h"
#include "entity/root_interpolation.h"
#include "entity/root_registries.h"
#include "interp/history_ring.h"
#include "pose/pose_state.h"

namespace {

struct CameraSkeletonState {
  // The search is keyed by the tick pair, its clock generation and the skeleton identity it ran on.
  bool hasPair = false;
  uint64_t currentTick = 0;
  uint64_t previousTick = 0;
  uint64_t generation = 0;
  uint64_t identitySerial = 0;
  AttachmentResult cached;
  AttachmentCounters counters;
  RigidMatrix pose[kPoseMaxBones];   // the frame's interpolated body pose
};

CameraSkeletonState g_ride;

const int16_t* SignedParents(const BodyPoseState& body) {
  // No-parent is 65535, which reads as -1: the same bits, the signed view the bone walk expects.
  static_assert(static_cast<int16_t>(kNoParent) < 0, "no-parent must read as negative");
  return reinterpret_cast<const int16_t*>(body.parents);
}

// Runs the search when the sample names a pair not searched yet; false when no bone carries the camera.
bool CurrentAttachment(const ClockSample& sample, const BodyPoseState& body, const PoseHistoryEntry& older,
                       const PoseHistoryEntry& newer, const RigidMatrix& olderRoot, const RigidMatrix& newerRoot,
                       const CameraTransform& olderCamera, const CameraTransform& newerCamera) {
  CameraSkeletonState& s = g_ride;
  // A new skeleton has new bone numbers: the old choice means nothing there, not even as a preference.
  if (s.identitySerial != body.identitySerial) {
    s.identitySerial = body.identitySerial;
    s.cached = AttachmentResult{};
    s.hasPair = false;
  }
  // The generation is part of the key: a restarted tick count may name an old pair with new data.
  if (s.hasPair && s.currentTick == sample.currentTick && s.previousTick == sample.previousTick &&
      s.generation == sample.generation)
    return s.cached.found;

  s.hasPair = true;
  s.currentTick = sample.currentTick;
  s.previousTick = sample.previousTick;
  s.generation = sample.generation;
  const AttachmentResult previous = s.cached;
  const AttachmentResult result = SearchAttachment(older.bones, newer.bones, SignedParents(body), newer.boneCount,
                                                   olderRoot, newerRoot, olderCamera, newerCamera, previous);
  ++s.counters.searches;
  if (result.found != previous.found) {
    ++s.counters.switches;
  } else if (result.found && result.bone != previous.bone) {
    ++s.counters.boneChanges;
  }
  s.cached = result;
  if (!result.found) return false;
  ++s.counters.found;
  if (result.offsetError > s.counters.worstOffsetError) s.counters.worstOffsetError = result.offsetError;
  return true;
}

}  // namespace

bool AttachCameraToSkeleton(const ClockSample& sample, const CameraTransform& older, const CameraTransform& newer,
                            CameraTransform* interpolated) {
  CameraSkeletonState& s = g_ride;
  const BodyPoseState& body = TheBodyPose();
  RootSlot& bodyRoot = TheRootRegistries().body;
  if (!EntityFlags().handsPose || body.storedSkeleton == nullptr || !body.parentsKnown || bodyRoot.entity == nullptr ||
      body.storedCount == 0 || body.storedCount > kPoseMaxBones)
    return false;

  const PoseHistoryEntry* olderPose = nullptr;
  const PoseHistoryEntry* newerPose = nullptr;
  if (!FindPosePair(body.history, sample, &olderPose, &newerPose) || newerPose->boneCount != body.storedCount)
    return false;

  RigidMatrix olderRoot;
  RigidMatrix newerRoot;
  const bool rootPair = FindTransformPair(bodyRoot.history, sample, &olderRoot, &newerRoot);
  if (!rootPair) {
    // The attach runs before the entity apply: the getter still reports the authoritative root.
    if (!ReadEntityRoot(bodyRoot.entity, &newerRoot)) return false;
    olderRoot = newerRoot;
  }

  ++s.counters.matrixCameraFrames;
  if (!CurrentAttachment(sample, body, *olderPose, *newerPose, olderRoot, newerRoot, older, newer)) return false;

  RigidMatrix root = newerRoot;
  if (rootPair) {
    const TransformSample sampled = SampleTransformHistory(bodyRoot.history, sample);
    if (sampled.result == TransformSampleResult::Interpolated) {
      root = sampled.matrix;
    } else if (sampled.result != TransformSampleResult::Unchanged) {
      return false;
    }
  }

  // The whole pose through the pose sampler, so that the bone under the camera is blended exactly as
  // the pose apply draws it.
  const RigidMatrix* pose = newerPose->bones;
  uint64_t sampledCount = 0;
  const TransformSampleResult poseResult = SamplePoseHistory(body.history, sample, s.pose, &sampledCount);
  if (poseResult == TransformSampleResult::Interpolated) {
    pose = s.pose;
  } else if (poseResult != TransformSampleResult::Unchanged) {
    return false;
  }

  RigidMatrix bone;
  if (!GlobalBone(pose, SignedParents(body), newerPose->boneCount, s.cached.bone, &bone)) return false;
  if (!ApplyAttachment(s.cached, MultiplyAffine(root, bone), SampleBlendFactor(sample), interpolated)) return false;
  ++s.counters.framesApplied;
  return true;
}

void JoinCameraSkeleton(bool join) {
  RenderHooks hooks;
  hooks.attachCameraToSkeleton = join ? &AttachCameraToSkeleton : nullptr;
  SetRenderHooks(RenderHookOwner::Skeleton, hooks);
  if (!join) {
    // Leaving is uninstallation: a later join starts without a preference or old figures.
    g_ride.hasPair = false;
    g_ride.cached = AttachmentResult{};
    g_ride.counters = AttachmentCounters{};
  }
}

const AttachmentCounters& CameraSkeletonCounters() { return g_ride.counters; }
const AttachmentResult& CameraSkeletonCachedResult() { return g_ride.cached; }
void ZeroCameraSkeletonCounters() { g_ride.counters = AttachmentCounters{}; }

std::wstring TakeCameraSkeletonReportLine() {
  const AttachmentCounters c = g_ride.counters;
  g_ride.counters = AttachmentCounters{};
  if (c.matrixCameraFrames == 0) return std::wstring();
  const AttachmentResult& chosen = g_ride.cached;
  return L"Camera-to-skeleton attachment: matrix-camera frames/tick-pair searches/found/frames applied=" +
         FormatUnsigned(c.matrixCameraFrames) + L"/" + FormatUnsigned(c.searches) + L"/" + FormatUnsigned(c.found) +
         L"/" + FormatUnsigned(c.framesApplied) + L", last bone=" +
         (chosen.found ? FormatUnsigned(chosen.bone) : std::wstring(L"none")) + L", found/lost switches=" +
         FormatUnsigned(c.switches) + L", bone changes=" + FormatUnsigned(c.boneChanges) + L", stored-as-transpose=" +
         (chosen.transposed ? L"yes" : L"no") + L", worst accepted offset error=" +
         FormatBounded(64, L"%f", static_cast<double>(c.worstOffsetError)) + L".";
}
