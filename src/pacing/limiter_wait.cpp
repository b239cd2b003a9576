#include "pacing/limiter_wait.h"

#include <windows.h>

#include <atomic>
#include <cmath>

#include "core/perf_counter.h"
#include "pacing/frame_pacing_plan.h"
#include "pacing/presentation_limiter.h"

namespace {

// ntdll's relative sleep in 100 ns units: under Wine it wakes within about 0.1 ms; where it is as
// coarse as Sleep, its learned overshoot passes the limit and the millisecond plan takes over.
using DelayExecutionFn = LONG(WINAPI*)(BOOLEAN alertable, const LARGE_INTEGER* interval);

// The system's timer resolution in 100 ns units, what timeBeginPeriod sets underneath.
using SetTimerResolutionFn = LONG(WINAPI*)(ULONG desired, BOOLEAN set, ULONG* actual);
constexpr ULONG kFineTimerResolution = 10000;  // 1 ms

std::atomic<DelayExecutionFn> g_delayExecution{nullptr};
std::atomic<SetTimerResolutionFn> g_setTimerResolution{nullptr};
std::atomic<bool> g_fineTimerHeld{false};
SleepSlack g_slack;  // render thread only

void YieldOnce() {
  // Nobody else ready: stay on the core, but let a sibling hyper-thread run.
  if (!SwitchToThread()) YieldProcessor();
}

}  // namespace

void InitLimiterWait() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return;
  g_delayExecution.store(reinterpret_cast<DelayExecutionFn>(
                             reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDelayExecution"))),
                         std::memory_order_release);
  g_setTimerResolution.store(reinterpret_cast<SetTimerResolutionFn>(
                                 reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetTimerResolution"))),
                             std::memory_order_release);
}

bool HoldFineTimer() {
  const SetTimerResolutionFn set = g_setTimerResolution.load(std::memory_order_acquire);
  if (set == nullptr || g_fineTimerHeld.load(std::memory_order_acquire)) return false;
  ULONG actual = 0;
  if (set(kFineTimerResolution, TRUE, &actual) < 0) return false;
  g_fineTimerHeld.store(true, std::memory_order_release);
  return true;
}

void ReleaseFineTimer() {
  const SetTimerResolutionFn set = g_setTimerResolution.load(std::memory_order_acquire);
  if (set == nullptr || !g_fineTimerHeld.exchange(false, std::memory_order_acq_rel)) return;
  ULONG actual = 0;
  set(kFineTimerResolution, FALSE, &actual);
}

namespace {

constexpr double kPresentSpinSeconds = 0.001;

void Wait(double deadlineSeconds, int64_t frequency, double spinSeconds) {
  if (frequency < 1 || !std::isfinite(deadlineSeconds)) {
    return;
  }
  const double perCount = 1.0 / static_cast<double>(frequency);
  for (;;) {
    int64_t count = 0;
    if (!ReadPerformanceCounter(&count)) {
      return;
    }
    const double remaining = deadlineSeconds - static_cast<double>(count) * perCount;
    if (!(remaining > 0.0)) {
      return;
    }
    if (remaining <= kSpinTailSeconds) {
      YieldProcessor();
      continue;
    }
    const DelayExecutionFn delay = g_delayExecution.load(std::memory_order_acquire);
    if (delay != nullptr && g_slack.seconds <= kPreciseSleepSlackLimit) {
      const double sleep = PlanPreciseSleep(remaining, g_slack, spinSeconds);
      if (sleep <= 0.0) {
        YieldOnce();
        continue;
      }
      LARGE_INTEGER interval;
      interval.QuadPart = -std::llround(sleep * 1e7);
      delay(FALSE, &interval);
      int64_t after = 0;
      if (!ReadPerformanceCounter(&after)) {
        return;
      }
      LearnSleepOvershoot(g_slack, static_cast<double>(after - count) * perCount - sleep);
      continue;
    }
    const WaitStep step = PlanWaitStep(remaining);
    switch (step.kind) {
      case WaitStepKind::Done:
        return;
      case WaitStepKind::Sleep:
        Sleep(step.sleepMilliseconds);
        break;
      case WaitStepKind::Yield:
        YieldOnce();
        break;
    }
  }
}

}  // namespace

void WaitUntil(double deadlineSeconds, int64_t frequency) { Wait(deadlineSeconds, frequency, kPresentSpinSeconds); }
void WaitUntilNear(double deadlineSeconds, int64_t frequency) { Wait(deadlineSeconds, frequency, 0.0); }
