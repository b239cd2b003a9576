#include "pacing/swap_runtime.h"

#include <algorithm>
#include <atomic>
#include <string_view>

#include "core/log.h"
#include "core/perf_counter.h"
#include "core/text.h"
#include "frame/frame_clock.h"
#include "host/hook_install.h"
#include "host/import_slot.h"
#include "pacing/cadence_histogram.h"
#include "pacing/frame_pacing_plan.h"
#include "pacing/limiter_wait.h"
#include "pacing/presentation_limiter.h"
#include "pacing/sample_to_present.h"

namespace {

constexpr std::wstring_view kFrequencyFailed = L"QueryPerformanceFrequency failed.";
constexpr std::wstring_view kTargetFpsRefused = L"PresentationLimiter requires TargetFPS in the range 1..1000.";
constexpr std::wstring_view kLocateFailedPrefix = L"Could not locate SDL_GL_SwapWindow: ";
constexpr std::wstring_view kAlreadyInstalled = L"SDL_GL_SwapWindow already passes through the swap runtime.";
constexpr std::wstring_view kReporterFailed =
    L"Swap hook installed, but the telemetry reporter thread could not start.";

constexpr double kStepRateMarginSeconds = 0.001;
constexpr size_t kCadenceMovedCapacity = 128;
constexpr const wchar_t* kCadenceMovedFormat = L"Present cadence moved %u time(s) to keep a step's due time off the sample.";
constexpr DWORD kMaxReportSleepMilliseconds = 0xFFFFFFFEu;  // one below INFINITE

struct SwapRuntimeState {
  std::atomic<SwapWindowFunction> original{nullptr};
  // SDL's present as first found; never cleared, so a present that reached the detour just as
  // the runtime was removed is still forwarded.
  std::atomic<SwapWindowFunction> lastOriginal{nullptr};
  // The swap detour and PaceBeforeSample pass it before they touch the limiter or the figures;
  // removal resets the limiter only once they are out.
  DetourGate gate;
  uint64_t* slot = nullptr;  // bootstrap thread only
  // Written by the installer before the slot is swapped, read by the render and reporter threads.
  std::atomic<int64_t> frequency{0};
  std::atomic<uint32_t> reportIntervalSeconds{0};
  std::atomic<bool> telemetryOn{false};
  std::atomic<bool> limiterOn{false};
  // Render thread only, apart from configuration before the slot swap and the reset at removal.
  std::atomic<bool> samplePending{false};
  int64_t sampleTime = 0;  // 0: the paced sample's time could not be read
  double frameDeadline = 0.0;    // taken right after the previous present; 0: none yet
  double presentDeadline = 0.0;  // set when the sample went ahead of its deadline: the present waits
  PresentationLimiter limiter;
  FramePacer pacer;
  CadenceHistogram cadence;
  SampleToPresentStats delay;
  std::atomic<uint32_t> cadenceMoves{0};  // since the last report
};

SwapRuntimeState g_swap;
std::atomic<const SwapRuntimeTestHooks*> g_testHooks{nullptr};

uint64_t DetourSlotValue() {
  return reinterpret_cast<uint64_t>(&SwapWindowDetour);
}

DWORD WINAPI SwapReporterMain(LPVOID) {
  for (;;) {
    const uint64_t seconds = std::max<uint32_t>(g_swap.reportIntervalSeconds.load(std::memory_order_relaxed), 1);
    Sleep(static_cast<DWORD>(std::min<uint64_t>(seconds * 1000, kMaxReportSleepMilliseconds)));
    const SwapReport report = TakeSwapReport();
    if (report.hasCadence) {
      LogWrite(LogLevel::Info, report.cadence);
    }
    if (report.hasDelay) {
      LogWrite(LogLevel::Info, report.delay);
    }
    if (const uint32_t moves = g_swap.cadenceMoves.exchange(0, std::memory_order_relaxed); moves > 0) {
      LogWrite(LogLevel::Debug, FormatBounded(kCadenceMovedCapacity, kCadenceMovedFormat, moves));
    }
  }
}

bool StartReporterThread() {
  const SwapRuntimeTestHooks* hooks = g_testHooks.load(std::memory_order_acquire);
  if (hooks != nullptr && hooks->startReporter != nullptr) {
    return hooks->startReporter();
  }
  HANDLE thread = CreateThread(nullptr, 0, &SwapReporterMain, nullptr, 0, nullptr);
  if (thread == nullptr) {
    return false;
  }
  CloseHandle(thread);
  return true;
}

double CountToSeconds(int64_t count, int64_t frequency) {
  return static_cast<double>(count) / static_cast<double>(frequency);
}

}  // namespace

