#include "core/config.h"

#include <windows.h>

#include <algorithm>

#include "core/config_parse.h"

ConfigString ReadConfigString(const std::wstring& iniPath, const wchar_t* section, const wchar_t* key) {
  wchar_t buffer[kConfigReadBufferChars] = {};
  const DWORD length = GetPrivateProfileStringW(section, key, kConfigMissingSentinel, buffer,
                                                static_cast<DWORD>(kConfigReadBufferChars), iniPath.c_str());
  ConfigString result;
  // Zero characters means absent, so a key written with an empty value keeps its default.
  if (length == 0) return result;
  const std::wstring_view value(buffer, std::min<size_t>(length, kConfigReadBufferChars - 1));
  if (value == kConfigMissingSentinel) return result;
  result.present = true;
  result.value.assign(value);
  if (value.size() == kConfigReadBufferChars - 1) {
    // A full buffer may hold a cut value; its tail could change what it means ("0" of "05000"),
    // so one character more tells whether anything was left out.
    wchar_t probe[kConfigReadBufferChars + 1] = {};
    const DWORD longer = GetPrivateProfileStringW(section, key, kConfigMissingSentinel, probe,
                                                  static_cast<DWORD>(kConfigReadBufferChars + 1), iniPath.c_str());
    result.cut = longer >= kConfigReadBufferChars;
  }
  return result;
}

bool ReadConfigBool(const std::wstring& iniPath, const wchar_t* section, const wchar_t* key, bool fallback,
                    bool& value, std::wstring& message) {
  const ConfigString read = ReadConfigString(iniPath, section, key);
  if (!read.present) {
    value = fallback;
    return true;
  }
  if (read.cut) {
    message = ValueTooLongMessage(section, key, read.value);
    return false;
  }
  if (ParseConfigBoolWord(read.value, value)) return true;
  message = InvalidBooleanMessage(section, key, read.value);
  return false;
}

bool ReadConfigUnsigned(const std::wstring& iniPath, const wchar_t* section, const wchar_t* key, uint32_t fallback,
                        uint32_t minimum, uint32_t maximum, uint32_t& value, std::wstring& message) {
  const ConfigString read = ReadConfigString(iniPath, section, key);
  if (!read.present) {
    value = fallback;
    return true;
  }
  if (read.cut) {
    message = ValueTooLongMessage(section, key, read.value);
    return false;
  }
  return ParseConfigUnsigned(read.value, section, key, minimum, maximum, value, message);
}

PluginConfig LoadPluginConfig(const std::wstring& iniPath) {
  PluginConfig config;
  if (GetFileAttributesW(iniPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    config.message = L"Configuration file not found: " + iniPath;
    return config;
  }

  struct BoolKey {
    const wchar_t* section;
    const wchar_t* key;
    bool PluginConfig::*field;
  };
  // The order of reading is the order of the record: the first bad value stops the load.
  static constexpr BoolKey kLeadingBools[] = {
      {L"General", L"Enabled", &PluginConfig::enabled},
      {L"General", L"Diagnostics", &PluginConfig::diagnostics},
      {L"Telemetry", L"Enabled", &PluginConfig::telemetryEnabled},
      {L"Telemetry", L"MotionTrace", &PluginConfig::motionTrace},
  };
  static constexpr BoolKey kFeatureBools[] = {
      {L"Features", L"RenderUnlock", &PluginConfig::renderUnlock},
      {L"Features", L"PresentationLimiter", &PluginConfig::presentationLimiter},
      {L"Features", L"CameraInterpolation", &PluginConfig::cameraInterpolation},
      {L"Features", L"HandsRootInterpolation", &PluginConfig::handsRootInterpolation},
      {L"Features", L"WorldRootInterpolation", &PluginConfig::worldRootInterpolation},
      {L"Features", L"HandsPoseInterpolation", &PluginConfig::handsPoseInterpolation},
      {L"Features", L"WorldPoseInterpolation", &PluginConfig::worldPoseInterpolation},
      {L"Features", L"RagdollPoseInterpolation", &PluginConfig::ragdollPoseInterpolation},
      {L"Features", L"VerletInterpolation", &PluginConfig::verletInterpolation},
      {L"Features", L"ParticleInterpolation", &PluginConfig::particleInterpolation},
      {L"Features", L"TemporalEffectTiming", &PluginConfig::temporalEffectTiming},
      {L"Features", L"MouseOverlay", &PluginConfig::mouseOverlay},
  };

  const PluginConfig defaults;
  for (const BoolKey& k : kLeadingBools)
    if (!ReadConfigBool(iniPath, k.section, k.key, defaults.*k.field, config.*k.field, config.message)) return config;
  if (!ReadConfigUnsigned(iniPath, L"Telemetry", L"ReportIntervalSeconds", defaults.reportIntervalSeconds, 1, 60,
                          config.reportIntervalSeconds, config.message))
    return config;
  for (const BoolKey& k : kFeatureBools)
    if (!ReadConfigBool(iniPath, k.section, k.key, defaults.*k.field, config.*k.field, config.message)) return config;
  if (!ReadConfigUnsigned(iniPath, L"Timing", L"TargetFPS", defaults.targetFps, 0, 1000, config.targetFps,
                          config.message))
    return config;
  config.valid = true;
  return config;
}
