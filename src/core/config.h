#pragma once
// The plug-in's configuration: one INI beside the DLL, read once at start.
#include <cstdint>
#include <string>

struct PluginConfig {
  bool valid = false;
  bool enabled = true;                    // [General] Enabled
  bool diagnostics = true;                // [General] Diagnostics
  bool telemetryEnabled = true;           // [Telemetry] Enabled
  bool motionTrace = false;               // [Telemetry] MotionTrace
  uint32_t reportIntervalSeconds = 5;     // [Telemetry] ReportIntervalSeconds, 1..60
  // [Features], one contiguous group in this order.
  bool renderUnlock = false;
  bool presentationLimiter = false;
  bool cameraInterpolation = false;
  bool handsRootInterpolation = false;
  bool worldRootInterpolation = false;
  bool handsPoseInterpolation = false;
  bool worldPoseInterpolation = false;
  bool ragdollPoseInterpolation = false;
  bool verletInterpolation = false;
  bool particleInterpolation = false;
  bool temporalEffectTiming = false;
  bool mouseOverlay = false;
  uint32_t targetFps = 0;                 // [Timing] TargetFPS, 0..1000
  std::wstring message;                   // why the record is not valid
};

// Strict: a missing file or the first bad value leaves the record invalid, later keys at defaults.
PluginConfig LoadPluginConfig(const std::wstring& iniPath);

struct ConfigString {
  bool present = false;
  bool cut = false;     // longer than the read buffer: value holds only its first 127 characters
  std::wstring value;
};
ConfigString ReadConfigString(const std::wstring& iniPath, const wchar_t* section, const wchar_t* key);
bool ReadConfigBool(const std::wstring& iniPath, const wchar_t* section, const wchar_t* key, bool fallback,
                    bool& value, std::wstring& message);
bool ReadConfigUnsigned(const std::wstring& iniPath, const wchar_t* section, const wchar_t* key, uint32_t fallback,
                        uint32_t minimum, uint32_t maximum, uint32_t& value, std::wstring& message);
