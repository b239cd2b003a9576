// cEngine and its main loop: fixed steps on the scheduler's millisecond clock,
// updater messages after every step, and frames rendered viewport by viewport.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "draw_log.h"
#include "gui.h"
#include "layouts.h"
#include "live_start.h"
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
  return clock(TheWorld().engine.scheduler);
}

void SendMessage(int message, float value) {
  auto run_message = reinterpret_cast<RunMessageFn>(SiteAddress(1));
  run_message(TheWorld().engine.updater, message, value);
}

double StepMs(void* scheduler) {
  return Load<double>(scheduler, SchedulerLayout::kUnitMs) / Load<double>(scheduler, SchedulerLayout::kRate);
}

void ApplyStepInjections(World& w) {
  const Options& o = w.options;
  if (o.listener_flag.set && w.steps + 1 == o.listener_flag.tick)
    Store<uint8_t>(w.engine.listener_viewport, ViewportLayout::kListener, o.listener_flag.value);
}

void RunFixedStep(World& w) {
  CheckWorldBeforeStep();
  ApplyStepInjections(w);
  double step_s = StepMs(w.engine.scheduler) / 1000.0;
  SendMessage(kMessageBeginStep, static_cast<float>(w.sim_seconds));
  SimulateStep(step_s);
  ++w.steps;
  SendMessage(kMessageStepCompleted, static_cast<float>(step_s));
  // Same float as the completed step on purpose: only message 5 is a completed step.
  SendMessage(kMessageAfterStep, static_cast<float>(step_s));
  AfterStep();

  if (w.options.tamper_tick == w.steps) {
    // Outside any step: what a leaked render-time value would look like.
    float x = Load<float>(w.camera.objects[0], CameraLayout::kPosition) + 0.5f;
    Store<float>(w.camera.objects[0], CameraLayout::kPosition, x);
  }
  if (w.options.scenario == Scenario::Full && w.steps == kFullStepChangeTick) {
    double rate = w.options.tick_hz == kSpeedChangeRate ? 60.0 : kSpeedChangeRate;
    Store<double>(w.engine.scheduler, SchedulerLayout::kRate, rate);
  }
}

bool LimitOn(const World& w) { return Load<uint8_t>(w.engine.object, EngineLayout::kLimitFps) != 0; }

void WaitMs(uint64_t now_ms, uint64_t until_ms) {
  if (until_ms > now_ms + 2) Sleep(1);
  else SwitchToThread();
}

void RenderFrame(World& w, double dt) {
  auto render = reinterpret_cast<RenderViewportFn>(SiteAddress(2));
  FrameState& f = w.frames;
  f.pending = FrameRow{};
  MoveOsCursor();
  for (int i = 0; i < kViewportCount; ++i) {
    void* viewport = w.engine.viewports[i];
    int64_t t0 = QpcNow();
    render(w.engine.scene, viewport, static_cast<float>(dt), i);
    int64_t t1 = QpcNow();
    if (viewport == w.engine.listener_viewport) f.pending.listener_call_us = QpcSeconds(t1 - t0) * 1e6;
  }
  DrawGui();
  w.services->present(w.engine.window);

  QvPresentRecord present{};
  QvStandinPresentRecord(&present);
  if (f.count == 0) f.first_present = present.last_counter;
  f.last_present = present.last_counter;
  ++f.count;
  LiveFrame(f.count);
  f.pending.present_s = QpcSeconds(present.last_counter - w.qpc_start);
  f.pending.steps = w.steps;
  if (f.rows.size() < f.row_capacity) f.rows.push_back(f.pending);
  else if (f.row_capacity) ++f.rows_dropped;
  EndDrawLogFrame(f.pending.present_s);

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
  // Damaged host code has to be whole again before this function returns into it.
  if (w.options.live) FinishLiveStart(kLiveStartWaitMs);
}

}  // namespace

void CreateEngineObjects() {
  World& w = TheWorld();
  EngineState& e = w.engine;
  // A read-only engine is a page of its own, so that only the engine changes protection.
  e.object = w.options.engine_readonly
                 ? VirtualAlloc(nullptr, EngineLayout::kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                 : NewHostObject(EngineLayout::kSize);
  e.scheduler = NewHostObject(SchedulerLayout::kSize);
  e.updater = NewHostObject(0x100);
  e.scene = NewHostObject(0x100);
  e.window = NewHostObject(0x100);
  Store<void*>(e.object, EngineLayout::kScheduler, e.scheduler);
  Store<void*>(e.object, EngineLayout::kUpdater, e.updater);
  Store<void*>(e.object, EngineLayout::kScene, e.scene);
  Store<void*>(e.object, EngineLayout::kWindow, e.window);
  Store<uint8_t>(e.object, EngineLayout::kLimitFps, w.options.limit_byte);
  DWORD old = 0;
  if (w.options.engine_readonly) VirtualProtect(e.object, EngineLayout::kSize, PAGE_READONLY, &old);
  Store<double>(e.scheduler, SchedulerLayout::kUnitMs, 1000.0);
  Store<double>(e.scheduler, SchedulerLayout::kRate, w.options.tick_hz);

  for (int i = 0; i < kViewportCount; ++i) {
    void* v = NewHostObject(ViewportLayout::kSize);
    Store<void*>(v, ViewportLayout::kCompanion, NewHostObject(0x100));
    Store<void*>(v, ViewportLayout::kRenderList, NewHostObject(0x100));
    e.viewports[i] = v;
  }
  e.listener_viewport = e.viewports[0];
  Store<uint8_t>(e.viewports[0], ViewportLayout::kListener, 1);
  Store<uint8_t>(e.viewports[1], ViewportLayout::kListener, 0);
}

void RunEngineThroughSite() {
  auto run = reinterpret_cast<EngineRunFn>(SiteAddress(0));
  run(TheWorld().engine.object);
}

}  // namespace qv

using namespace qv;

extern "C" {

void QvEngineRun(void* engine) {
  ++TheWorld().engine.site_calls[0];
  RunEngineLoop(engine);
}

void QvUpdaterRunMessage(void* updater, int message, float value) {
  (void)updater;
  (void)message;
  (void)value;
  ++TheWorld().engine.site_calls[1];
}

// Milliseconds since boot; the scheduler clock subtracts the game's start value.
uint64_t QvSchedulerClockRaw() {
  World& w = TheWorld();
  const int64_t now = QpcNow();
  const uint64_t ms = static_cast<uint64_t>(now) * 1000u / static_cast<uint64_t>(w.qpc_frequency);
  const double run_s = QpcSeconds(now - w.qpc_start);
  const double periods = std::floor(run_s / 2.0);
  switch (w.options.host_clock) {
    case HostClock::Milliseconds:
      break;
    case HostClock::Coarse:  // a 64 Hz system tick
      return static_cast<uint64_t>(std::floor(std::floor(static_cast<double>(ms) / 15.625) * 15.625));
    case HostClock::Pausing: {  // the time it stood still is lost for good
      const double standing_ms = 100.0 * periods + 1000.0 * std::max(0.0, run_s - 2.0 * periods - 1.9);
      return ms - static_cast<uint64_t>(standing_ms);
    }
    case HostClock::Jumping:
      return ms + static_cast<uint64_t>(150.0 * periods);
  }
  return ms;
}

}  // extern "C"
