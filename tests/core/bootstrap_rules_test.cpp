#include "core/bootstrap_rules.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

constexpr const wchar_t* kRule1 =
    L"PresentationLimiter, CameraInterpolation, and hands/body/world interpolation require RenderUnlock=true.";
constexpr const wchar_t* kRule2 = L"HandsRootInterpolation requires CameraInterpolation=true.";
constexpr const wchar_t* kRule3 = L"WorldRootInterpolation requires CameraInterpolation=true.";
constexpr const wchar_t* kRule4 =
    L"HandsPoseInterpolation requires CameraInterpolation=true and HandsRootInterpolation=true.";
constexpr const wchar_t* kRule5 =
    L"RagdollPoseInterpolation requires CameraInterpolation=true and WorldRootInterpolation=true.";
constexpr const wchar_t* kRule6 = L"MouseOverlay requires CameraInterpolation=true.";

PluginConfig ValidConfig(const std::function<void(PluginConfig&)>& edit) {
  PluginConfig c;
  c.valid = true;
  edit(c);
  return c;
}

struct RuleCase {
  const char* name;
  std::function<void(PluginConfig&)> edit;
  const wchar_t* violated;   // null: every rule holds
};

TEST(DependencyRules, FirstViolatedRuleInTableOrder) {
  const RuleCase cases[] = {
      {"nothing requested", [](PluginConfig&) {}, nullptr},
      {"render unlock alone", [](PluginConfig& c) { c.renderUnlock = true; }, nullptr},
      {"limiter without unlock", [](PluginConfig& c) { c.presentationLimiter = true; }, kRule1},
      {"camera without unlock", [](PluginConfig& c) { c.cameraInterpolation = true; }, kRule1},
      {"hands root without unlock or camera: rule 1 wins", [](PluginConfig& c) { c.handsRootInterpolation = true; },
       kRule1},
      {"ragdoll pose alone: rule 1 wins", [](PluginConfig& c) { c.ragdollPoseInterpolation = true; }, kRule1},
      {"hands root without camera",
       [](PluginConfig& c) { c.renderUnlock = c.handsRootInterpolation = true; }, kRule2},
      {"hands and world root without camera: rule 2 wins",
       [](PluginConfig& c) { c.renderUnlock = c.handsRootInterpolation = c.worldRootInterpolation = true; }, kRule2},
      {"world root without camera",
       [](PluginConfig& c) { c.renderUnlock = c.worldRootInterpolation = true; }, kRule3},
      {"hands pose without camera",
       [](PluginConfig& c) { c.renderUnlock = c.handsPoseInterpolation = true; }, kRule4},
      {"hands pose without hands root",
       [](PluginConfig& c) { c.renderUnlock = c.cameraInterpolation = c.handsPoseInterpolation = true; }, kRule4},
      {"ragdoll pose without world root",
       [](PluginConfig& c) { c.renderUnlock = c.cameraInterpolation = c.ragdollPoseInterpolation = true; }, kRule5},
      {"ragdoll pose without camera",
       [](PluginConfig& c) { c.renderUnlock = c.worldRootInterpolation = c.ragdollPoseInterpolation = true; }, kRule3},
      {"mouse overlay alone: rule 1 is not checked", [](PluginConfig& c) { c.mouseOverlay = true; }, kRule6},
      {"mouse overlay and limiter without unlock: rule 1 first",
       [](PluginConfig& c) { c.mouseOverlay = c.presentationLimiter = true; }, kRule1},
      {"mouse overlay with unlock but no camera",
       [](PluginConfig& c) { c.mouseOverlay = c.renderUnlock = true; }, kRule6},
      {"particles alone pass", [](PluginConfig& c) { c.particleInterpolation = true; }, nullptr},
      {"everything consistent",
       [](PluginConfig& c) {
         c.renderUnlock = c.presentationLimiter = c.cameraInterpolation = c.handsRootInterpolation = true;
         c.worldRootInterpolation = c.handsPoseInterpolation = c.ragdollPoseInterpolation = c.mouseOverlay = true;
       },
       nullptr},
  };
  for (const RuleCase& c : cases) {
    const wchar_t* violated = FirstViolatedDependencyRule(ValidConfig(c.edit));
    if (c.violated == nullptr)
      EXPECT_EQ(violated, nullptr) << c.name << ": " << testing::PrintToString(std::wstring(violated ? violated : L""));
    else
      EXPECT_STREQ(violated, c.violated) << c.name;
  }
}

TEST(UnimplementedFeatures, AreWorldPoseVerletAndTemporalEffectTiming) {
  EXPECT_FALSE(RequestsUnimplementedFeature(ValidConfig([](PluginConfig& c) {
    c.renderUnlock = c.presentationLimiter = c.cameraInterpolation = c.handsRootInterpolation = true;
    c.worldRootInterpolation = c.handsPoseInterpolation = c.ragdollPoseInterpolation = true;
    c.particleInterpolation = c.mouseOverlay = true;
  })));
  EXPECT_TRUE(RequestsUnimplementedFeature(ValidConfig([](PluginConfig& c) { c.worldPoseInterpolation = true; })));
  EXPECT_TRUE(RequestsUnimplementedFeature(ValidConfig([](PluginConfig& c) { c.verletInterpolation = true; })));
  EXPECT_TRUE(RequestsUnimplementedFeature(ValidConfig([](PluginConfig& c) { c.temporalEffectTiming = true; })));
}

