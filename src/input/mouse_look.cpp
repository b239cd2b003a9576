#include "input/mouse_look.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/log.h"
#include "core/perf_counter.h"
#include "core/text.h"
#include "frame/frame_clock.h"
#include "frame/tick_detour.h"
#include "host/hook_install.h"
#include "host/host_memory.h"
#include "host/host_validation.h"
#include "host/import_slot.h"
#include "host/minhook_api.h"
#include "input/input_layout.h"
#include "input/look_model.h"

namespace {

using SdlReadFn = uint32_t (*)(int* x, int* y);
using SdlPumpFn = void (*)();
using SdlModeFn = int (*)();
using LookAmountFn = float (*)(void* handler, float* look, void* a, void* b);

constexpr wchar_t kNullHost[] = L"Host module is null while installing the mouse preview.";
constexpr wchar_t kSiteMismatch[] = L"Look-amount entry bytes do not match the supported build.";
constexpr wchar_t kImportsMissing[] = L"Could not locate the SDL relative-mouse imports.";
constexpr uint64_t kReportIntervalMs = 5000;
constexpr int kMaxRawMessagesPerFrame = 512;
constexpr UINT kRawInputMessage = 0x00FF;  // WM_INPUT
constexpr uint64_t kRawInputRecheckMs = 1000;
constexpr float kPi = 3.14159265358979323846f;

struct TickInputAccumulator {
  int64_t deliveredX = 0;
  int64_t deliveredY = 0;
  uint32_t reads = 0;
  uint32_t lookCalls = 0;
  float lookYaw = 0.0f;
  float lookPitch = 0.0f;
  SmoothingRecord smoothing;
  bool smoothingWellFormed = false;
  bool invert = false;
};

struct TickLookSnapshot {
  uint64_t tick = 0;
  float lookYaw = 0.0f;
  float lookPitch = 0.0f;
  SmoothingSums sums;
  bool invert = false;
  bool usable = false;
};

// Interval counters of the periodic report.
struct MouseLookCounters {
  uint64_t ticks = 0;
  uint64_t reads = 0;
  uint64_t lookCalls = 0;
  uint64_t unusableTicks = 0;
  uint64_t yawExplained = 0;
  uint64_t yawUnexplained = 0;
  uint64_t pitchExplained = 0;
  uint64_t pitchUnexplained = 0;
  uint64_t frames = 0;
  uint64_t lead = 0;
  uint64_t stale = 0;
  uint64_t rejected = 0;
  uint64_t gathered = 0;
  int64_t delivered = 0;
  uint64_t rawPackets = 0;
  uint64_t rawPacketsMaxPerFrame = 0;
  uint64_t maxGatheredPerFrame = 0;
  int64_t maxPending = 0;
  float maxLeadYaw = 0.0f;
  float maxLeadPitch = 0.0f;
  uint64_t ticksWithheld = 0;
  uint64_t matrixTicks = 0;
  uint64_t matrixRowExplained = 0;
  uint64_t matrixColumnExplained = 0;
  bool smoothingSeen = false;  // the settings of the last usable tick with smoothing
  int32_t smoothingWindow = 0;
  float smoothingWeight = 0.0f;
};

struct MouseLookState {
  std::atomic<bool> installed{false};
  std::atomic<DWORD> gameThread{0};
  std::atomic<SdlReadFn> savedRead{nullptr};
  std::atomic<SdlPumpFn> pump{nullptr};
  std::atomic<SdlModeFn> relativeMode{nullptr};
  LookAmountFn lookOriginal = nullptr;  // trampoline slot
  uint64_t* slot = nullptr;             // bootstrap thread only
  void* lookTarget = nullptr;
  const void* inputGlobal = nullptr;
  bool diagnostics = false;
  int64_t frequency = 0;

