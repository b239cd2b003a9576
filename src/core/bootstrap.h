#pragma once
#include <windows.h>

#include <cstdint>

// Exit codes of the bootstrap thread.
enum class BootstrapExit : uint32_t {
  Complete = 0,             // or disabled by configuration
  NoPluginPath = 1,
  BadConfiguration = 2,
  HostValidation = 3,
  UnimplementedFeature = 4,
  DependencyRule = 5,
  LimiterWithoutTarget = 6,
  SwapRuntime = 7,
  RenderUnlock = 8,
  CameraInterpolation = 9,
  PlayerInterpolation = 10,
};

// Opens the log, loads the configuration, validates the host and installs what was asked for.
BootstrapExit RunBootstrap(HMODULE plugin);
DWORD WINAPI BootstrapThreadProc(LPVOID plugin);
