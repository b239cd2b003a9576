#pragma once
// Where the host keeps what the input previews read and write: the input handler and the GUI
// context. Every input-side host offset lives here.
#include <cstddef>

namespace input_layout {

// cLuxInputHandler
inline constexpr size_t kHandlerSmoothingOn = 360;     // byte, non-zero: look smoothing on
inline constexpr size_t kHandlerInvertPitch = 361;     // byte, non-zero: vertical look inverted
inline constexpr size_t kHandlerSmoothingWindow = 380; // i32 N
inline constexpr size_t kHandlerSmoothingWeight = 384; // f32 w
inline constexpr size_t kHandlerSampleList = 392;      // sentinel node of the circular sample list
inline constexpr size_t kHandlerSampleCount = 400;     // u64

// a node of the sample list
inline constexpr size_t kSampleNext = 0;
inline constexpr size_t kSampleX = 16;                 // f32
inline constexpr size_t kSampleY = 20;                 // f32

// The chain behind the host global at the build's input-global RVA: global -> object; object +216
// -> object whose byte +1038, when non-zero, turns smoothing off.
inline constexpr size_t kInputGlobalChild = 216;
inline constexpr size_t kInputGlobalSmoothingOffFlag = 1038;

// cImGui context
inline constexpr size_t kGuiMousePosition = 20040;     // 2 f32, what the last feed stored
inline constexpr size_t kGuiMouseState = 20048;        // 16 bytes; first 2 f32: the cursor's draw position
inline constexpr size_t kGuiMouseStateSize = 16;
inline constexpr size_t kGuiMouseStateByte = 20094;    // byte of mouse state
inline constexpr size_t kGuiCommandsBegin = 768;       // draw commands, 160 bytes each
inline constexpr size_t kGuiCommandsEnd = 776;
inline constexpr size_t kGuiCommandStride = 160;
inline constexpr size_t kGuiCommandPosition = 8;       // 2 f32
inline constexpr size_t kGuiElementsBegin = 792;       // second element array, 88 bytes each
inline constexpr size_t kGuiElementsEnd = 800;
inline constexpr size_t kGuiElementStride = 88;
inline constexpr size_t kGuiElementPosition = 40;      // 2 f32

// an image item
inline constexpr size_t kGuiItemOffsetX = 36;          // f32 added to the image position
inline constexpr size_t kGuiItemOffsetY = 40;

}  // namespace input_layout
