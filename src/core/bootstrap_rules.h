#pragma once
// The configuration rules the bootstrap applies before installing anything. No Windows headers.
#include <string>

#include "core/config.h"

// The first violated dependency rule's message, or null when every rule holds.
const wchar_t* FirstViolatedDependencyRule(const PluginConfig& config);
bool RequestsUnimplementedFeature(const PluginConfig& config);
// Any of the eleven behavioural keys after RenderUnlock.
bool RequestsBehaviouralFeature(const PluginConfig& config);
// The player runtime (entity probe or root/pose interpolation) is installed once the camera is;
// only a requested root or pose key makes its failure fatal.
bool RequestsPlayerRuntime(const PluginConfig& config);
bool RequestsRootOrPose(const PluginConfig& config);
// What the bootstrap logs once the player runtime is installed.
std::wstring PlayerRuntimeInstalledLine(const PluginConfig& config);
// The bootstrap's closing line.
const wchar_t* BootstrapCompleteLine(const PluginConfig& config);
