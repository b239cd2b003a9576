#include "interp/render_hooks.h"

void GuiCursorRenderHook() {}
bool MouseLookPreviewActive() { return false; }
MouseLookDelta MouseLookPreviewDelta(const ClockSample&, const CameraSnapshot&, const CameraSnapshot&) { return {}; }
bool AttachCameraToSkeleton(const ClockSample&, const CameraTransform&, const CameraTransform&, CameraTransform*) {
  return false;
}
void EntityWorldApply(const ClockSample&) {}
void EntityWorldRestore() {}
void ParticleApply(const ClockSample&) {}
void ParticleRestore() {}