  // Game thread only from here on.
  int64_t pendingX = 0;
  int64_t pendingY = 0;
  TickInputAccumulator tick;
  TickLookSnapshot snapshot;
  float countScale = 0.0f;
  bool countScaleValid = false;
  LookGainEstimator cameraGain;
  LookGainEstimator rowGain;
  LookGainEstimator columnGain;
  AxisTrust yaw;
  AxisTrust pitch;
  uint64_t lastJudgedTick = 0;
  uint64_t lastMatrixTick = 0;
  double lastFrameTime = 0.0;
  MouseLookCounters counters;
  uint64_t lastReportMs = 0;
  uint64_t rawInputCheckedMs = 0;
  bool rawInputRegistered = false;
};

MouseLookState g_look;

bool OnGameThread() {
  const DWORD game = g_look.gameThread.load(std::memory_order_relaxed);
  return game != 0 && game == GetCurrentThreadId();
}

int32_t ClampToCount(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                   std::numeric_limits<int32_t>::max()));
}

// Hands the game its fresh counts plus everything read at render time since its last read.
uint32_t RelativeMouseStateReplacement(int* x, int* y) {
  const SdlReadFn read = g_look.savedRead.load(std::memory_order_acquire);
  if (read == nullptr) return 0;
  if (!g_look.installed.load(std::memory_order_acquire) || !OnGameThread()) return read(x, y);
  int freshX = 0;
  int freshY = 0;
  const uint32_t buttons = read(&freshX, &freshY);
  const int64_t sumX = g_look.pendingX + freshX;
  const int64_t sumY = g_look.pendingY + freshY;
  // What an int cannot carry stays pending for the next read rather than being lost.
  const int32_t givenX = ClampToCount(sumX);
  const int32_t givenY = ClampToCount(sumY);
  if (x != nullptr && y != nullptr) {
    g_look.pendingX = sumX - givenX;
    g_look.pendingY = sumY - givenY;
    *x = givenX;
    *y = givenY;
    g_look.tick.deliveredX += givenX;
    g_look.tick.deliveredY += givenY;
    ++g_look.tick.reads;
    g_look.counters.delivered += std::llabs(static_cast<int64_t>(givenX)) + std::llabs(static_cast<int64_t>(givenY));
    return buttons;
  }
  // A caller that asked for one axis only still receives that axis; the other stays pending.
  g_look.pendingX = sumX;
  g_look.pendingY = sumY;
  if (x != nullptr) {
    *x = givenX;
    g_look.pendingX = sumX - givenX;
  }
  if (y != nullptr) {
    *y = givenY;
    g_look.pendingY = sumY - givenY;
  }
  return buttons;
}

template <typename T>
bool ReadAt(const void* base, size_t offset, T& out) {
  return ReadHostValueAt(base, offset, out);
}

// True unless a set flag behind the input global turns smoothing off; an unreadable chain is malformed.
bool SmoothingOverridden(bool* readable) {
  *readable = true;
  if (g_look.inputGlobal == nullptr) return false;
  const void* object = nullptr;
  if (!ReadHostValue(g_look.inputGlobal, object)) return *readable = false;
  if (object == nullptr) return false;
  const void* child = nullptr;
  if (!ReadAt(object, input_layout::kInputGlobalChild, child)) return *readable = false;
  if (child == nullptr) return false;
  uint8_t flag = 0;
  if (!ReadAt(child, input_layout::kInputGlobalSmoothingOffFlag, flag)) return *readable = false;
  return flag != 0;
}

// Copies the host's smoothing state; false when it is unreadable or the list is not what it should be.
bool ReadSmoothingRecord(const void* handler, SmoothingRecord& record) {
  record = SmoothingRecord{};
  uint8_t on = 0;
  if (!ReadAt(handler, input_layout::kHandlerSmoothingOn, on)) return false;
  bool readable = true;
  const bool overridden = SmoothingOverridden(&readable);
  if (!readable) return false;
  if (on == 0 || overridden) return true;
  record.present = true;
  const void* sentinel = nullptr;
  if (!ReadAt(handler, input_layout::kHandlerSmoothingWindow, record.window) ||
      !ReadAt(handler, input_layout::kHandlerSmoothingWeight, record.weight) ||
      !ReadAt(handler, input_layout::kHandlerSampleList, sentinel) ||
      !ReadAt(handler, input_layout::kHandlerSampleCount, record.size))
    return false;
  if (sentinel == nullptr || record.size > kSmoothingSampleCapacity) return false;
  const void* node = nullptr;
  if (!ReadAt(sentinel, input_layout::kSampleNext, node)) return false;
  for (uint64_t i = 0; i < record.size; ++i) {
    if (node == nullptr || node == sentinel) return false;
    if (!ReadAt(node, input_layout::kSampleX, record.x[i]) || !ReadAt(node, input_layout::kSampleY, record.y[i]) ||
        !ReadAt(node, input_layout::kSampleNext, node))
      return false;
  }
  return node == sentinel;
}

