#include "frame/frame_clock.h"

#include <atomic>
#include <cmath>

#include "core/perf_counter.h"
#include "frame/render_phase_refine.h"
#include "host/hook_install.h"
#include "host/host_layout.h"
#include "host/host_memory.h"
#include "host/host_validation.h"
#include "pacing/render_unlock.h"

namespace {

using SchedulerClockFn = uint64_t (*)(void* scheduler);

struct FrameClockState {
  PresentationClock clock;
  uint64_t completedTicks = 0;
  std::atomic<int64_t> frequency{0};
  std::atomic<SchedulerClockFn> schedulerClock{nullptr};
  std::atomic<ResetHookFn> resetHooks[static_cast<size_t>(ResetHook::Count)] = {};
  DetourGate gate;
  RenderPhaseRefiner refiner;
};

FrameClockState g_frame;

double CountToMs(int64_t count, int64_t frequency) {
  return static_cast<double>(count) * 1000.0 / static_cast<double>(frequency);
}

void* RunningScheduler() {
  void* engine = CurrentEngine();
  void* scheduler = nullptr;
  if (engine == nullptr || !ReadHostValueAt(engine, host_layout::kEngineScheduler, scheduler)) return nullptr;
  return scheduler;
}

}  // namespace

bool InstallFrameClock(HMODULE host, std::wstring& message) {
  int64_t frequency = 0;
  if (!ReadPerformanceFrequency(&frequency) || frequency <= 0) {
    message = L"QueryPerformanceFrequency failed.";
    return false;
  }
  g_frame.frequency.store(frequency, std::memory_order_release);
  g_frame.schedulerClock.store(reinterpret_cast<SchedulerClockFn>(SiteAddress(host, SiteId::SchedulerClock)),
                               std::memory_order_release);
  return true;
}

DetourGate& FrameDetourGate() { return g_frame.gate; }

void UninstallFrameClock() {
  // The frequency stays: a detour still in flight may ask for the time once more.
  g_frame.schedulerClock.store(nullptr, std::memory_order_release);
}

PresentationClock& FrameClock() { return g_frame.clock; }
uint64_t CompletedTickCounter() { return g_frame.completedTicks; }
uint64_t CountCompletedTick() { return ++g_frame.completedTicks; }

bool NowSeconds(double* seconds) {
  const int64_t frequency = g_frame.frequency.load(std::memory_order_acquire);
  int64_t count = 0;
  if (frequency < 1 || !ReadPerformanceCounter(&count)) return false;
  const double value = static_cast<double>(count) / static_cast<double>(frequency);
  if (!std::isfinite(value)) return false;
  *seconds = value;
  return true;
}

RenderPhaseReading RenderPhase() {
  RenderPhaseReading reading;
  SchedulerClockFn schedulerClock = g_frame.schedulerClock.load(std::memory_order_acquire);
  void* scheduler = schedulerClock != nullptr ? RunningScheduler() : nullptr;
  if (scheduler == nullptr) return reading;
  uint64_t dueMs = 0;
  double unitMs = 0.0;
  double rate = 0.0;
  if (!ReadHostValueAt(scheduler, host_layout::kSchedulerDueMs, dueMs) ||
      !ReadHostValueAt(scheduler, host_layout::kSchedulerUnitMs, unitMs) ||
      !ReadHostValueAt(scheduler, host_layout::kSchedulerRate, rate))
    return reading;
  // The counter on both sides of the host's clock places its millisecond edges.
  const int64_t frequency = g_frame.frequency.load(std::memory_order_acquire);
  int64_t before = 0;
  int64_t after = 0;
  const bool timed = frequency >= 1 && ReadPerformanceCounter(&before);
  const uint64_t nowMs = schedulerClock(scheduler);
  RenderPhaseResult phase{};
  if (timed && ReadPerformanceCounter(&after)) {
    const PhaseObservation observation{dueMs, unitMs, rate, nowMs, CountToMs(before, frequency),
                                       CountToMs(after, frequency)};
    phase = RefineRenderPhase(g_frame.refiner, observation);
  } else {
    phase = ComputeRenderPhase(dueMs, unitMs, rate, nowMs);
  }
  reading.ok = phase.ok;
  reading.alpha = phase.alpha;
  reading.rawAlpha = phase.rawAlpha;
  return reading;
}

bool NextStepDueSeconds(double* seconds) {
  const int64_t frequency = g_frame.frequency.load(std::memory_order_acquire);
  void* scheduler = g_frame.schedulerClock.load(std::memory_order_acquire) != nullptr ? RunningScheduler() : nullptr;
  uint64_t dueMs = 0;
  double counterMs = 0.0;
  if (frequency < 1 || scheduler == nullptr || !ReadHostValueAt(scheduler, host_layout::kSchedulerDueMs, dueMs) ||
      !StepDueAt(g_frame.refiner, dueMs, &counterMs))
    return false;
  *seconds = counterMs / 1000.0;
  return true;
}

const PhaseRefineCounters& RenderPhaseRefineCounters() { return g_frame.refiner.counters; }

void SetResetHook(ResetHook hook, ResetHookFn fn) {
  g_frame.resetHooks[static_cast<size_t>(hook)].store(fn, std::memory_order_release);
}

void ResetInterpolationState() {
  for (auto& slot : g_frame.resetHooks)
    if (ResetHookFn fn = slot.load(std::memory_order_acquire)) fn();
  // Whatever suggested another camera or viewport also gets its memory looked at afresh.
  AdvanceRegionCacheEpoch();
}
