#pragma once
// Where the host keeps a skeleton: the owner's pointer to it, its bones and their matrices.
#include <cstddef>

namespace pose_layout {

inline constexpr size_t kPropSkeleton = 2480;    // prop, PlayerBody, PlayerHands: skeleton pointer
inline constexpr size_t kAgentSkeleton = 2368;   // agent: skeleton pointer
inline constexpr size_t kSkeletonNodeMatrix = 72; // the skeleton's own node matrix (an agent's mesh root)
inline constexpr size_t kBonesBegin = 608;       // vector of bone pointers, 8-byte entries
inline constexpr size_t kBonesEnd = 616;
inline constexpr size_t kBoneMatrix = 60;        // bone-local 4x4 float matrix
inline constexpr size_t kBoneParent = 376;       // null for a root bone
inline constexpr size_t kBoneAttachedList = 392; // list heads: point at the list's sentinel
inline constexpr size_t kBoneChildList = 408;

// An agent's virtual table: 296 readable bytes, the mesh getter and the update function in it.
inline constexpr size_t kAgentVtableBytes = 296;
inline constexpr size_t kAgentVtableMesh = 248 / 8;   // slots
inline constexpr size_t kAgentVtableUpdate = 288 / 8;

inline constexpr size_t kMaxPropBodies = 32;

}  // namespace pose_layout
