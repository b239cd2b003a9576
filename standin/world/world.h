// Process-wide state of the stand-in game and the operations its parts share.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "qv_host.h"

namespace qv {

// What the simulation last wrote into one camera (compared bitwise every step).
struct CameraShadow {
  float position[3] = {};
  float angles[3] = {};  // pitch, yaw, roll
  uint32_t mode = 0;
  float matrix[16] = {};
};

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

struct World {
  Options options;
  const QvHostBuild* build = nullptr;
  const QvHostServices* services = nullptr;
  uint8_t* base = nullptr;
  int64_t qpc_frequency = 1;
  int64_t qpc_start = 0;

  void* engine = nullptr;
  void* scheduler = nullptr;
  void* updater = nullptr;
  void* scene = nullptr;
  void* window = nullptr;
  void* viewports[kViewportCount] = {};
  void* cameras[kCameraCount] = {};
  void* listener_viewport = nullptr;

  // Simulation.
  CameraShadow shadows[kCameraCount];
  uint64_t steps = 0;
  double sim_seconds = 0.0;
  uint64_t violations = 0;
  std::wstring first_violation;
  uint64_t site_calls[QV_SITE_COUNT] = {};
  std::wstring failed_sites;  // host functions that misbehaved in CheckSites

  // Frames.
  uint64_t frames = 0;
  int64_t first_present = 0;
  int64_t last_present = 0;
  std::vector<FrameRow> rows;
  size_t row_capacity = 0;
  uint64_t rows_dropped = 0;
  FrameRow pending{};  // the listener viewport's draw, completed at present
};

World& TheWorld();

uint8_t* SiteAddress(int site);
int64_t QpcNow();
double QpcSeconds(int64_t counts);

// Engine: builds the objects and runs cEngine::Run through its site.
void CreateEngineObjects();
void RunEngineThroughSite();

// Simulation: one fixed step's camera work.
void CheckCamerasBeforeStep();
void SimulateStep(double step_seconds);

// Frames: rows and the CSV.
void ReserveFrameRows();
bool WriteFramesCsv(std::wstring* error);

// Host functions called from the world's own tests of the image.
int CheckSites();  // number of sites verified working

}  // namespace qv
