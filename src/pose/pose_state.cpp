#include "pose/pose_state.h"

#include "entity/entity_layout.h"
#include "entity/entity_runtime.h"
#include "host/host_memory.h"
#include "pose/pose_layout.h"

namespace {

struct PoseState {
  SkeletalPropRegistry props;
  BodyPoseState body;
  BodyChangeStats bodyStats;
  BoneProbeRecord bodyProbe;
  BoneProbeRecord handsProbe;
  PoseCounters counters;
};

PoseState g_pose;

}  // namespace

SkeletalPropRegistry& TheSkeletalProps() { return g_pose.props; }
BodyPoseState& TheBodyPose() { return g_pose.body; }
BodyChangeStats& TheBodyChangeStats() { return g_pose.bodyStats; }
BoneProbeRecord& BodyProbeRecord() { return g_pose.bodyProbe; }
BoneProbeRecord& HandsProbeRecord() { return g_pose.handsProbe; }
PoseCounters& ThePoseCounters() { return g_pose.counters; }

bool SkeletalOwnerRecognised(const void* entity, bool isAgent) {
  if (!isAgent) return EntityVtableRecognised(entity);
  const EntityHostFunctions& host = EntityHost();
  const void* vtable = nullptr;
  if (host.agentMeshGetter == nullptr || host.agentOnUpdate == nullptr || !ReadHostValueAt(entity, 0, vtable) ||
      !CheckHostRange(vtable, pose_layout::kAgentVtableBytes, false))
    return false;
  const void* const* slots = static_cast<const void* const*>(vtable);
  return slots[pose_layout::kAgentVtableMesh] == host.agentMeshGetter &&
         slots[pose_layout::kAgentVtableUpdate] == host.agentOnUpdate;
}

bool CountPropBodies(const void* entity, uint64_t* bodies) {
  uintptr_t begin = 0, end = 0;
  if (!ReadHostValueAt(entity, entity_layout::kNodesBegin, begin) || !ReadHostValueAt(entity, entity_layout::kNodesEnd, end))
    return false;
  if (begin == end) {
    *bodies = 0;
    return true;
  }
  if (begin == 0 || end < begin || (end - begin) % 8 != 0) return false;
  if (!CheckHostRange(reinterpret_cast<const void*>(begin), end - begin, false)) return false;
  *bodies = (end - begin) / 8;
  return true;
}

void ResetBodyPoseState() {
  BodyPoseState& body = g_pose.body;
  body.storedSkeleton = nullptr;
  body.storedCount = 0;
  body.parentsKnown = false;
  ResetPoseHistory(body.history);
}

void ResetSkeletalPropRecord(SkeletalPropRecord& record) {
  // The counters outlive the registration: the report sums them over the table.
  const uint64_t published = record.published, reset = record.reset, discontinuity = record.discontinuityReset;
  const uint64_t applied = record.renderApplied, fail = record.renderFail, restoreFail = record.restoreFail,
                 skipped = record.unchangedSkip;
  BoneProbeRecord probe;
  probe.captures = record.probe.captures;
  probe.changed = record.probe.changed;
  probe.invalid = record.probe.invalid;
  record = SkeletalPropRecord{};
  record.probe = probe;
  record.published = published;
  record.reset = reset;
  record.discontinuityReset = discontinuity;
  record.renderApplied = applied;
  record.renderFail = fail;
  record.restoreFail = restoreFail;
  record.unchangedSkip = skipped;
}

void ResetPoseHistories() {
  ResetPoseHistory(g_pose.body.history);
  for (SkeletalPropRecord& record : g_pose.props.records) {
    ResetPoseHistory(record.history);
    ResetTransformHistory(record.meshRootHistory);
    record.updatedThisTick = false;
    record.lastCaptureTick = 0;
  }
}

void ClearPoseTables() {
  for (SkeletalPropRecord& record : g_pose.props.records) record = SkeletalPropRecord{};
  g_pose.props.overflow = 0;
  g_pose.body = BodyPoseState{};
  g_pose.bodyStats = BodyChangeStats{};
  g_pose.bodyProbe = BoneProbeRecord{};
  g_pose.handsProbe = BoneProbeRecord{};
  g_pose.counters = PoseCounters{};
}
