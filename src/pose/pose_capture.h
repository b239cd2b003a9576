#pragma once
// What the one-time bone probe report says about a skeleton, apart from the capture itself.
#include <cstdint>
#include <string>

#include "pose/pose_state.h"

struct BoneProbeFigures {
  uint64_t bones = 0, affine = 0, uniformRigid = 0;
  uint64_t parentLinks = 0, parentsKnown = 0, parentsEarlier = 0;
  uint64_t withAttachedNodes = 0, withChildren = 0, invalidLists = 0;
};

// affine and uniformRigid come from the capture's matrices; the rest is read from the bones.
BoneProbeFigures ReadBoneProbeFigures(const PoseCapture& capture);
std::wstring FormatBoneProbeReport(const wchar_t* label, const BoneProbeFigures& figures);
