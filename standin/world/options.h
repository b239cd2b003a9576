// The stand-in game's command line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "input.h"

namespace qv {

enum class Scenario {
  Full, Steady, SteadyWorld, World, Faults, Stress, FullLoad, Particles, ParticleCost,
  Skeletons, SkeletonLoad, CameraRide, SkeletonFaults
};

// --break-site swap@N: the SDL_GL_SwapWindow import's name entry, which only a reader of the
// import table looks at once the loader has filled the slot.
inline constexpr int kPresentImportSite = -2;
// The scheduler's millisecond clock: exact, coarse as a system tick, pausing, or jumping ahead.
enum class HostClock { Milliseconds, Coarse, Pausing, Jumping };

struct HeaderPatch {
  std::wstring field;  // timestamp, image-size, machine, magic, lfanew
  uint32_t value = 0;
};

struct SiteProtection {
  int site = -1;
  DWORD protection = 0;  // PAGE_NOACCESS or PAGE_EXECUTE_READ | PAGE_GUARD
};

template <class T>
struct TickInjection {
  bool set = false;
  T value{};
  uint64_t tick = 0;
};

struct Options {
  uint64_t ticks = 900;
  bool no_plugin = false;
  std::vector<HeaderPatch> patches;
  std::vector<int> break_sites;
  std::vector<SiteProtection> protections;
  double tick_hz = 60.0;
  double render_hz = 0.0;
  double naive_limit_fps = 0.0;
  double draw_us = 200.0;
  Scenario scenario = Scenario::Full;
  HostClock host_clock = HostClock::Milliseconds;
  uint8_t limit_byte = 1;
  TickInjection<uint8_t> listener_flag;
  TickInjection<uint32_t> camera_mode;
  uint64_t tamper_tick = 0;  // test only: change the camera behind the simulation's back
  uint64_t tamper_node_tick = 0;  // test only: the same for the first entity's reference node
  uint64_t tamper_body_tick = 0;  // test only: the same for the first body's matrix
  uint64_t tamper_bone_tick = 0;  // test only: the same for the player body's head bone
  bool call_sites = false;   // test only: call every host function once and check it
  bool engine_readonly = false;  // test only: the engine object sits on a read-only page
  std::wstring frames_path;
  std::wstring draw_log_path;
  InputScenario input_scenario = InputScenario::None;
  InputFault input_fault = InputFault::None;
  std::wstring input_log_path;
  bool help = false;
  // The main loop runs while the plug-in starts; damage done before the load lasts until its
  // start-up has ended, timed damage comes after timed_damage_frame presented frames.
  bool live = false;
  std::vector<int> timed_break_sites;
  std::vector<SiteProtection> timed_protections;
  uint64_t timed_damage_frame = 0;
  bool sample_memory = false;  // private memory after a tenth of the steps and at the end
};

// Fills options from the process command line; false with a one-line reason on error.
bool ParseOptions(Options* options, std::wstring* error);

void PrintUsage();

}  // namespace qv
