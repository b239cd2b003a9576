#pragma once
// Named host code locations and the build mapping they come from.
#include <cstddef>
#include <cstdint>

enum class SiteId : uint32_t {
  EngineRun = 0,
  UpdaterRunMessage = 1,
  SceneRenderViewport = 2,
  CameraSetPosition = 3,
  CameraSetRotationMatrix = 4,
  SchedulerClock = 5,
  InputLookAmount = 6,
  ImGuiSendMousePosition = 7,
  ImGuiDoMouse = 8,
  ImGuiImageDraw = 9,
  ParticleUpdateMotion = 10,
  ParticleGraphicsUpdate = 11,
  EntitySetMatrix = 12,
  EntitySetVarBool = 13,
  EntityGetMatrix = 14,
  EntityVirtualSetMatrix = 15,
  MatrixInverse = 16,
  MatrixMultiply = 17,
  NodeMatrixChanged = 18,
  BoneStateSetMatrix = 19,
  EntityNameResolver = 20,
  NewtonTransformCallback = 21,
  PropOnUpdate = 22,
  AgentOnUpdate = 23,
  AgentMeshGetter = 24,
};
inline constexpr size_t kSiteCount = 25;

struct HostSite {
  uint64_t rva;
  uint64_t length;            // 1..24
  uint8_t bytes[24];
};

struct BuildMapping {
  const wchar_t* label;
  uint32_t timestamp;
  uint32_t imageSize;
  HostSite sites[kSiteCount];
  uint64_t inputGlobalRva;
};

const BuildMapping* BuildMappings();   // the supported builds, in search order
size_t BuildMappingCount();
const char* SiteName(SiteId id);       // display name, e.g. "cEngine::Run"
