#pragma once
// The places in the listener frame where the other interpolating subsystems join in: the GUI
// cursor, the mouse-look preview, the camera's ride on the body skeleton, entities and particles.
// A subsystem fills its slots when it installs and empties them when it uninstalls; an empty slot
// is skipped, so a subsystem that is not installed costs one load per frame.
#include "frame/presentation_clock.h"
#include "interp/camera_snapshot.h"
#include "interp/transform.h"

struct MouseLookDelta {
  float yaw = 0.0f;    // radians
  float pitch = 0.0f;  // radians
  bool valid = false;
};

struct CameraTransform {
  RigidMatrix matrix;
  float position[3];
};

struct RenderHooks {
  void (*guiCursor)() = nullptr;
  // Both or neither.
  bool (*mouseLookActive)() = nullptr;
  MouseLookDelta (*mouseLookDelta)(const ClockSample& sample, const CameraSnapshot& older,
                                   const CameraSnapshot& newer) = nullptr;
  bool (*attachCameraToSkeleton)(const ClockSample& sample, const CameraTransform& older,
                                 const CameraTransform& newer, CameraTransform* interpolated) = nullptr;
  // Both or neither; restore runs after the host drew, whatever apply returned.
  bool (*entityApply)(const ClockSample& sample) = nullptr;
  void (*entityRestore)() = nullptr;
  void (*particleApply)(const ClockSample& sample) = nullptr;
  void (*particleRestore)() = nullptr;
};

enum class RenderHookOwner : uint32_t { GuiCursor = 0, MouseLook, Skeleton, Entities, Particles, Count };
// Stores the owner's fields of hooks (the others are ignored); null fields remove.
void SetRenderHooks(RenderHookOwner owner, const RenderHooks& hooks);

// One frame's view of the slots: the render detour loads them once, so a frame that applied also
// restores, whatever an installer does meanwhile.
RenderHooks LoadRenderHooks();