float LookAmountDetour(void* handler, float* look, void* a, void* b) {
  const float result = g_look.lookOriginal(handler, look, a, b);
  if (!g_look.installed.load(std::memory_order_acquire) || !OnGameThread() || handler == nullptr || look == nullptr)
    return result;
  TickInputAccumulator& tick = g_look.tick;
  ++tick.lookCalls;
  tick.lookYaw = look[0];
  tick.lookPitch = look[1];
  uint8_t invert = 0;
  const bool invertRead = ReadAt(handler, input_layout::kHandlerInvertPitch, invert);
  tick.invert = invert != 0;
  tick.smoothingWellFormed = ReadSmoothingRecord(handler, tick.smoothing) && invertRead;
  return result;
}

void LearnScaleFromTick(const TickInputAccumulator& tick) {
  if (tick.reads != 1 || tick.lookCalls != 1 || !tick.smoothingWellFormed) return;
  float valueX = 0.0f;
  float valueY = 0.0f;
  if (tick.smoothing.present) {
    if (tick.smoothing.size == 0) return;
    valueX = tick.smoothing.x[0];
    valueY = tick.smoothing.y[0];
  } else {
    valueX = tick.lookYaw;
    valueY = tick.invert ? -tick.lookPitch : tick.lookPitch;
  }
  float scale = 0.0f;
  if (LearnCountScale(ClampToCount(tick.deliveredX), ClampToCount(tick.deliveredY), valueX, valueY, &scale)) {
    g_look.countScale = scale;
    g_look.countScaleValid = true;
  }
}

void MouseLookTickHook(uint64_t tickNumber, uint64_t) {
  if (!g_look.installed.load(std::memory_order_acquire)) return;
  DWORD expected = 0;
  g_look.gameThread.compare_exchange_strong(expected, GetCurrentThreadId(), std::memory_order_acq_rel);
  if (!OnGameThread()) return;
  TickInputAccumulator& tick = g_look.tick;
  MouseLookCounters& counters = g_look.counters;
  LearnScaleFromTick(tick);
  counters.reads += tick.reads;
  counters.lookCalls += tick.lookCalls;
  ++counters.ticks;

  TickLookSnapshot& snapshot = g_look.snapshot;
  snapshot = TickLookSnapshot{};
  snapshot.tick = tickNumber;
  if (tick.lookCalls == 1 && tick.smoothingWellFormed) {
    const SmoothingSums sums = ModelSmoothing(tick.smoothing);
    if (sums.ok) {
      snapshot.sums = sums;
      snapshot.lookYaw = tick.lookYaw;
      snapshot.lookPitch = tick.lookPitch;
      snapshot.invert = tick.invert;
      snapshot.usable = std::isfinite(tick.lookYaw) && std::isfinite(tick.lookPitch);
      if (snapshot.usable) {
        counters.smoothingSeen = tick.smoothing.present;
        counters.smoothingWindow = tick.smoothing.window;
        counters.smoothingWeight = tick.smoothing.weight;
      }
    }
  }
  if (!snapshot.usable) {
    snapshot.sums = SmoothingSums{};
    ++counters.unusableTicks;
  }
  tick = TickInputAccumulator{};
}

std::wstring GainText(const LookGainEstimator& e) {
  return e.hasGain ? FormatBounded(64, L"%f", static_cast<double>(e.gain)) : std::wstring(L"unknown");
}

