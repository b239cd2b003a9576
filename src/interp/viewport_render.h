#pragma once
// The listener viewport's render detour: interpolated camera in, host draws, authoritative camera back.
#include <cstdint>

#include "interp/camera_history.h"
#include "interp/transform.h"

enum class CameraApplyFailure : uint64_t {
  Success = 0,
  Input = 1,        // no camera, invalid snapshot, or a setter address missing
  Mode = 2,         // the camera's mode differs from the snapshot's
  Readback = 3,
  Position = 4,
  Orientation = 5,
};

// Host camera access, verified by reading back through the same layout.
bool ReadCamera(const void* camera, CameraSnapshot* snapshot);
CameraApplyFailure ApplyCamera(void* camera, const CameraSnapshot& snapshot);
void SetCameraSetterAddresses(void* setPosition, void* setRotationMatrix);

// The render detour's address, for installation; the original is reached through RenderViewportOriginal.
void* ViewportRenderDetourAddress();
void* RenderViewportOriginal();
// Clears the camera history and the cached viewport identity.
void ResetViewportRenderState();

// A turn about the vertical line through the drawn camera, for the entity apply.
struct WorldYawPreviewState {
  bool valid = false;
  RigidMatrix matrix{};
};
void PublishWorldYawPreview(float yawDelta, float x, float y, float z);
const WorldYawPreviewState& WorldYawPreview();

// Counters of the render detour, cumulative since load.
struct CameraRenderCounters {
  uint64_t listenerFrames = 0;
  uint64_t eulerFrames = 0;
  uint64_t matrixFrames = 0;
  uint64_t publishes[7] = {};          // by publish result
  uint64_t phaseInvalid = 0;
  uint64_t alphaLow = 0;
  uint64_t alphaHigh = 0;
  uint64_t applied = 0;
  uint64_t applyFailures = 0;
  uint64_t applyFailuresByCode[6] = {};
  uint64_t restoreFailures = 0;
  uint64_t restoreFailuresByCode[6] = {};
  uint64_t failedApplyRollbacks = 0;
};
const CameraRenderCounters& CameraCounters();
