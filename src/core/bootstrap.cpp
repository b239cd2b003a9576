#include "core/bootstrap.h"

#include <string>

#include "core/bootstrap_rules.h"
#include "core/config.h"
#include "core/log.h"
#include "core/module_path.h"
#include "core/text.h"
#include "entity/entity_runtime.h"
#include "host/host_validation.h"
#include "input/gui_cursor.h"
#include "input/mouse_look.h"
#include "interp/camera_interpolation.h"
#include "pacing/render_unlock.h"
#include "pacing/swap_runtime.h"
#include "particles/particle_interpolation.h"

namespace {

constexpr wchar_t kPluginName[] = L"QuarrenVelt.Framolt";
constexpr wchar_t kPluginVersion[] = L"" FRAMOLT_VERSION;  // the project version, one source for log and package
constexpr wchar_t kFailClosedNoEngineHooks[] = L"Fail-closed: no engine hooks were installed.";

void LogInfo(const std::wstring& text) { LogWrite(LogLevel::Info, text); }
void LogError(const std::wstring& text) { LogWrite(LogLevel::Error, text); }

void OpenRotatedLog(const std::wstring& logPath, const std::wstring& previousLogPath) {
  MoveFileExW(logPath.c_str(), previousLogPath.c_str(), MOVEFILE_REPLACE_EXISTING);
  if (OpenLogFile(logPath.c_str())) return;
  const std::wstring fallback = LocalLogPath();
  if (!fallback.empty() && OpenLogFile(fallback.c_str())) {
    LogWrite(LogLevel::Warn, L"Could not write sibling log; using: " + fallback);
    return;
  }
  OutputDebugStringW(L"[QuarrenVelt.Framolt] Could not open a log file.\n");
}

bool ValidateAndIdentifyHost() {
  const HostValidation host = ValidateHost(GetModuleHandleW(nullptr));
  if (!host.ok) {
    LogError(L"Host validation failed: " + host.reason);
    LogError(kFailClosedNoEngineHooks);
    return false;
  }
  LogInfo(L"Eligible Velt PE64 host: machine=" + FormatHex(host.machine) + L", imageSize=" + FormatHex(host.imageSize) +
          L", timestamp=" + FormatHex(host.timestamp));

  const BuildMapping* build = IdentifyBuild(GetModuleHandleW(nullptr));
  if (build == nullptr) {
    // The swap runtime redirects an import slot and checks no game code, so it is not refused here.
    LogWrite(LogLevel::Warn,
             L"No supported build matched this executable's cEngine::Run; every feature that hooks game code will "
             L"refuse to start, but telemetry and the presentation limiter, which change only the "
             L"SDL_GL_SwapWindow import slot, still install when enabled.");
  } else if (build->timestamp == host.timestamp && build->imageSize == host.imageSize) {
    LogInfo(std::wstring(L"Game build: ") + build->label + L" (exact executable the mapping was made from).");
  } else {
    LogInfo(std::wstring(L"Game build: ") + build->label +
            L" (code matches; timestamp or image size differ, so each feature still checks its game code).");
  }
  return true;
}

// Steps that run once the camera detours are in: entity runtime, input previews, particles.
BootstrapExit InstallCameraExtras(const PluginConfig& c) {
  std::wstring message;
  if (RequestsPlayerRuntime(c)) {
    if (InstallEntityRuntime(GetModuleHandleW(nullptr), c.handsRootInterpolation, c.handsPoseInterpolation,
                             c.worldRootInterpolation, c.ragdollPoseInterpolation, c.diagnostics, message)) {
      LogInfo(PlayerRuntimeInstalledLine(c));
    } else if (!RequestsRootOrPose(c)) {
      LogWrite(LogLevel::Warn, L"Root probe was unavailable: " + message);
    } else {
      UninstallCameraInterpolation();
      UninstallRenderUnlock();
      UninstallSwapRuntime();
      LogError(L"Player interpolation could not start: " + message);
      LogError(L"Fail-closed: behavioral hooks were rolled back.");
      return BootstrapExit::PlayerInterpolation;
    }
  }

  if (c.mouseOverlay) {
    message.clear();
    if (InstallMouseLookPreview(GetModuleHandleW(nullptr), c.diagnostics, message))
      LogInfo(L"Gameplay mouse-look preview installed: SDL relative-motion read and look-amount detours.");
    else
      LogError(L"Mouse-look preview could not start and stays off: " + message);
    message.clear();
    if (InstallGuiCursorPreview(GetModuleHandleW(nullptr), c.diagnostics, message))
      LogInfo(L"GUI cursor preview installed: GUI mouse-position detour.");
    else
      LogError(L"GUI cursor preview could not start and stays off: " + message);
  }

  if (c.particleInterpolation) {
    message.clear();
    if (InstallParticleInterpolation(GetModuleHandleW(nullptr), c.diagnostics, message))
      LogInfo(L"Particle interpolation installed: emitter motion and per-viewport graphics detours.");
    else
      LogError(L"Particle interpolation could not start and stays off: " + message);
  }
  return BootstrapExit::Complete;
}

BootstrapExit InstallRequestedFeatures(const PluginConfig& c) {
  std::wstring message;
  if (c.telemetryEnabled || c.presentationLimiter) {
    if (!InstallSwapRuntime(GetModuleHandleW(nullptr), c.telemetryEnabled, c.reportIntervalSeconds,
                            c.presentationLimiter, c.targetFps, message)) {
      LogError(L"SDL swap runtime could not start: " + message);
      LogError(L"Fail-closed: no behavioral hooks were installed.");
      return BootstrapExit::SwapRuntime;
    }
    if (c.telemetryEnabled) LogInfo(L"SDL_GL_SwapWindow cadence telemetry installed.");
    if (c.presentationLimiter) LogInfo(L"Presentation limiter installed at " + FormatUnsigned(c.targetFps) + L" FPS.");
  }

  if (c.renderUnlock) {
    message.clear();
    if (!InstallRenderUnlock(GetModuleHandleW(nullptr), message)) {
      UninstallSwapRuntime();
      LogError(L"Render unlock could not start: " + message);
      LogError(L"Fail-closed: stock cEngine::mbLimitFPS was not changed.");
      return BootstrapExit::RenderUnlock;
    }
    LogInfo(L"Guarded cEngine::Run render-unlock detour installed.");
  }

  if (c.cameraInterpolation) {
    message.clear();
    if (!InstallCameraInterpolation(GetModuleHandleW(nullptr), message)) {
      UninstallRenderUnlock();
      UninstallSwapRuntime();
      LogError(L"Camera interpolation could not start: " + message);
      LogError(L"Fail-closed: render unlock was rolled back.");
      return BootstrapExit::CameraInterpolation;
    }
    LogInfo(L"Guarded updater and listener-viewport interpolation detours installed.");
    const BootstrapExit extras = InstallCameraExtras(c);
    if (extras != BootstrapExit::Complete) return extras;
  }

  LogInfo(BootstrapCompleteLine(c));
  return BootstrapExit::Complete;
}

}  // namespace

