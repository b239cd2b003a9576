#pragma once
// Skeletal pose interpolation: the PlayerBody, skeletal props and agents. Capture reads the
// bone-local matrices at every tick into two-tick histories; the render apply writes a blended pose
// through the host's bone setter and the restore puts every bone back after the viewport is drawn.
// All storage is fixed and process-wide; everything runs on the game thread.
#include <cstddef>
#include <cstdint>

#include "entity/entity_names.h"
#include "frame/presentation_clock.h"
#include "interp/pose_history.h"
#include "interp/transform.h"
#include "interp/transform_history.h"

inline constexpr size_t kSkeletalPropCapacity = 32;
inline constexpr uint16_t kNoParent = 65535;

// One tick's read of a skeleton (about 18 KiB: built on the capture's stack).
struct PoseCapture {
  void* skeleton = nullptr;
  void* bones[kPoseMaxBones] = {};
  RigidMatrix matrices[kPoseMaxBones] = {};   // zero beyond count
  uint64_t count = 0;                         // 1..256 after a successful probe
  bool changed = false;
};

struct BoneProbeRecord {
  void* skeleton = nullptr;   // identity of the last capture: skeleton pointer and bone count
  uint64_t boneCount = 0;
  uint64_t hash = 0;
  bool seen = false;
  bool reported = false;
  uint64_t captures = 0, changed = 0, invalid = 0;   // diagnostics only
};

struct PoseRestoreBuffer {
  void* bones[kPoseMaxBones] = {};
  RigidMatrix saved[kPoseMaxBones] = {};
  uint64_t count = 0;
  bool applied = false;
};

struct SkeletalPropRecord {
  void* entity = nullptr;                 // null: free entry
  EntityName name{};
  uint64_t lastCaptureTick = 0;
  uint64_t bodies = 0;
  size_t skeletonOffset = 0;              // 2480 prop, 2368 agent
  bool isAgent = false;
  TransformHistory meshRootHistory{};
  RigidMatrix savedMeshRoot{};
  bool meshRootApplied = false;
  bool updatedThisTick = false;
  bool poseActive = false;
  bool announced = false;
  BoneProbeRecord probe{};
  void* storedSkeleton = nullptr;
  void* storedBones[kPoseMaxBones] = {};
  uint64_t storedCount = 0;
  PoseHistory history{};
  PoseRestoreBuffer restore{};
  // capture
  uint64_t published = 0, reset = 0, discontinuityReset = 0;
  // render
  uint64_t renderApplied = 0, renderFail = 0, restoreFail = 0, unchangedSkip = 0;
};

struct SkeletalPropRegistry {
  SkeletalPropRecord records[kSkeletalPropCapacity];
  uint64_t overflow = 0;
};

struct BodyPoseState {
  void* storedSkeleton = nullptr;
  void* storedBones[kPoseMaxBones] = {};
  uint64_t storedCount = 0;
  uint16_t parents[kPoseMaxBones] = {};   // index among earlier bones, kNoParent otherwise
  bool parentsKnown = false;
  // Moves on every newly stored identity, so that state derived from the skeleton (the camera's
  // chosen bone) knows to start over.
  uint64_t identitySerial = 0;
  PoseHistory history{};
  PoseRestoreBuffer restore{};
  uint64_t published = 0, reset = 0;
  uint64_t renderApplied = 0, renderFail = 0, restoreFail = 0;
};

// PlayerBody bone-local change statistics, diagnostics only.
struct BodyChangeStats {
  void* previousSkeleton = nullptr;
  uint64_t previousCount = 0;
  RigidMatrix previous[kPoseMaxBones] = {};
  float largestPosition = 0.0f;
  float largestOrientation = 0.0f;   // radians
  uint64_t ticksOverPosition = 0, ticksOverOrientation = 0;
};

// Figures of the whole subsystem, besides the per-record ones.
struct PoseCounters {
  uint64_t skeletalBonesWritten = 0;
  uint64_t meshRootPublished = 0, meshRootReset = 0, meshRootApplied = 0;
};

SkeletalPropRegistry& TheSkeletalProps();
BodyPoseState& TheBodyPose();
BodyChangeStats& TheBodyChangeStats();
BoneProbeRecord& BodyProbeRecord();
BoneProbeRecord& HandsProbeRecord();
PoseCounters& ThePoseCounters();

// --- shared by capture and apply (pose_state.cpp) ---
// By its virtual table: a prop's holds the entity getter and virtual setter, an agent's the mesh
// getter and its update function.
bool SkeletalOwnerRecognised(const void* entity, bool isAgent);
// A prop's attached body nodes (+2280/+2288): equal ends give 0; false when unreadable or malformed.
bool CountPropBodies(const void* entity, uint64_t* bodies);

// --- capture (pose_capture.cpp) ---
// label: "Body", "Hands", "Agent" or "Skeletal prop".
bool ProbeSkeleton(void* entity, BoneProbeRecord& record, const wchar_t* label, PoseCapture* capture,
                   size_t skeletonOffset);
// From the prop and agent update detours, after the host's update has returned.
void RegisterSkeletalOwner(void* entity, bool isAgent);
// Once per completed tick, from the entity tick capture: props and agents, PlayerBody, PlayerHands.
void PoseTickCapture(uint64_t tick, uint64_t generation);
void ResetBodyPoseState();
void ResetSkeletalPropRecord(SkeletalPropRecord& record);   // drops the registration, keeps counters
// Clock reset: every pose and mesh-root history restarts; registrations and identities stay.
void ResetPoseHistories();
// Uninstallation: every table and counter emptied without touching the host.
void ClearPoseTables();

// --- render (pose_apply.cpp) ---
bool ApplyBodyPose(const ClockSample& sample);
bool ApplySkeletalPropPose(SkeletalPropRecord& record, const ClockSample& sample);
bool RestoreSkeletalPropPose(SkeletalPropRecord& record);
bool RestoreBodyPose();
// Whether a render apply has any pose to look at: a stored PlayerBody skeleton or a registered prop.
bool AnyPoseOwnerLive();
// Called by the entity render apply after every root, and by its restore before any root.
bool PoseRenderApply(const ClockSample& sample);
void PoseRenderRestore();
