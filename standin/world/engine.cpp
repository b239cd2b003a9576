// cEngine and its main loop: fixed steps on the scheduler's millisecond clock,
// updater messages after every step, and frames rendered viewport by viewport.
#include <cmath>
#include <cstdlib>

#include "layouts.h"
#include "world.h"
#include "world_exports.h"

namespace qv {
namespace {

using EngineRunFn = void (*)(void*);
using RunMessageFn = void (*)(void*, int, float);
using RenderViewportFn = void (*)(void*, void*, float, int);
using SchedulerClockFn = uint64_t (*)(void*);

constexpr int kMessageBeginStep = 3;
constexpr int kMessageStepCompleted = 5;
constexpr int kMessageAfterStep = 6;
// Behind by more than this, the schedule restarts at now instead of bursting steps.
constexpr double kMaxCatchUpMs = 250.0;
constexpr uint64_t kFullStepChangeTick = 720;
constexpr double kSpeedChangeRate = 50.0;

uint64_t SchedulerClock() {
  auto clock = reinterpret_cast<SchedulerClockFn>(SiteAddress(5));
  return clock(TheWorld().scheduler);
}

void SendMessage(int message, float value) {
  auto run_message = reinterpret_cast<RunMessageFn>(SiteAddress(1));
  run_message(TheWorld().updater, message, value);
}

double StepMs(void* scheduler) {
  return Load<double>(scheduler, SchedulerLayout::kUnitMs) / Load<double>(scheduler, SchedulerLayout::kRate);
}

void ApplyStepInjections(World& w) {
  const Options& o = w.options;
  if (o.listener_flag.set && w.steps + 1 == o.listener_flag.tick)
    Store<uint8_t>(w.listener_viewport, ViewportLayout::kListener, o.listener_flag.value);
}

void RunFixedStep(World& w) {
  CheckCamerasBeforeStep();
  ApplyStepInjections(w);
  double step_s = StepMs(w.scheduler) / 1000.0;
  SendMessage(kMessageBeginStep, static_cast<float>(w.sim_seconds));
  SimulateStep(step_s);
  ++w.steps;
  SendMessage(kMessageStepCompleted, static_cast<float>(step_s));
  // Same float as the completed step on purpose: only message 5 is a completed step.
  SendMessage(kMessageAfterStep, static_cast<float>(step_s));

  if (w.options.tamper_tick == w.steps) {
    // Outside any step: what a leaked render-time value would look like.
    float x = Load<float>(w.cameras[0], CameraLayout::kPosition) + 0.5f;
    Store<float>(w.cameras[0], CameraLayout::kPosition, x);
  }
  if (w.options.scenario == Scenario::Full && w.steps == kFullStepChangeTick) {
    double rate = w.options.tick_hz == kSpeedChangeRate ? 60.0 : kSpeedChangeRate;
    Store<double>(w.scheduler, SchedulerLayout::kRate, rate);
  }
}

bool LimitOn(const World& w) { return Load<uint8_t>(w.engine, EngineLayout::kLimitFps) != 0; }

void WaitMs(uint64_t now_ms, uint64_t until_ms) {
  if (until_ms > now_ms + 2) Sleep(1);
  else SwitchToThread();
}

void RenderFrame(World& w, double dt) {
  auto render = reinterpret_cast<RenderViewportFn>(SiteAddress(2));
  w.pending = FrameRow{};
  for (int i = 0; i < kViewportCount; ++i) {
    void* viewport = w.viewports[i];
    int64_t t0 = QpcNow();
    render(w.scene, viewport, static_cast<float>(dt), i);
    int64_t t1 = QpcNow();
    if (viewport == w.listener_viewport) w.pending.listener_call_us = QpcSeconds(t1 - t0) * 1e6;
  }
  w.services->present(w.window);

  QvPresentRecord present{};
  QvStandinPresentRecord(&present);
  if (w.frames == 0) w.first_present = present.last_counter;
  w.last_present = present.last_counter;
  ++w.frames;
  w.pending.present_s = QpcSeconds(present.last_counter - w.qpc_start);
  w.pending.steps = w.steps;
  if (w.rows.size() < w.row_capacity) w.rows.push_back(w.pending);
  else if (w.row_capacity) ++w.rows_dropped;

  if (w.options.naive_limit_fps > 0) Sleep(static_cast<DWORD>(1000.0 / w.options.naive_limit_fps));
}

void RunEngineLoop(void* engine) {
  World& w = TheWorld();
  void* scheduler = Load<void*>(engine, EngineLayout::kScheduler);
  uint64_t now = SchedulerClock();
  double due_exact = static_cast<double>(now);
  Store<uint64_t>(scheduler, SchedulerLayout::kDueMs, now);
  int64_t last_frame = QpcNow();
  int64_t next_frame = last_frame;

  while (w.steps < w.options.ticks) {
    now = SchedulerClock();
    uint64_t due = Load<uint64_t>(scheduler, SchedulerLayout::kDueMs);
    if (now >= due) {
      RunFixedStep(w);
      due_exact += StepMs(scheduler);
      if (static_cast<double>(now) > due_exact + kMaxCatchUpMs) due_exact = static_cast<double>(now);
      uint64_t next_due = static_cast<uint64_t>(std::llround(due_exact));
      Store<uint64_t>(scheduler, SchedulerLayout::kDueMs, next_due);
      // With the limit on the engine draws at most once per step, and not while behind.
      if (LimitOn(w) && w.steps < w.options.ticks && SchedulerClock() < next_due) {
        int64_t t = QpcNow();
        RenderFrame(w, QpcSeconds(t - last_frame));
        last_frame = t;
      }
      continue;
    }
    if (LimitOn(w)) {
      WaitMs(now, due);
      continue;
    }
    int64_t t = QpcNow();
    if (w.options.render_hz > 0 && t < next_frame) {
      // Frames on a steady beat: sleep while more than 2 ms remain, then yield to the deadline,
      // so the measured smoothness is the camera's, not this loop's.
      int64_t remaining_us = (next_frame - t) * 1000000 / w.qpc_frequency;
      if (remaining_us > 2000 && due > now + 2) Sleep(1);
      else SwitchToThread();
      continue;
    }
    RenderFrame(w, QpcSeconds(t - last_frame));
    last_frame = t;
    if (w.options.render_hz > 0) {
      int64_t period = static_cast<int64_t>(static_cast<double>(w.qpc_frequency) / w.options.render_hz);
      next_frame += period;
      if (next_frame < t) next_frame = t + period;  // late: no burst of frames
    }
  }
}

}  // namespace

void CreateEngineObjects() {
  World& w = TheWorld();
  // A read-only engine is a page of its own, so that only the engine changes protection.
  w.engine = w.options.engine_readonly
                 ? VirtualAlloc(nullptr, EngineLayout::kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                 : NewHostObject(EngineLayout::kSize);
  w.scheduler = NewHostObject(SchedulerLayout::kSize);
  w.updater = NewHostObject(0x100);
  w.scene = NewHostObject(0x100);
  w.window = NewHostObject(0x100);
  Store<void*>(w.engine, EngineLayout::kScheduler, w.scheduler);
  Store<void*>(w.engine, EngineLayout::kUpdater, w.updater);
  Store<void*>(w.engine, EngineLayout::kScene, w.scene);
  Store<void*>(w.engine, EngineLayout::kWindow, w.window);
  Store<uint8_t>(w.engine, EngineLayout::kLimitFps, w.options.limit_byte);
  DWORD old = 0;
  if (w.options.engine_readonly) VirtualProtect(w.engine, EngineLayout::kSize, PAGE_READONLY, &old);
  Store<double>(w.scheduler, SchedulerLayout::kUnitMs, 1000.0);
  Store<double>(w.scheduler, SchedulerLayout::kRate, w.options.tick_hz);

  for (int i = 0; i < kCameraCount; ++i) w.cameras[i] = NewHostObject(CameraLayout::kSize);
  for (int i = 0; i < kViewportCount; ++i) {
    void* v = NewHostObject(ViewportLayout::kSize);
    Store<void*>(v, ViewportLayout::kCompanion, NewHostObject(0x100));
    Store<void*>(v, ViewportLayout::kRenderList, NewHostObject(0x100));
    w.viewports[i] = v;
  }
  // Viewport 0 is the player's view (the listener); viewport 1 a second view with its own camera.
  w.listener_viewport = w.viewports[0];
  Store<void*>(w.viewports[0], ViewportLayout::kCamera, w.cameras[0]);
  Store<uint8_t>(w.viewports[0], ViewportLayout::kListener, 1);
  Store<void*>(w.viewports[1], ViewportLayout::kCamera, w.cameras[2]);
  Store<uint8_t>(w.viewports[1], ViewportLayout::kListener, 0);
}

void RunEngineThroughSite() {
  auto run = reinterpret_cast<EngineRunFn>(SiteAddress(0));
  run(TheWorld().engine);
}

}  // namespace qv

using namespace qv;

extern "C" {

void QvEngineRun(void* engine) {
  ++TheWorld().site_calls[0];
  RunEngineLoop(engine);
}

void QvUpdaterRunMessage(void* updater, int message, float value) {
  (void)updater;
  (void)message;
  (void)value;
  ++TheWorld().site_calls[1];
}

// Milliseconds since boot; the scheduler clock subtracts the game's start value.
uint64_t QvSchedulerClockRaw() {
  World& w = TheWorld();
  return static_cast<uint64_t>(QpcNow()) * 1000u / static_cast<uint64_t>(w.qpc_frequency);
}

}  // extern "C"
