#include "core/bootstrap_rules.h"

const wchar_t* FirstViolatedDependencyRule(const PluginConfig& c) {
  const bool timingGroup = c.presentationLimiter || c.cameraInterpolation || c.handsRootInterpolation ||
                           c.worldRootInterpolation || c.handsPoseInterpolation || c.ragdollPoseInterpolation;
  if (timingGroup) {
    if (!c.renderUnlock)
      return L"PresentationLimiter, CameraInterpolation, and hands/body/world interpolation require RenderUnlock=true.";
    if (c.handsRootInterpolation && !c.cameraInterpolation)
      return L"HandsRootInterpolation requires CameraInterpolation=true.";
    if (c.worldRootInterpolation && !c.cameraInterpolation)
      return L"WorldRootInterpolation requires CameraInterpolation=true.";
    if (c.handsPoseInterpolation && (!c.cameraInterpolation || !c.handsRootInterpolation))
      return L"HandsPoseInterpolation requires CameraInterpolation=true and HandsRootInterpolation=true.";
    if (c.ragdollPoseInterpolation && (!c.cameraInterpolation || !c.worldRootInterpolation))
      return L"RagdollPoseInterpolation requires CameraInterpolation=true and WorldRootInterpolation=true.";
  }
  if (c.mouseOverlay && !c.cameraInterpolation) return L"MouseOverlay requires CameraInterpolation=true.";
  return nullptr;
}

bool RequestsUnimplementedFeature(const PluginConfig& c) {
  return c.worldPoseInterpolation || c.verletInterpolation || c.temporalEffectTiming;
}

bool RequestsBehaviouralFeature(const PluginConfig& c) {
  return c.presentationLimiter || c.cameraInterpolation || c.handsRootInterpolation || c.worldRootInterpolation ||
         c.handsPoseInterpolation || c.worldPoseInterpolation || c.ragdollPoseInterpolation ||
         c.verletInterpolation || c.particleInterpolation || c.temporalEffectTiming || c.mouseOverlay;
}

const wchar_t* BootstrapCompleteLine(const PluginConfig& c) {
  if (!c.telemetryEnabled && !RequestsBehaviouralFeature(c))
    return c.renderUnlock ? L"Bootstrap complete with render unlock enabled." : L"Bootstrap complete. No hooks installed.";
  return L"Bootstrap complete with requested hooks enabled.";
}

bool RequestsRootOrPose(const PluginConfig& c) {
  return c.handsRootInterpolation || c.worldRootInterpolation || c.handsPoseInterpolation || c.ragdollPoseInterpolation;
}

bool RequestsPlayerRuntime(const PluginConfig& c) { return c.diagnostics || RequestsRootOrPose(c); }

std::wstring PlayerRuntimeInstalledLine(const PluginConfig& c) {
  std::wstring line = c.handsRootInterpolation ? L"Render-only PlayerHands/PlayerBody root interpolation"
                                               : L"Read-only PlayerHands/PlayerBody root probe";
  if (c.handsPoseInterpolation) line += L" plus guarded PlayerBody skeletal-pose interpolation";
  if (c.worldRootInterpolation) line += L" plus bounded Newton rigid-body world-root interpolation";
  if (c.ragdollPoseInterpolation) line += L" plus guarded skeletal prop pose interpolation";
  line += L" runtime installed.";
  return line;
}