bool InstallSwapRuntime(HMODULE host, bool telemetryOn, uint32_t reportIntervalSeconds, bool limiterOn,
                        uint32_t targetFps, std::wstring& message) {
  message.clear();
  int64_t frequency = 0;
  if (!ReadPerformanceFrequency(&frequency) || frequency < 1) {
    message = kFrequencyFailed;
    return false;
  }
  if (limiterOn && !ConfigurePresentationLimiter(g_swap.limiter, targetFps)) {
    message = kTargetFpsRefused;
    return false;
  }
  const ImportSlotLookup lookup = FindImportSlot(host, "SDL2.dll", "SDL_GL_SwapWindow");
  if (lookup.slot == nullptr || lookup.value == 0) {
    message = std::wstring(kLocateFailedPrefix) + lookup.message;
    return false;
  }
  // Forwarding to ourselves would recurse on the first present.
  if (lookup.value == DetourSlotValue()) {
    message = kAlreadyInstalled;
    return false;
  }

  // Everything the detour reads is in place before the slot points at it.
  g_swap.frequency.store(frequency, std::memory_order_relaxed);
  g_swap.reportIntervalSeconds.store(reportIntervalSeconds, std::memory_order_relaxed);
  g_swap.telemetryOn.store(telemetryOn, std::memory_order_relaxed);
  g_swap.limiterOn.store(limiterOn, std::memory_order_relaxed);
  g_swap.samplePending.store(false, std::memory_order_relaxed);
  g_swap.sampleTime = 0;
  g_swap.frameDeadline = 0.0;
  g_swap.presentDeadline = 0.0;
  g_swap.pacer = FramePacer{};
  g_swap.cadence.lastCount = 0;
  InitLimiterWait();
  g_swap.original.store(reinterpret_cast<SwapWindowFunction>(lookup.value), std::memory_order_release);
  g_swap.lastOriginal.store(reinterpret_cast<SwapWindowFunction>(lookup.value), std::memory_order_release);
  OpenDetourGate(g_swap.gate);

  const SwapRuntimeTestHooks* hooks = g_testHooks.load(std::memory_order_acquire);
  if (hooks != nullptr && hooks->afterLookup != nullptr) {
    hooks->afterLookup(lookup.slot);
  }

  std::wstring replaceMessage;
  if (!ReplaceImportSlot(lookup.slot, lookup.value, DetourSlotValue(), replaceMessage)) {
    g_swap.original.store(nullptr, std::memory_order_release);
    g_swap.telemetryOn.store(false, std::memory_order_relaxed);
    g_swap.limiterOn.store(false, std::memory_order_relaxed);
    CloseDetourGate(g_swap.gate);
    message = replaceMessage;
    return false;
  }
  g_swap.slot = lookup.slot;
  if (!replaceMessage.empty()) {
    LogWrite(LogLevel::Warn, replaceMessage);
  }

  if (telemetryOn && !StartReporterThread()) {
    UninstallSwapRuntime();
    message = kReporterFailed;
    return false;
  }
  if (limiterOn) HoldFineTimer();
  return true;
}

void UninstallSwapRuntime() {
  g_swap.telemetryOn.store(false, std::memory_order_relaxed);
  g_swap.limiterOn.store(false, std::memory_order_relaxed);
  // The render thread may be inside NextDeadline: the limiter is reset once it has left.
  CloseDetourGate(g_swap.gate);
  ResetPresentationLimiter(g_swap.limiter);
  ReleaseFineTimer();
  g_swap.samplePending.store(false, std::memory_order_relaxed);

  const SwapWindowFunction original = g_swap.original.load(std::memory_order_acquire);
  bool restored = true;
  if (g_swap.slot != nullptr && original != nullptr) {
    std::wstring ignored;
    restored = ReplaceImportSlot(g_swap.slot, DetourSlotValue(), reinterpret_cast<uint64_t>(original), ignored);
  }
  // When another hooker has since chained onto the detour, the slot stays theirs and their chain
  // still ends here: keep forwarding to SDL, or every present would be swallowed.
  if (restored) {
    g_swap.original.store(nullptr, std::memory_order_release);
  }
  g_swap.slot = nullptr;
}

namespace {

// The wait is split only where frames come faster than steps. At or below the step rate a step
// that the host's look at its schedule just misses runs together with the next one a frame
// later, and the frame between has no tick pair to blend; the wait in front of the sample alone
// keeps one step per frame there.
bool FramesOutpaceSteps() {
  return g_swap.limiter.interval < FrameClock().fixedStep - kStepRateMarginSeconds;
}

// The frame's deadline, from the limiter when the wait after the previous present did not take it.
double TakeFrameDeadline(double nowSeconds) {
  const double deadline = g_swap.frameDeadline;
  g_swap.frameDeadline = 0.0;
  return deadline > 0.0 ? deadline : NextDeadline(g_swap.limiter, nowSeconds);
}

}  // namespace