void RunReport() {
  if (!g_look.diagnostics) return;
  const uint64_t now = GetTickCount64();
  if (g_look.lastReportMs == 0) {
    g_look.lastReportMs = now;
    return;
  }
  if (now - g_look.lastReportMs < kReportIntervalMs) return;
  const MouseLookCounters& c = g_look.counters;
  const std::wstring scale = g_look.countScaleValid
                                 ? FormatBounded(64, L"%f", static_cast<double>(g_look.countScale) * 1e6) + L"e-6"
                                 : std::wstring(L"unknown");
  const std::wstring smoothing =
      c.smoothingSeen ? L"on(" + FormatSigned(c.smoothingWindow) + L"," +
                            FormatBounded(64, L"%f", static_cast<double>(c.smoothingWeight)) + L")"
                      : std::wstring(L"off");
  std::wstring line = L"Mouse preview: ticks/reads/look-calls/unusable-ticks=" + FormatUnsigned(c.ticks) + L"/" +
                      FormatUnsigned(c.reads) + L"/" + FormatUnsigned(c.lookCalls) + L"/" +
                      FormatUnsigned(c.unusableTicks);
  line += L", yaw explained/unexplained=" + FormatUnsigned(c.yawExplained) + L"/" + FormatUnsigned(c.yawUnexplained);
  line += L", pitch explained/unexplained=" + FormatUnsigned(c.pitchExplained) + L"/" +
          FormatUnsigned(c.pitchUnexplained);
  line += L", frames/lead/stale/rejected=" + FormatUnsigned(c.frames) + L"/" + FormatUnsigned(c.lead) + L"/" +
          FormatUnsigned(c.stale) + L"/" + FormatUnsigned(c.rejected);
  line += L", counts gathered-at-render/delivered=" + FormatUnsigned(c.gathered) + L"/" + FormatSigned(c.delivered);
  line += L", raw packets total/max-per-frame=" + FormatUnsigned(c.rawPackets) + L"/" +
          FormatUnsigned(c.rawPacketsMaxPerFrame);
  line += L", max counts gathered in one frame=" + FormatUnsigned(c.maxGatheredPerFrame);
  line += L", max pending=" + FormatSigned(c.maxPending);
  line += L", max lead yaw/pitch=" + FormatBounded(64, L"%f", static_cast<double>(c.maxLeadYaw)) + L"/" +
          FormatBounded(64, L"%f", static_cast<double>(c.maxLeadPitch)) + L" rad";
  line += L", gain=" + GainText(g_look.cameraGain) + L", scale=" + scale;
  line += L", ticks withheld while re-earning trust=" + FormatUnsigned(c.ticksWithheld);
  line += L", matrix-camera ticks/explained by row/column forward=" + FormatUnsigned(c.matrixTicks) + L"/" +
          FormatUnsigned(c.matrixRowExplained) + L"/" + FormatUnsigned(c.matrixColumnExplained);
  line += L", matrix gain row/column=" + GainText(g_look.rowGain) + L"/" + GainText(g_look.columnGain);
  line += L", smoothing=" + smoothing + L".";
  LogWrite(LogLevel::Info, line);
  g_look.counters = MouseLookCounters{};
  g_look.lastReportMs = now;
}

void ZeroWeights() {
  g_look.yaw.weight = 0.0f;
  g_look.pitch.weight = 0.0f;
}

struct ForwardAngles {
  float yaw;
  float pitch;
};

ForwardAngles Forward(float x, float y, float z) {
  return {std::atan2(x, z), std::asin(std::clamp(y, -1.0f, 1.0f))};
}

void AnalyseMatrixCamera(const CameraSnapshot& older, const CameraSnapshot& newer) {
  ++g_look.counters.matrixTicks;
  const float* o = older.matrix.m;
  const float* n = newer.matrix.m;
  struct Reading {
    ForwardAngles older;
    ForwardAngles newer;
    LookGainEstimator* estimator;
    uint64_t* explained;
  };
  const Reading readings[] = {
      {Forward(o[8], o[9], o[10]), Forward(n[8], n[9], n[10]), &g_look.rowGain, &g_look.counters.matrixRowExplained},
      {Forward(o[2], o[6], o[10]), Forward(n[2], n[6], n[10]), &g_look.columnGain,
       &g_look.counters.matrixColumnExplained},
  };
  for (const Reading& r : readings) {
    const AxesExplained e =
        UpdateLookGain(*r.estimator, g_look.snapshot.lookYaw, g_look.snapshot.lookPitch,
                       WrapAngle(r.newer.yaw - r.older.yaw), WrapAngle(r.newer.pitch - r.older.pitch));
    if (e.yaw && e.pitch) ++*r.explained;
  }
}