struct CompleteCase {
  const char* name;
  std::function<void(PluginConfig&)> edit;
  const wchar_t* line;
};

TEST(BootstrapCompleteLine, DependsOnTelemetryRenderUnlockAndTheBehaviouralKeys) {
  constexpr const wchar_t* kNone = L"Bootstrap complete. No hooks installed.";
  constexpr const wchar_t* kUnlock = L"Bootstrap complete with render unlock enabled.";
  constexpr const wchar_t* kRequested = L"Bootstrap complete with requested hooks enabled.";
  const CompleteCase cases[] = {
      {"telemetry on by default", [](PluginConfig&) {}, kRequested},
      {"telemetry off, nothing", [](PluginConfig& c) { c.telemetryEnabled = false; }, kNone},
      {"telemetry off, diagnostics and motion trace do not count",
       [](PluginConfig& c) {
         c.telemetryEnabled = false;
         c.motionTrace = true;
       },
       kNone},
      {"telemetry off, render unlock",
       [](PluginConfig& c) {
         c.telemetryEnabled = false;
         c.renderUnlock = true;
       },
       kUnlock},
      {"telemetry off, particles alone",
       [](PluginConfig& c) {
         c.telemetryEnabled = false;
         c.particleInterpolation = true;
       },
       kRequested},
      {"telemetry off, mouse overlay (last key)",
       [](PluginConfig& c) {
         c.telemetryEnabled = false;
         c.mouseOverlay = true;
       },
       kRequested},
      {"telemetry off, limiter (first behavioural key)",
       [](PluginConfig& c) {
         c.telemetryEnabled = false;
         c.presentationLimiter = true;
       },
       kRequested},
      {"telemetry on with render unlock",
       [](PluginConfig& c) { c.renderUnlock = true; }, kRequested},
  };
  for (const CompleteCase& c : cases) EXPECT_STREQ(BootstrapCompleteLine(ValidConfig(c.edit)), c.line) << c.name;
}

TEST(BehaviouralKeys, AreTheElevenFeatureKeysAfterRenderUnlock) {
  bool PluginConfig::*const keys[] = {
      &PluginConfig::presentationLimiter,    &PluginConfig::cameraInterpolation,
      &PluginConfig::handsRootInterpolation, &PluginConfig::worldRootInterpolation,
      &PluginConfig::handsPoseInterpolation, &PluginConfig::worldPoseInterpolation,
      &PluginConfig::ragdollPoseInterpolation, &PluginConfig::verletInterpolation,
      &PluginConfig::particleInterpolation,  &PluginConfig::temporalEffectTiming,
      &PluginConfig::mouseOverlay,
  };
  for (size_t i = 0; i < std::size(keys); ++i) {
    PluginConfig c;
    c.*keys[i] = true;
    EXPECT_TRUE(RequestsBehaviouralFeature(c)) << "key " << i;
  }
  PluginConfig others;
  others.renderUnlock = others.diagnostics = others.telemetryEnabled = others.motionTrace = true;
  EXPECT_FALSE(RequestsBehaviouralFeature(others));
}

TEST(PlayerRuntime, InstalledLineNamesTheModeThenEachRequestedExtra) {
  PluginConfig probe;
  probe.diagnostics = true;
  EXPECT_TRUE(RequestsPlayerRuntime(probe));
  EXPECT_FALSE(RequestsRootOrPose(probe)) << "a failing probe only warns";
  EXPECT_EQ(PlayerRuntimeInstalledLine(probe), L"Read-only PlayerHands/PlayerBody root probe runtime installed.");

  PluginConfig world;
  world.diagnostics = false;
  world.worldRootInterpolation = true;
  EXPECT_TRUE(RequestsRootOrPose(world));
  EXPECT_EQ(PlayerRuntimeInstalledLine(world), L"Read-only PlayerHands/PlayerBody root probe plus bounded Newton "
                                               L"rigid-body world-root interpolation runtime installed.");

  PluginConfig all = world;
  all.handsRootInterpolation = all.handsPoseInterpolation = all.ragdollPoseInterpolation = true;
  EXPECT_EQ(PlayerRuntimeInstalledLine(all),
            L"Render-only PlayerHands/PlayerBody root interpolation plus guarded PlayerBody skeletal-pose "
            L"interpolation plus bounded Newton rigid-body world-root interpolation plus guarded skeletal prop pose "
            L"interpolation runtime installed.");

  PluginConfig none;
  none.diagnostics = false;
  EXPECT_FALSE(RequestsPlayerRuntime(none));
}

}  // namespace
