#pragma once
// The places in the listener frame where the other interpolating subsystems join in: the GUI
// cursor, the mouse-look preview, the camera's ride on the body skeleton, entities and
// particles. Until a subsystem is part of the build its hook does nothing and reports itself
// inactive; the bootstrap refuses to install such a feature, so none is ever half-active.
#include "interp/camera_snapshot.h"
#include "interp/presentation_clock.h"

struct MouseLookDelta {
  float yaw = 0.0f;    // radians
  float pitch = 0.0f;  // radians
  bool valid = false;
};

struct CameraTransform {
  RigidMatrix matrix;
  float position[3];
};

void GuiCursorRenderHook();
bool MouseLookPreviewActive();
MouseLookDelta MouseLookPreviewDelta(const ClockSample& sample, const CameraSnapshot& older, const CameraSnapshot& newer);
bool AttachCameraToSkeleton(const ClockSample& sample, const CameraTransform& older, const CameraTransform& newer,
                            CameraTransform* interpolated);
void EntityWorldApply(const ClockSample& sample);
void EntityWorldRestore();
void ParticleApply(const ClockSample& sample);
void ParticleRestore();