void PaceBeforeSample() {
  const GatePass pass(g_swap.gate);
  if (!pass.Open()) {
    return;
  }
  const int64_t frequency = g_swap.frequency.load(std::memory_order_relaxed);
  if (!g_swap.limiterOn.load(std::memory_order_relaxed) || frequency < 1 ||
      g_swap.samplePending.load(std::memory_order_relaxed)) {
    return;
  }
  int64_t now = 0;
  if (!ReadPerformanceCounter(&now)) {
    return;
  }
  const double nowSeconds = CountToSeconds(now, frequency);
  LearnFrameLead(g_swap.pacer, nowSeconds);
  const double deadline = TakeFrameDeadline(nowSeconds);
  double stepDue = 0.0;
  const bool stepDueKnown = FramesOutpaceSteps() && NextStepDueSeconds(&stepDue);
  const double sampleAt = PlanSampleTime(deadline, nowSeconds, stepDueKnown, stepDue);
  WaitUntil(sampleAt, frequency);
  g_swap.presentDeadline = sampleAt < deadline ? deadline : 0.0;
  int64_t sampleTime = 0;
  g_swap.sampleTime = ReadPerformanceCounter(&sampleTime) ? sampleTime : 0;
  g_swap.samplePending.store(true, std::memory_order_relaxed);
}

namespace {

// Right after a paced frame's present: the bulk of the next frame's wait, before the host looks at
// its schedule, so the steps that fall due meanwhile run before the next sample.
// The deadline is taken here, before the wait, so a wait or a host that overruns makes this one
// present late but leaves the cadence where it was.
void WaitAheadOfNextFrame(int64_t frequency) {
  if (!FramesOutpaceSteps()) return;
  int64_t now = 0;
  if (!ReadPerformanceCounter(&now)) return;
  const double nowSeconds = CountToSeconds(now, frequency);
  double nextDeadline = NextDeadline(g_swap.limiter, nowSeconds);
  double stepDue = 0.0;
  const bool stepDueKnown = NextStepDueSeconds(&stepDue);
  const double moved =
      PlanCadenceMove(g_swap.pacer, nextDeadline, g_swap.limiter.interval, nowSeconds, stepDueKnown, stepDue);
  if (moved > 0.0) {
    MoveLastDeadline(g_swap.limiter, moved);
    nextDeadline = moved;
    g_swap.cadenceMoves.fetch_add(1, std::memory_order_relaxed);
  }
  g_swap.frameDeadline = nextDeadline;
  WaitUntilNear(PlanEarlyWaitEnd(g_swap.pacer, nextDeadline, g_swap.limiter.interval, stepDueKnown, stepDue),
                frequency);
  int64_t end = 0;
  g_swap.pacer.earlyWaitEnd = ReadPerformanceCounter(&end) ? CountToSeconds(end, frequency) : 0.0;
}

}  // namespace

void SwapWindowDetour(void* window) {
  SwapWindowFunction original = g_swap.original.load(std::memory_order_acquire);
  if (original == nullptr) {
    original = g_swap.lastOriginal.load(std::memory_order_acquire);
  }
  const GatePass pass(g_swap.gate);
  int64_t now = 0;
  bool pending = false;
  const int64_t frequency = g_swap.frequency.load(std::memory_order_relaxed);
  const bool limiterOn = frequency >= 1 && g_swap.limiterOn.load(std::memory_order_relaxed);
  if (pass.Open() && ReadPerformanceCounter(&now)) {
    pending = g_swap.samplePending.exchange(false, std::memory_order_relaxed);
    const bool telemetryOn = g_swap.telemetryOn.load(std::memory_order_relaxed);
    if (pending && limiterOn && g_swap.presentDeadline > 0.0) {
      // The sample went ahead of a step's due time: the present still keeps its place.
      const double sampled = g_swap.sampleTime > 0 ? CountToSeconds(g_swap.sampleTime, frequency) : 0.0;
      WaitUntil(PlanPresentTime(g_swap.presentDeadline, sampled, CountToSeconds(now, frequency)), frequency);
      if (!ReadPerformanceCounter(&now)) now = 0;
    }
    g_swap.presentDeadline = 0.0;
    if (pending && telemetryOn && g_swap.sampleTime > 0 && now > 0) {
      RecordSampleToPresent(g_swap.delay, now - g_swap.sampleTime);
    }
    if (!pending && limiterOn) {
      WaitUntil(TakeFrameDeadline(CountToSeconds(now, frequency)), frequency);
      // An unreadable counter after the wait leaves this interval unmeasured (counted invalid).
      if (!ReadPerformanceCounter(&now)) {
        now = 0;
      }
    }
    if (telemetryOn) {
      RecordPresentInterval(g_swap.cadence, now, frequency);
    }
  }
  if (original != nullptr) {
    original(window);
  }
  if (pending && limiterOn) WaitAheadOfNextFrame(frequency);
}

SwapWindowFunction SwapRuntimeOriginal() {
  return g_swap.original.load(std::memory_order_acquire);
}

SwapReport TakeSwapReport() {
  SwapReport report;
  report.hasCadence = TakeCadenceReport(g_swap.cadence, report.cadence);
  report.hasDelay =
      TakeSampleToPresentReport(g_swap.delay, g_swap.frequency.load(std::memory_order_relaxed), report.delay);
  return report;
}

void SetSwapRuntimeTestHooksForTest(const SwapRuntimeTestHooks* hooks) {
  g_testHooks.store(hooks, std::memory_order_release);
}
