#pragma once
// Where the host keeps an entity's name, its attached body nodes and their matrices.
#include <cstddef>

namespace entity_layout {

inline constexpr size_t kName = 256;             // host string
inline constexpr size_t kNodesBegin = 2280;      // vector of body-node pointers, 8-byte entries
inline constexpr size_t kNodesEnd = 2288;
inline constexpr size_t kFallbackNode = 2480;    // used when the vector is empty
inline constexpr size_t kReferenceNode = 2488;   // null: the first node of the vector
inline constexpr size_t kNodeMatrix = 72;        // a node's 4x4 float matrix

inline constexpr size_t kVtableBytes = 360;
inline constexpr size_t kVtableGetMatrix = 20;   // slots
inline constexpr size_t kVtableSetMatrix = 44;

}  // namespace entity_layout