void JudgeTick(const CameraSnapshot& older, const CameraSnapshot& newer) {
  MouseLookCounters& c = g_look.counters;
  g_look.lastJudgedTick = g_look.snapshot.tick;
  const float dYaw = WrapAngle(newer.yaw - older.yaw);
  const float dPitch = WrapAngle(newer.pitch - older.pitch);
  const AxesExplained e =
      UpdateLookGain(g_look.cameraGain, g_look.snapshot.lookYaw, g_look.snapshot.lookPitch, dYaw, dPitch);
  ++(e.yaw ? c.yawExplained : c.yawUnexplained);
  ++(e.pitch ? c.pitchExplained : c.pitchUnexplained);
  const bool yawWithheld = JudgeAxis(g_look.yaw, e.yaw);
  const bool pitchWithheld = JudgeAxis(g_look.pitch, e.pitch);
  if (yawWithheld || pitchWithheld) ++c.ticksWithheld;
}

// Raw input reaches a thread only once the game registered for it. Asking the queue costs a system
// round trip per frame (tens of microseconds under Wine), so whether to ask is looked up once a second.
bool RawInputRegistered() {
  const uint64_t now = GetTickCount64();
  if (g_look.rawInputCheckedMs == 0 || now - g_look.rawInputCheckedMs >= kRawInputRecheckMs) {
    UINT devices = 0;
    g_look.rawInputRegistered =
        GetRegisteredRawInputDevices(nullptr, &devices, sizeof(RAWINPUTDEVICE)) == 0 && devices > 0;
    g_look.rawInputCheckedMs = now == 0 ? 1 : now;
  }
  return g_look.rawInputRegistered;
}

// Counts the game has not read yet: raw input dispatched, SDL pumped, the motion since the last read kept.
void GatherPendingCounts(SdlReadFn read, SdlPumpFn pump) {
  MouseLookCounters& c = g_look.counters;
  MSG message;
  uint64_t packets = 0;
  const bool rawInput = RawInputRegistered();
  while (rawInput && packets < kMaxRawMessagesPerFrame &&
         PeekMessageW(&message, nullptr, kRawInputMessage, kRawInputMessage, PM_REMOVE)) {
    DispatchMessageW(&message);
    ++packets;
  }
  c.rawPackets += packets;
  c.rawPacketsMaxPerFrame = std::max(c.rawPacketsMaxPerFrame, packets);
  pump();
  int x = 0;
  int y = 0;
  read(&x, &y);
  g_look.pendingX += x;
  g_look.pendingY += y;
  const uint64_t gathered = static_cast<uint64_t>(std::llabs(static_cast<int64_t>(x)) + std::llabs(static_cast<int64_t>(y)));
  c.gathered += gathered;
  c.maxGatheredPerFrame = std::max(c.maxGatheredPerFrame, gathered);
  c.maxPending = std::max({c.maxPending, std::llabs(g_look.pendingX), std::llabs(g_look.pendingY)});
}

}  // namespace

bool IsMouseLookActive() { return g_look.installed.load(std::memory_order_acquire); }

