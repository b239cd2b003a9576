#include "frame/frame_clock.h"

#include <atomic>
#include <cmath>

#include "core/perf_counter.h"
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
};

FrameClockState g_frame;

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
  void* engine = CurrentEngine();
  SchedulerClockFn schedulerClock = g_frame.schedulerClock.load(std::memory_order_acquire);
  if (engine == nullptr || schedulerClock == nullptr) return reading;
  void* scheduler = nullptr;
  if (!ReadHostValueAt(engine, host_layout::kEngineScheduler, scheduler) || scheduler == nullptr) return reading;
  uint64_t dueMs = 0;
  double unitMs = 0.0;
  double rate = 0.0;
  if (!ReadHostValueAt(scheduler, host_layout::kSchedulerDueMs, dueMs) ||
      !ReadHostValueAt(scheduler, host_layout::kSchedulerUnitMs, unitMs) ||
      !ReadHostValueAt(scheduler, host_layout::kSchedulerRate, rate))
    return reading;
  const uint64_t nowMs = schedulerClock(scheduler);
  const RenderPhaseResult phase = ComputeRenderPhase(dueMs, unitMs, rate, nowMs);
  reading.ok = phase.ok;
  reading.alpha = phase.alpha;
  reading.rawAlpha = phase.rawAlpha;
  return reading;
}

void SetResetHook(ResetHook hook, ResetHookFn fn) {
  g_frame.resetHooks[static_cast<size_t>(hook)].store(fn, std::memory_order_release);
}

void ResetInterpolationState() {
  for (auto& slot : g_frame.resetHooks)
    if (ResetHookFn fn = slot.load(std::memory_order_acquire)) fn();
  // Whatever suggested another camera or viewport also gets its memory looked at afresh.
  AdvanceRegionCacheEpoch();
}