BootstrapExit RunBootstrap(HMODULE plugin) {
  const std::wstring pluginPath = ModuleFilePath(plugin);
  if (pluginPath.empty()) {
    OutputDebugStringW(L"[QuarrenVelt.Framolt] Could not resolve plugin path.\n");
    return BootstrapExit::NoPluginPath;
  }
  const std::wstring iniPath = ReplaceExtension(pluginPath, L".ini");
  OpenRotatedLog(ReplaceExtension(pluginPath, L".log"), ReplaceExtension(pluginPath, L".previous.log"));

  LogInfo(std::wstring(kPluginName) + L" " + kPluginVersion + L" bootstrap starting (x64)");
  LogWrite(LogLevel::Debug, L"Plugin path: " + pluginPath);
  LogWrite(LogLevel::Debug, L"INI path: " + iniPath);

  const PluginConfig config = LoadPluginConfig(iniPath);
  if (!config.valid) {
    LogError(config.message);
    LogError(kFailClosedNoEngineHooks);
    return BootstrapExit::BadConfiguration;
  }
  SetDiagnostics(config.diagnostics);
  if (!config.enabled) {
    LogInfo(L"Plugin disabled by configuration.");
    return BootstrapExit::Complete;
  }

  if (!ValidateAndIdentifyHost()) return BootstrapExit::HostValidation;

  if (RequestsUnimplementedFeature(config)) {
    LogError(L"A behavioral feature was requested before its Velt mapping was implemented.");
    LogError(kFailClosedNoEngineHooks);
    return BootstrapExit::UnimplementedFeature;
  }
  if (const wchar_t* rule = FirstViolatedDependencyRule(config)) {
    LogError(rule);
    return BootstrapExit::DependencyRule;
  }
  if (config.presentationLimiter && config.targetFps == 0) {
    LogError(L"PresentationLimiter requires TargetFPS greater than zero.");
    return BootstrapExit::LimiterWithoutTarget;
  }
  if (config.motionTrace) LogWrite(LogLevel::Warn, L"MotionTrace is not available before timing hooks exist.");

  return InstallRequestedFeatures(config);
}

DWORD WINAPI BootstrapThreadProc(LPVOID plugin) {
  return static_cast<DWORD>(RunBootstrap(static_cast<HMODULE>(plugin)));
}
