// Process-wide state of the stand-in game, split the way the host is: the engine (main loop,
// scheduler, viewports), the cameras, the entities, the physics world. Entities and physics keep
// their state in their own files (entities.h, physics.h); skeletons, particles, GUI and input
// join the same way. Every kind takes part in the leak check through the one shadow registry
// (shadow.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "qv_host.h"

namespace qv {

struct FrameRow {
  double present_s;
  uint64_t steps;
  uint32_t mode;
  float position[3];
  float angles[3];
  float matrix[16];
  double listener_call_us;
  double host_draw_us;
};

inline constexpr int kCameraCount = 3;  // 0, 1: listener cameras; 2: the second viewport's
inline constexpr int kViewportCount = 2;

struct EngineState {
  void* object = nullptr;  // cEngine
  void* scheduler = nullptr;
  void* updater = nullptr;
  void* scene = nullptr;
  void* window = nullptr;
  void* viewports[kViewportCount] = {};
  void* listener_viewport = nullptr;
  uint64_t site_calls[QV_SITE_COUNT] = {};
  std::wstring failed_sites;  // host functions that misbehaved in CheckSites
};

struct CameraState {
  void* objects[kCameraCount] = {};
  int shadows[kCameraCount][4] = {};  // position, angles, mode, matrix
};

struct FrameState {
  uint64_t count = 0;
  int64_t first_present = 0;
  int64_t last_present = 0;
  std::vector<FrameRow> rows;
  size_t row_capacity = 0;
  uint64_t rows_dropped = 0;
  FrameRow pending{};  // the listener viewport's draw, completed at present
};

struct World {
  Options options;
  const QvHostBuild* build = nullptr;
  const QvHostServices* services = nullptr;
  uint8_t* base = nullptr;
  int64_t qpc_frequency = 1;
  int64_t qpc_start = 0;

  uint64_t steps = 0;
  double sim_seconds = 0.0;
  volatile long callback_threads = 0;  // threads the Newton transform callback ran on

  EngineState engine;
  CameraState camera;
  FrameState frames;
};

World& TheWorld();

uint8_t* SiteAddress(int site);
int64_t QpcNow();
double QpcSeconds(int64_t counts);

// Engine: builds the objects and runs cEngine::Run through its site.
void CreateEngineObjects();
void RunEngineThroughSite();

// Cameras: objects bound to the viewports, and one fixed step's scripted camera work.
void CreateCameras();
void StepCameras(uint64_t step, double t);
void CaptureListenerCamera(void* viewport, FrameRow* row);
// The game's CameraSocket script: the listener camera in matrix mode at m (rotation and
// translation), written the way the scripted camera is.
void WriteListenerMatrixCamera(const float* m);
// The drawn listener camera in the draw log (kind camera, id listener).
void TrackListenerCamera();
// Where the player stands at scenario time t (outside scenario full's events): what the hands and
// body follow.
void PlayerEye(double t, float* position, float* yaw);

// Entities and physics (entities.h, physics.h) for the scenario.
void CreateWorldObjects();

// The fixed step of every kind, the leak check before it, and the game's own faults between.
void CheckWorldBeforeStep();
void SimulateStep(double step_seconds);
void AfterStep();

// Frames: rows and the CSV.
void ReserveFrameRows();
bool WriteFramesCsv(std::wstring* error);

// Host functions called from the world's own tests of the image.
int CheckSites();  // number of sites verified working

}  // namespace qv
