// The hand and the host's input handler (its layout is in layouts.h).
#include "input.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "layouts.h"
#include "sdl2_api.h"
#include "world.h"

namespace qv {
namespace {

namespace SampleNode {
inline constexpr size_t kNext = 0;  // fixed
inline constexpr size_t kX = 16;    // fixed
inline constexpr size_t kY = 20;    // fixed
inline constexpr size_t kSize = 32;
}  // namespace SampleNode

inline constexpr size_t kGlobalChild = 216;      // fixed
inline constexpr size_t kSmoothingOffFlag = 1038;  // fixed
inline constexpr size_t kMaxSamples = 32;
inline constexpr float kPitchLimit = 1.4f;
inline constexpr double kReportHz = 1000.0;
inline constexpr double kTrackStartS = 0.1;  // after the first step

using LookAmountFn = float (*)(void*, float*, void*, void*);

struct Segment {
  double from, to;  // seconds on the track
  double vx, vy;    // counts per second, or counts per burst
  double burst_s;   // 0: continuous; else one report every burst_s
  bool sine;        // vx, vy are amplitudes of a 1.5 Hz swing
};

// Sweeps, a pause, a reversal, bursts, a swing, steps; then still to the end.
const Segment kLookTrack[] = {
    {0.0, 0.5, 500, 0, 0, false},     {0.5, 0.7, 0, 0, 0, false},     {0.7, 1.0, -700, 150, 0, false},
    {1.0, 1.2, 700, -150, 0, false},  {1.2, 1.8, 25, 5, 0.04, false}, {1.8, 2.6, 800, 200, 0, true},
    {2.6, 3.2, 12, -3, 0.1, false},
};
// Always the same way on yaw alone, so each frame's yaw says how many counts it shows.
const Segment kLatencyTrack[] = {
    {0.0, 0.6, 400, 0, 0, false}, {0.6, 0.9, 0, 0, 0, false},     {0.9, 1.5, 20, 0, 0.03, false},
    {1.5, 1.8, 0, 0, 0, false},   {1.8, 2.4, 900, 0, 0, false},   {2.4, 3.0, 35, 0, 0.075, false},
};

struct StepRow {
  double t_s;
  uint64_t step;
  int32_t x, y;
  float yaw, pitch;
};

struct InputState {
  InputScenario scenario = InputScenario::None;
  InputFault fault = InputFault::None;
  void* handler = nullptr;
  void* global_object = nullptr;
  void* global_child = nullptr;
  void* sentinel = nullptr;
  void* nodes[kMaxSamples + 1] = {};
  std::vector<float> samples_x, samples_y;  // newest first
  std::vector<QvMouseReport> track;
  int64_t produced_x = 0, produced_y = 0;
  int64_t received_x = 0, received_y = 0;
  float gain = 1.0f;
  float yaw = 0.0f;
  float pitch = 0.0f;
  std::vector<StepRow> steps;
};

InputState g_input;

void AddReports(const Segment* segments, size_t count, int64_t origin, int64_t frequency) {
  std::vector<QvMouseReport>& out = g_input.track;
  double carry_x = 0.0, carry_y = 0.0;
  for (size_t s = 0; s < count; ++s) {
    const Segment& g = segments[s];
    const double step = g.burst_s > 0 ? g.burst_s : 1.0 / kReportHz;
    for (double t = g.from + step; t <= g.to + 1e-9; t += step) {
      double x = g.vx, y = g.vy;
      if (g.sine) {
        const double phase = 2.0 * 3.14159265358979 * 1.5 * t;
        x *= std::sin(phase);
        y *= std::cos(phase);
      }
      if (g.burst_s == 0) {
        x *= step;
        y *= step;
      }
      carry_x += x;
      carry_y += y;
      const auto dx = static_cast<int32_t>(std::trunc(carry_x));
      const auto dy = static_cast<int32_t>(std::trunc(carry_y));
      carry_x -= dx;
      carry_y -= dy;
      if (dx == 0 && dy == 0) continue;
      const int64_t at = origin + static_cast<int64_t>((kTrackStartS + t) * static_cast<double>(frequency));
      out.push_back({at, dx, dy});
      g_input.produced_x += dx;
      g_input.produced_y += dy;
    }
  }
}

void StartTrack() {
  World& w = TheWorld();
  const int64_t origin = QpcNow();
  if (g_input.scenario == InputScenario::Look) AddReports(kLookTrack, std::size(kLookTrack), origin, w.qpc_frequency);
  if (g_input.scenario == InputScenario::Latency)
    AddReports(kLatencyTrack, std::size(kLatencyTrack), origin, w.qpc_frequency);
  QvStandinSetMouseTrack(g_input.track.data(), g_input.track.size());
}

// What the game's options and menus do to its input settings, step by step.
void ApplySettings(uint64_t k) {
  void* h = g_input.handler;
  if (g_input.scenario != InputScenario::Look) return;
  if (k == 100) {
    Store<uint8_t>(h, InputLayout::kSmoothingOn, 1);
    Store<int32_t>(h, InputLayout::kWindow, 4);
    Store<float>(h, InputLayout::kWeight, 0.5f);
  }
  if (k == 160) Store<uint8_t>(h, InputLayout::kSmoothingOn, 0);
  if (k == 130) Store<uint8_t>(h, InputLayout::kInvert, 1);
  if (k == 190) Store<uint8_t>(h, InputLayout::kInvert, 0);
  if (k == 170) g_input.gain = 1.6f;
  // A menu opened and closed again: the mouse leaves relative mode for a while.
  if (k == 200) QvStandinSetRelativeMouseMode(0);
  if (k == 215) QvStandinSetRelativeMouseMode(1);
}

bool SmoothingOn() {
  return Load<uint8_t>(g_input.handler, InputLayout::kSmoothingOn) != 0 &&
         Load<uint8_t>(g_input.global_child, kSmoothingOffFlag) == 0;
}

// The sample list as the host keeps it: newest first, closed by the sentinel.
void LinkSamples() {
  const size_t n = g_input.samples_x.size();
  void* previous = g_input.sentinel;
  for (size_t i = 0; i < n; ++i) {
    void* node = g_input.nodes[i];
    Store<float>(node, SampleNode::kX, g_input.samples_x[i]);
    Store<float>(node, SampleNode::kY, g_input.samples_y[i]);
    Store<void*>(previous, SampleNode::kNext, node);
    previous = node;
  }
  void* close = g_input.sentinel;
  if (n > 1 && g_input.fault == InputFault::ListCut) close = nullptr;
  if (n > 1 && g_input.fault == InputFault::ListLoop) close = g_input.nodes[0];
  Store<void*>(previous, SampleNode::kNext, close);
  Store<uint64_t>(g_input.handler, InputLayout::kSamples, n);
}

}  // namespace

bool ParseInputScenario(const std::wstring& text, InputScenario* out) {
  if (text == L"none") *out = InputScenario::None;
  else if (text == L"look") *out = InputScenario::Look;
  else if (text == L"latency") *out = InputScenario::Latency;
  else if (text == L"gui") *out = InputScenario::Gui;
  else return false;
  return true;
}

bool ParseInputFault(const std::wstring& text, InputFault* out) {
  if (text == L"none") *out = InputFault::None;
  else if (text == L"list-cut") *out = InputFault::ListCut;
  else if (text == L"list-loop") *out = InputFault::ListLoop;
  else if (text == L"gui-2049") *out = InputFault::GuiTooManyElements;
  else if (text == L"gui-relative") *out = InputFault::GuiRelative;
  else if (text == L"gui-leave") *out = InputFault::GuiLeave;
  else if (text == L"gui-focus") *out = InputFault::GuiFocus;
  else return false;
  return true;
}

void CreateInput() {
  World& w = TheWorld();
  g_input.scenario = w.options.input_scenario;
  g_input.fault = w.options.input_fault;
  g_input.handler = NewHostObject(InputLayout::kSize);
  g_input.sentinel = NewHostObject(SampleNode::kSize);
  for (void*& node : g_input.nodes) node = NewHostObject(SampleNode::kSize);
  Store<void*>(g_input.handler, InputLayout::kSentinel, g_input.sentinel);
  Store<void*>(g_input.sentinel, SampleNode::kNext, g_input.sentinel);
  Store<int32_t>(g_input.handler, InputLayout::kWindow, 1);
  Store<float>(g_input.handler, InputLayout::kWeight, 0.0f);
  Store<float>(g_input.handler, InputLayout::kScale, 0.002f);
  g_input.global_object = NewHostObject(0x100);
  g_input.global_child = NewHostObject(0x500);
  Store<void*>(g_input.global_object, kGlobalChild, g_input.global_child);
  Store<void*>(w.base, w.build->input_global_rva, g_input.global_object);
  QvStandinSetRelativeMouseMode(g_input.scenario == InputScenario::Gui ? 0 : 1);
}

float InputLookAmount(void* handler, float* look) {
  const float scale = Load<float>(handler, InputLayout::kScale);
  const float raw_x = static_cast<float>(Load<int32_t>(handler, InputLayout::kCountX)) * scale;
  const float raw_y = static_cast<float>(Load<int32_t>(handler, InputLayout::kCountY)) * scale;
  float x = raw_x, y = raw_y;
  if (handler == g_input.handler && SmoothingOn()) {
    const int32_t window = std::clamp<int32_t>(Load<int32_t>(handler, InputLayout::kWindow), 1, kMaxSamples);
    const float weight = Load<float>(handler, InputLayout::kWeight);
    const size_t size = g_input.samples_x.size();
    const size_t terms = static_cast<size_t>(window) > size ? size + 1 : size;
    float factor = 1.0f, total = 1.0f;
    for (size_t i = 1; i < terms; ++i) {
      factor *= weight;
      total += factor;
      x += g_input.samples_x[i - 1] * factor;
      y += g_input.samples_y[i - 1] * factor;
    }
    x /= total;
    y /= total;
    g_input.samples_x.insert(g_input.samples_x.begin(), raw_x);
    g_input.samples_y.insert(g_input.samples_y.begin(), raw_y);
    g_input.samples_x.resize(std::min<size_t>(g_input.samples_x.size(), static_cast<size_t>(window)));
    g_input.samples_y.resize(g_input.samples_x.size());
  } else if (handler == g_input.handler) {
    g_input.samples_x.clear();
    g_input.samples_y.clear();
  }
  if (handler == g_input.handler) LinkSamples();
  if (Load<uint8_t>(handler, InputLayout::kInvert)) y = -y;
  if (look) {
    look[0] = x;
    look[1] = y;
  }
  return std::sqrt(x * x + y * y);
}

void StepInput(uint64_t k) {
  World& w = TheWorld();
  if (g_input.scenario == InputScenario::None) return;
  if (k == 1) StartTrack();
  ApplySettings(k);
  int x = 0, y = 0;
  w.services->get_relative_mouse_state(&x, &y);
  const double t = QpcSeconds(QpcNow() - w.qpc_start);
  g_input.received_x += x;
  g_input.received_y += y;
  // In a menu the motion moves the cursor, not the view.
  if (w.services->get_relative_mouse_mode() == 1) {
    Store<int32_t>(g_input.handler, InputLayout::kCountX, x);
    Store<int32_t>(g_input.handler, InputLayout::kCountY, y);
    float look[2] = {};
    reinterpret_cast<LookAmountFn>(SiteAddress(6))(g_input.handler, look, nullptr, nullptr);
    g_input.yaw += g_input.gain * look[0];
    g_input.pitch = std::clamp(g_input.pitch + g_input.gain * look[1], -kPitchLimit, kPitchLimit);
  }
  g_input.steps.push_back({t, k, x, y, g_input.yaw, g_input.pitch});
}

bool LookDrivesListener() {
  return g_input.scenario == InputScenario::Look || g_input.scenario == InputScenario::Latency;
}

void ListenerLook(float* pitch, float* yaw) {
  *pitch = g_input.pitch;
  *yaw = g_input.yaw;
}

bool CheckInputConservation(std::wstring* failure) {
  const size_t taken = QvStandinMouseReportsTaken();
  if (g_input.received_x == g_input.produced_x && g_input.received_y == g_input.produced_y &&
      taken == g_input.track.size())
    return true;
  *failure = L"the game received counts (" + std::to_wstring(g_input.received_x) + L"," +
             std::to_wstring(g_input.received_y) + L") of the (" + std::to_wstring(g_input.produced_x) + L"," +
             std::to_wstring(g_input.produced_y) + L") the hand produced (" + std::to_wstring(taken) + L" of " +
             std::to_wstring(g_input.track.size()) + L" reports read)";
  return false;
}

std::string InputSummary() {
  char text[160];
  std::snprintf(text, sizeof text, " input-counts=%lld,%lld/%lld,%lld",
                static_cast<long long>(g_input.received_x), static_cast<long long>(g_input.received_y),
                static_cast<long long>(g_input.produced_x), static_cast<long long>(g_input.produced_y));
  return g_input.scenario == InputScenario::None ? std::string() : std::string(text);
}

bool WriteInputLog(std::wstring* error) {
  World& w = TheWorld();
  if (w.options.input_log_path.empty()) return true;
  FILE* f = _wfopen(w.options.input_log_path.c_str(), L"w");
  if (!f) {
    *error = L"could not write " + w.options.input_log_path;
    return false;
  }
  std::fprintf(f, "kind,t_s,step,x,y,yaw,pitch\n");
  for (const QvMouseReport& r : g_input.track)
    std::fprintf(f, "report,%.7f,0,%d,%d,0,0\n", QpcSeconds(r.counter - w.qpc_start), r.dx, r.dy);
  for (const StepRow& s : g_input.steps)
    std::fprintf(f, "step,%.7f,%llu,%d,%d,%.9g,%.9g\n", s.t_s, static_cast<unsigned long long>(s.step), s.x, s.y,
                 static_cast<double>(s.yaw), static_cast<double>(s.pitch));
  std::fclose(f);
  return true;
}

}  // namespace qv
