// Host object layouts of the stand-in game. The plug-in relies on the offsets
// marked "fixed"; the rest are this game's own choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv {

namespace EngineLayout {
inline constexpr size_t kScheduler = 0x48;  // fixed: scheduler object pointer
inline constexpr size_t kUpdater = 0x50;
inline constexpr size_t kScene = 0x58;
inline constexpr size_t kWindow = 0x60;
inline constexpr size_t kLimitFps = 0x88;   // fixed: cEngine::mbLimitFPS
inline constexpr size_t kSize = 0x100;
}  // namespace EngineLayout

namespace SchedulerLayout {
inline constexpr size_t kDueMs = 0x00;  // fixed: u64 ms of the next fixed step
inline constexpr size_t kUnitMs = 0x08; // fixed: f64, 1000 ms
inline constexpr size_t kRate = 0x30;   // fixed: f64 steps per unit
inline constexpr size_t kSize = 0x40;
}  // namespace SchedulerLayout

namespace ViewportLayout {
inline constexpr size_t kCamera = 0x18;     // fixed
inline constexpr size_t kCompanion = 0x20;  // fixed: render target, never null
inline constexpr size_t kListener = 0x2B;   // fixed: listener flag byte
inline constexpr size_t kRenderList = 0x80; // read by RenderViewport's prologue
inline constexpr size_t kSize = 0x100;
}  // namespace ViewportLayout

namespace CameraLayout {
inline constexpr size_t kPosition = 0x10;  // fixed: 3 f32
inline constexpr size_t kPitch = 0x48;     // fixed
inline constexpr size_t kYaw = 0x4C;       // fixed
inline constexpr size_t kRoll = 0x50;      // fixed
inline constexpr size_t kMode = 0x70;      // fixed: 0 euler, 1 matrix
inline constexpr size_t kMatrix = 0x1F8;   // fixed: 16 f32, row order
inline constexpr size_t kDirtyFirst = 0x6F1;
inline constexpr size_t kDirtyLast = 0x6F5;
inline constexpr size_t kSize = 0x700;
}  // namespace CameraLayout

// Entities, props and agents share one object shape in this game.
namespace EntityLayout {
inline constexpr size_t kVtable = 0x00;
inline constexpr size_t kMatrix = 0x48;        // the entity's own copy, unused by the renderer
inline constexpr size_t kNodeChanges = 0xE0;   // counted by cNode3D matrix changed
inline constexpr size_t kNodeFlag = 0xE8;
inline constexpr size_t kName = 0x100;         // fixed (+256): host string
inline constexpr size_t kUpdates = 0x140;      // OnUpdate calls
inline constexpr size_t kMotionCalls = 0x340;  // particle motion updates
inline constexpr size_t kGraphicsCalls = 0x348;
inline constexpr size_t kSetMatrixFlag = 0x3CB;
inline constexpr size_t kLookTime = 0x3EC;
inline constexpr size_t kAgentTime = 0x3F0;
inline constexpr size_t kVars = 0x400;         // 8 x {host string, value byte}
inline constexpr size_t kVarStride = 0x28;
inline constexpr size_t kVarCount = 8;
inline constexpr size_t kNodesBegin = 0x8E8;   // fixed (+2280): body-node pointer vector
inline constexpr size_t kNodesEnd = 0x8F0;     // fixed (+2288)
inline constexpr size_t kMesh = 0x940;          // fixed (+2368): an agent's skeleton (its mesh)
inline constexpr size_t kFallbackNode = 0x9B0;   // fixed (+2480): the node when the vector is empty;
                                                 // a prop's or the player's skeleton object
inline constexpr size_t kReferenceNode = 0x9B8;  // fixed (+2488): the node the root is derived from
inline constexpr size_t kGetterCache = 0x9C0;    // 16 f32: where a quirky GetMatrix answers from
inline constexpr size_t kGetterQuirk = 0xA00;    // byte: GetMatrix returns kGetterCache, not its out
inline constexpr size_t kSkeletal = 0xA08;       // u32: the game's skeleton record + 1, 0 for none
inline constexpr size_t kSize = 0xA40;
inline constexpr size_t kVtableSlots = 48;
inline constexpr size_t kSlotGetMatrix = 20;
inline constexpr size_t kSlotAgentMesh = 31;
inline constexpr size_t kSlotAgentUpdate = 36;
inline constexpr size_t kSlotSetMatrix = 44;
}  // namespace EntityLayout

// A body node of an entity: where the renderer takes the entity's placement from.
namespace NodeLayout {
inline constexpr size_t kMatrix = 0x48;        // fixed (+72): world matrix, 16 f32, row order
inline constexpr size_t kLocal = 0x90;         // placement relative to the entity root
inline constexpr size_t kChanges = 0xE0;       // counted by cNode3D matrix changed (its entry bytes)
inline constexpr size_t kFlag = 0xE8;
inline constexpr size_t kLocalInverse = 0x100;
inline constexpr size_t kSize = 0x180;
}  // namespace NodeLayout