MouseLookDelta PreviewDelta(const ClockSample& sample, const CameraSnapshot& older, const CameraSnapshot& newer) {
  MouseLookDelta none;
  const SdlReadFn read = g_look.savedRead.load(std::memory_order_acquire);
  const SdlPumpFn pump = g_look.pump.load(std::memory_order_acquire);
  const SdlModeFn relativeMode = g_look.relativeMode.load(std::memory_order_acquire);
  if (!IsMouseLookActive() || !OnGameThread() || read == nullptr || pump == nullptr || relativeMode == nullptr)
    return none;
  MouseLookCounters& c = g_look.counters;
  ++c.frames;
  RunReport();
  if (relativeMode() != 1) return none;
  GatherPendingCounts(read, pump);

  const TickLookSnapshot& snapshot = g_look.snapshot;
  const bool sameTick = sample.currentTick == snapshot.tick;
  if (g_look.diagnostics) {
    if (!snapshot.usable) {
      ++c.stale;
      ZeroWeights();
      return none;
    }
    if (sameTick && older.mode == kCameraModeMatrix && newer.mode == kCameraModeMatrix &&
        g_look.lastMatrixTick != snapshot.tick) {
      g_look.lastMatrixTick = snapshot.tick;
      AnalyseMatrixCamera(older, newer);
    }
  }
  if (!snapshot.usable || !sameTick || older.mode != kCameraModeEuler || newer.mode != kCameraModeEuler) {
    ++c.stale;
    ZeroWeights();
    return none;
  }
  if (snapshot.tick != g_look.lastJudgedTick) JudgeTick(older, newer);
  if (!g_look.countScaleValid || !g_look.cameraGain.hasGain) {
    ZeroWeights();
    return none;
  }

  int64_t counter = 0;
  double now = 0.0;
  if (g_look.frequency > 0 && ReadPerformanceCounter(&counter))
    now = static_cast<double>(counter) / static_cast<double>(g_look.frequency);
  const double step = FadeStep(g_look.lastFrameTime, now);
  g_look.lastFrameTime = now;
  StepAxisWeight(g_look.yaw, step);
  StepAxisWeight(g_look.pitch, step);
  if (g_look.yaw.weight == 0.0f && g_look.pitch.weight == 0.0f) return none;

  LeadInputs in;
  in.alpha = sample.alpha;
  in.sums = snapshot.sums;
  in.lookYaw = snapshot.lookYaw;
  in.lookPitch = snapshot.lookPitch;
  in.invert = snapshot.invert;
  in.pendingX = ClampToCount(g_look.pendingX);
  in.pendingY = ClampToCount(g_look.pendingY);
  in.countScale = g_look.countScale;
  in.gain = g_look.cameraGain.gain;
  in.yawWeight = g_look.yaw.weight;
  in.pitchWeight = g_look.pitch.weight;
  const Lead lead = ComputeLead(in);
  if (lead.result != LeadResult::Lead) {
    ++c.rejected;
    return none;
  }
  ++c.lead;
  c.maxLeadYaw = std::max(c.maxLeadYaw, std::fabs(lead.yaw));
  c.maxLeadPitch = std::max(c.maxLeadPitch, std::fabs(lead.pitch));
  return {lead.yaw, lead.pitch, true};
}

void ResetMouseLookPreview() {
  g_look.snapshot = TickLookSnapshot{};
  g_look.yaw = AxisTrust{};
  g_look.pitch = AxisTrust{};
  g_look.lastJudgedTick = 0;
}

