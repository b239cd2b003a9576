#pragma once
// The configuration rules the bootstrap applies before installing anything. No Windows headers.
#include "core/config.h"

// The first violated dependency rule's message, or null when every rule holds.
const wchar_t* FirstViolatedDependencyRule(const PluginConfig& config);
bool RequestsUnimplementedFeature(const PluginConfig& config);
// Any of the eleven behavioural keys after RenderUnlock.
bool RequestsBehaviouralFeature(const PluginConfig& config);
// The bootstrap's closing line.
const wchar_t* BootstrapCompleteLine(const PluginConfig& config);