// The game's physics body object, the Newton body's user data.
namespace BodyLayout {
inline constexpr size_t kName = 0x10;          // fixed (+16): host string
inline constexpr size_t kMatrix = 0x48;        // fixed (+72): 16 f32, row order
inline constexpr size_t kNewtonBody = 0x2B0;   // fixed (+688)
inline constexpr size_t kLongName = 0x400;     // text of a name longer than 15 bytes
inline constexpr size_t kSize = 0x1000;
}  // namespace BodyLayout

// A skeleton object is a scene node (its node matrix and change count where a body node has
// them) that also holds the vector of its bones.
namespace SkeletonLayout {
inline constexpr size_t kNodeMatrix = 0x48;   // fixed (+72): world matrix; an agent's mesh root
inline constexpr size_t kLocal = 0x90;        // as NodeLayout: placement under the owner's root
inline constexpr size_t kChanges = 0xE0;      // counted by cNode3D matrix changed (its entry bytes)
inline constexpr size_t kFlag = 0xE8;
inline constexpr size_t kTag = 0xF0;          // kSkeletonTag: tells a skeleton from a plain node
inline constexpr size_t kDirty = 0xF8;        // world transforms of the bones are stale
inline constexpr size_t kLocalInverse = 0x100;
inline constexpr size_t kBonesBegin = 0x260;  // fixed (+608): bone pointer vector
inline constexpr size_t kBonesEnd = 0x268;    // fixed (+616)
inline constexpr size_t kVector = 0x300;      // the vector's storage, up to 257 pointers
inline constexpr size_t kSize = 0xB20;
inline constexpr uint64_t kSkeletonTag = 0x4E4F54454C454B53;  // "SKELETON"
}  // namespace SkeletonLayout

namespace BoneLayout {
inline constexpr size_t kMatrix = 0x3C;      // fixed (+60): bone-local matrix, 16 f32
inline constexpr size_t kSkeleton = 0xC0;    // the skeleton the bone belongs to
inline constexpr size_t kParent = 0x178;     // fixed (+376): parent bone, null for a root
inline constexpr size_t kAttached = 0x188;   // fixed (+392): head of the attached-node list
inline constexpr size_t kChildren = 0x198;   // fixed (+408): head of the child-node list
inline constexpr size_t kAttachedSentinel = 0x1A0;  // {first, last}
inline constexpr size_t kChildSentinel = 0x1B0;
inline constexpr size_t kChildElement = 0x1C0;     // list elements: {next, prev, node}
inline constexpr size_t kAttachedElement = 0x1D8;
inline constexpr size_t kSize = 0x200;
}  // namespace BoneLayout

namespace InputLayout {
inline constexpr size_t kDevice = 0x128;
inline constexpr size_t kSmoothingOn = 360;  // fixed: byte
inline constexpr size_t kInvert = 361;       // fixed: byte
inline constexpr size_t kWindow = 380;       // fixed: i32
inline constexpr size_t kWeight = 384;       // fixed: f32
inline constexpr size_t kSentinel = 392;     // fixed: sentinel node of the sample list
inline constexpr size_t kSamples = 400;      // fixed: u64
inline constexpr size_t kCountX = 416;       // i32 counts of this step's read
inline constexpr size_t kCountY = 420;
inline constexpr size_t kScale = 424;        // f32 look units per count (the sensitivity)
inline constexpr size_t kSize = 0x200;
}  // namespace InputLayout

namespace GuiLayout {
inline constexpr size_t kMousePos = 0x4E48;   // 2 f32 (20040)
inline constexpr size_t kDrawPos = 0x4E50;    // 2 f32 (20048)
inline constexpr size_t kCursorDrawn = 0x4E60;
inline constexpr size_t kCursorDraws = 0x4E68;
inline constexpr size_t kImagePos = 0x4E70;
inline constexpr size_t kImageLastArg = 0x4E78;
inline constexpr size_t kImageDraws = 0x4E80;
inline constexpr size_t kHidden = 0x6A9;
inline constexpr size_t kSize = 0x5000;
}  // namespace GuiLayout

// The host's standard string: inline buffer or pointer, size, capacity.
struct HostString {
  union {
    char inline_text[16];
    const char* text;
  };
  uint64_t size;
  uint64_t capacity;
};
static_assert(sizeof(HostString) == 32);

template <class T>
T Load(const void* object, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(object) + offset, sizeof value);
  return value;
}

template <class T>
void Store(void* object, size_t offset, const T& value) {
  std::memcpy(static_cast<uint8_t*>(object) + offset, &value, sizeof value);
}

inline uint8_t* At(void* object, size_t offset) { return static_cast<uint8_t*>(object) + offset; }

// Zeroed, 16-byte aligned host memory that lives as long as the process.
void* NewHostObject(size_t size);

void MakeHostString(HostString* out, const char* text);
// The same, with a long text stored at heap (at least size + 1 bytes) instead of a new allocation.
void MakeHostStringAt(HostString* out, const char* text, char* heap);

// Row-order 4x4 products and rigid inverses as the host computes them (the sites call these).
void MatrixProduct(float* out, const float* a, const float* b);
void RigidInverse(float* out, const float* in);

}  // namespace qv