bool InstallMouseLookPreview(HMODULE host, bool diagnostics, std::wstring& message) {
  if (host == nullptr) {
    message = kNullHost;
    return false;
  }
  int64_t frequency = 0;
  if (!ReadPerformanceFrequency(&frequency) || frequency < 0) frequency = 0;
  if (!SiteMatches(host, SiteId::InputLookAmount)) {
    message = kSiteMismatch;
    return false;
  }
  const ImportSlotLookup read = FindImportSlot(host, "SDL2.dll", "SDL_GetRelativeMouseState");
  const ImportSlotLookup pump = FindImportSlot(host, "SDL2.dll", "SDL_PumpEvents");
  const ImportSlotLookup mode = FindImportSlot(host, "SDL2.dll", "SDL_GetRelativeMouseMode");
  const uint64_t replacement = reinterpret_cast<uint64_t>(&RelativeMouseStateReplacement);
  // Our own replacement found in the slot would make the preview read itself.
  if (read.slot == nullptr || read.value == 0 || read.value == replacement || pump.slot == nullptr ||
      pump.value == 0 || mode.slot == nullptr || mode.value == 0) {
    message = kImportsMissing;
    return false;
  }

  MinHookApi& mh = MinHook();
  const MH_STATUS init = mh.Initialize();
  if (init != MH_OK && init != MH_ERROR_ALREADY_INITIALIZED) {
    message = FormatHookFailure(L"MH_Initialize", init);
    return false;
  }
  void* target = SiteAddress(host, SiteId::InputLookAmount);
  const MH_STATUS created =
      mh.CreateHook(target, reinterpret_cast<void*>(&LookAmountDetour), reinterpret_cast<void**>(&g_look.lookOriginal));
  if (created != MH_OK) {
    g_look.lookOriginal = nullptr;
    message = FormatHookFailure(L"MH_CreateHook(look amount)", created);
    return false;
  }

  const BuildMapping* build = IdentifiedBuild();
  g_look.inputGlobal = build != nullptr && build->inputGlobalRva != 0
                           ? reinterpret_cast<const uint8_t*>(host) + build->inputGlobalRva
                           : nullptr;
  g_look.diagnostics = diagnostics;
  g_look.frequency = frequency;
  g_look.pump.store(reinterpret_cast<SdlPumpFn>(pump.value), std::memory_order_release);
  g_look.relativeMode.store(reinterpret_cast<SdlModeFn>(mode.value), std::memory_order_release);
  g_look.savedRead.store(reinterpret_cast<SdlReadFn>(read.value), std::memory_order_release);

  auto unpublish = [] {
    g_look.savedRead.store(nullptr, std::memory_order_release);
    g_look.pump.store(nullptr, std::memory_order_release);
    g_look.relativeMode.store(nullptr, std::memory_order_release);
  };
  std::wstring patch;
  if (!ReplaceImportSlot(read.slot, read.value, replacement, patch)) {
    mh.RemoveHook(target);
    g_look.lookOriginal = nullptr;
    unpublish();
    message = patch;
    return false;
  }
  if (!patch.empty()) LogWrite(LogLevel::Warn, patch);
  const MH_STATUS enabled = mh.EnableHook(target);
  if (enabled != MH_OK) {
    std::wstring ignored;
    ReplaceImportSlot(read.slot, replacement, read.value, ignored);
    mh.RemoveHook(target);
    g_look.lookOriginal = nullptr;
    unpublish();
    message = FormatHookFailure(L"MH_EnableHook(look amount)", enabled);
    return false;
  }
  g_look.slot = read.slot;
  g_look.lookTarget = target;
  SetResetHook(ResetHook::MouseLook, &ResetMouseLookPreview);
  SetTickHook(TickHook::MouseLook, &MouseLookTickHook);
  RenderHooks hooks;
  hooks.mouseLookActive = &IsMouseLookActive;
  hooks.mouseLookDelta = &PreviewDelta;
  SetRenderHooks(RenderHookOwner::MouseLook, hooks);
  g_look.installed.store(true, std::memory_order_release);
  return true;
}

void UninstallMouseLookPreview() {
  if (!g_look.installed.exchange(false, std::memory_order_acq_rel)) return;
  SetRenderHooks(RenderHookOwner::MouseLook, RenderHooks{});
  SetTickHook(TickHook::MouseLook, nullptr);
  SetResetHook(ResetHook::MouseLook, nullptr);
  const SdlReadFn read = g_look.savedRead.load(std::memory_order_acquire);
  std::wstring ignored;
  if (g_look.slot != nullptr && read != nullptr)
    ReplaceImportSlot(g_look.slot, reinterpret_cast<uint64_t>(&RelativeMouseStateReplacement),
                      reinterpret_cast<uint64_t>(read), ignored);
  MinHookApi& mh = MinHook();
  if (g_look.lookTarget != nullptr) {
    mh.DisableHook(g_look.lookTarget);
    mh.RemoveHook(g_look.lookTarget);
  }
  g_look.lookOriginal = nullptr;
  g_look.slot = nullptr;
  g_look.lookTarget = nullptr;
  // The saved read and the pending counts stay: a call that already passed through the slot may
  // still be on its way to the replacement, and it must not lose motion.
  g_look.tick = TickInputAccumulator{};
  g_look.snapshot = TickLookSnapshot{};
  g_look.cameraGain = LookGainEstimator{};
  g_look.countScale = 0.0f;
  g_look.countScaleValid = false;
}
