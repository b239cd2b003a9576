#pragma once
// Where the host keeps what the plug-in reads and writes. Every host offset lives here.
#include <cstddef>

namespace host_layout {

// cEngine
inline constexpr size_t kEngineScheduler = 0x48;      // pointer to the fixed-step scheduler
inline constexpr size_t kEngineLimitFps = 0x88;       // bool cEngine::mbLimitFPS

// the engine's fixed-step scheduler
inline constexpr size_t kSchedulerDueMs = 0x00;       // u64, milliseconds
inline constexpr size_t kSchedulerUnitMs = 0x08;      // f64, milliseconds
inline constexpr size_t kSchedulerRate = 0x30;        // f64

// viewport
inline constexpr size_t kViewportCamera = 0x18;       // cCamera*
inline constexpr size_t kViewportCompanion = 0x20;    // non-null companion object
inline constexpr size_t kViewportListenerFlag = 0x2B; // byte: 0 other viewport, 1 listener

// cCamera
inline constexpr size_t kCameraPosition = 0x10;       // 3 f32
inline constexpr size_t kCameraPitch = 0x48;          // f32, euler mode
inline constexpr size_t kCameraYaw = 0x4C;
inline constexpr size_t kCameraRoll = 0x50;
inline constexpr size_t kCameraMode = 0x70;           // u32: 0 euler, 1 matrix
inline constexpr size_t kCameraRotation = 0x1F8;      // 16 f32, matrix mode
inline constexpr size_t kCameraDirtyFlags[] = {0x6F1, 0x6F3, 0x6F4, 0x6F5};  // +0x6F2 is not ours

// The completed-step message the engine sends its updater after every fixed step.
inline constexpr int kCompletedStepMessage = 5;

}  // namespace host_layout
