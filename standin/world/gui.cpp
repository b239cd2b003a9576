// The menu GUI. The plug-in relies on the context offsets marked "fixed"; the rest are this game's.
#include "gui.h"

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "draw_log.h"
#include "input.h"
#include "layouts.h"
#include "sdl2_api.h"
#include "world.h"

namespace qv {
namespace {

namespace Context {
inline constexpr size_t kCommandsBegin = 768;  // fixed: 160-byte draw commands
inline constexpr size_t kCommandsEnd = 776;    // fixed
inline constexpr size_t kElementsBegin = 792;  // fixed: 88-byte elements
inline constexpr size_t kElementsEnd = 800;    // fixed
}  // namespace Context

namespace Command {
inline constexpr size_t kKind = 0;
inline constexpr size_t kPosition = 8;  // fixed: 2 f32
inline constexpr size_t kStride = 160;  // fixed
}  // namespace Command

namespace Element {
inline constexpr size_t kPosition = 40;  // fixed: 2 f32
inline constexpr size_t kStride = 88;    // fixed
}  // namespace Element

namespace Item {
inline constexpr size_t kOffsetX = 36;  // fixed
inline constexpr size_t kOffsetY = 40;  // fixed
inline constexpr size_t kSize = 64;
}  // namespace Item

constexpr size_t kCommandCapacity = 16;
constexpr size_t kElementCapacity = 2100;
constexpr size_t kElementsNormal = 5;
constexpr size_t kElementsTooMany = 2049;
constexpr size_t kTooltipElement = 1;
constexpr int kClientWidth = 640;
constexpr int kClientHeight = 480;
constexpr float kOutlineOffset = -20.0f;
constexpr double kFaultFrom = 1.0;  // seconds into the menu
constexpr double kFaultUntil = 1.6;
constexpr float kTooltipOffsetX = 18.0f;
constexpr float kTooltipOffsetY = 24.0f;

using SendMouseFn = void (*)(void*, const int*, const void*, void*);
using DoMouseFn = void (*)(void*, void*, void*, void*);
using ImageDrawFn = void (*)(void*, void*, const float*, void*, void*, void*, void*, void*, void*);

enum Kind : uint32_t { kPanel = 1, kImage = 2, kOutline = 3, kLabel = 4 };

struct GuiState {
  bool active = false;
  HWND window = nullptr;
  HANDLE thief = nullptr;  // the thread of another program's window that takes the focus for a while
  std::atomic<bool> thief_leave{false};
  void* context = nullptr;
  void* item = nullptr;
  uint8_t* commands = nullptr;
  uint8_t* elements = nullptr;
  int64_t start = 0;
  POINT os{};  // the OS cursor in client pixels, as last placed
  int tracks[6] = {-1, -1, -1, -1, -1, -1};
  bool tracked = false;
};

GuiState g_gui;

enum Track { kCursorTrack, kOsTrack, kDragTrack, kOutlineTrack, kTooltipTrack, kPanelTrack };

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcW(window, message, w, l);
}

HWND MakeWindow(const wchar_t* title, int x, int y) {
  RECT r{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
  HWND window = CreateWindowExW(0, L"QuarrenVeltStandin", title, WS_OVERLAPPEDWINDOW, x, y, r.right - r.left,
                                r.bottom - r.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window) ShowWindow(window, SW_SHOW);
  return window;
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

uint8_t* CommandAt(size_t i) { return g_gui.commands + i * Command::kStride; }

void AppendCommand(uint32_t kind, float x, float y) {
  uint8_t* end = Load<uint8_t*>(g_gui.context, Context::kCommandsEnd);
  if (end >= CommandAt(kCommandCapacity)) return;
  std::memset(end, 0, Command::kStride);
  Store<uint32_t>(end, Command::kKind, kind);
  Store<float>(end, Command::kPosition, x);
  Store<float>(end, Command::kPosition + 4, y);
  Store<uint8_t*>(g_gui.context, Context::kCommandsEnd, end + Command::kStride);
}

// The hand's path in client pixels at t seconds into the menu, and what happens on the way.
POINT PathPoint(double t) {
  const double pi = 3.14159265358979;
  double x, y;
  if (TheWorld().options.input_fault == InputFault::GuiLeave && t >= kFaultFrom && t < kFaultUntil) {
    // Out through the right edge and back in.
    const double u = (t - kFaultFrom) / (kFaultUntil - kFaultFrom);
    x = 440.0 + 320.0 * std::sin(pi * u);
    y = 240.0;
  } else {
    const double a = 2.0 * pi * 0.5 * t;
    x = 320.0 + 120.0 * std::cos(a);
    y = 240.0 + 120.0 * std::sin(a);
  }
  return {static_cast<LONG>(std::lround(x)), static_cast<LONG>(std::lround(y))};
}

// Another program's window, on a thread of its own as another program's would be.
DWORD WINAPI FocusThiefMain(LPVOID) {
  HWND window = MakeWindow(L"Another program", 700, 40);
  if (!window) return 1;
  SetForegroundWindow(window);
  while (!g_gui.thief_leave) {
    PumpMessages();
    Sleep(1);
  }
  DestroyWindow(window);
  return 0;
}

void SetFocusThief(bool on) {
  if (on && !g_gui.thief) {
    g_gui.thief_leave = false;
    g_gui.thief = CreateThread(nullptr, 0, &FocusThiefMain, nullptr, 0, nullptr);
  } else if (!on && g_gui.thief) {
    g_gui.thief_leave = true;
    WaitForSingleObject(g_gui.thief, INFINITE);
    CloseHandle(g_gui.thief);
    g_gui.thief = nullptr;
    SetForegroundWindow(g_gui.window);
    SetActiveWindow(g_gui.window);
  }
}

void Row(int track, float x, float y) {
  const float xyz[3] = {x, y, 0.0f};
  DrawLogRow(g_gui.tracks[track], xyz);
}

}  // namespace

void CreateGui() {
  World& w = TheWorld();
  if (w.options.input_scenario != InputScenario::Gui) return;
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QuarrenVeltStandin";
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  RegisterClassW(&wc);
  g_gui.window = MakeWindow(L"QuarrenVelt", 40, 40);
  if (!g_gui.window) return;
  SetForegroundWindow(g_gui.window);
  SetActiveWindow(g_gui.window);
  PumpMessages();

  g_gui.context = NewHostObject(GuiLayout::kSize);
  g_gui.item = NewHostObject(Item::kSize);
  Store<float>(g_gui.item, Item::kOffsetX, -16.0f);
  Store<float>(g_gui.item, Item::kOffsetY, -16.0f);
  g_gui.commands = static_cast<uint8_t*>(NewHostObject(kCommandCapacity * Command::kStride));
  g_gui.elements = static_cast<uint8_t*>(NewHostObject(kElementCapacity * Element::kStride));
  const size_t elements = w.options.input_fault == InputFault::GuiTooManyElements ? kElementsTooMany : kElementsNormal;
  Store<uint8_t*>(g_gui.context, Context::kCommandsBegin, g_gui.commands);
  Store<uint8_t*>(g_gui.context, Context::kCommandsEnd, g_gui.commands);
  Store<uint8_t*>(g_gui.context, Context::kElementsBegin, g_gui.elements);
  Store<uint8_t*>(g_gui.context, Context::kElementsEnd, g_gui.elements + elements * Element::kStride);
  for (size_t i = 0; i < elements; ++i) {
    Store<float>(g_gui.elements + i * Element::kStride, Element::kPosition, 30.0f + static_cast<float>(i % 20) * 25.0f);
    Store<float>(g_gui.elements + i * Element::kStride, Element::kPosition + 4, 400.0f);
  }
  g_gui.start = QpcNow();
  g_gui.active = true;
}

bool GuiActive() { return g_gui.active; }


void MoveOsCursor() {
  if (!g_gui.active) return;
  const double t = QpcSeconds(QpcNow() - g_gui.start);
  // Mid-drag the game grabs the mouse for a moment, or another program takes the focus.
  const InputFault fault = TheWorld().options.input_fault;
  const bool faulty = t >= kFaultFrom && t < kFaultUntil;
  QvStandinSetRelativeMouseMode(fault == InputFault::GuiRelative && faulty ? 1 : 0);
  SetFocusThief(fault == InputFault::GuiFocus && faulty);
  g_gui.os = PathPoint(t);
  POINT screen = g_gui.os;
  ClientToScreen(g_gui.window, &screen);
  SetCursorPos(screen.x, screen.y);
  PumpMessages();
}

void StepGui(uint64_t) {
  if (!g_gui.active) return;
  // The host reads the cursor the way SDL reports it: in the window's client pixels.
  POINT p{};
  GetCursorPos(&p);
  ScreenToClient(g_gui.window, &p);
  const int position[2] = {p.x, p.y};
  static const uint8_t kNoButtons[8] = {};
  reinterpret_cast<SendMouseFn>(SiteAddress(7))(g_gui.context, position, kNoButtons, nullptr);

  // The GUI is built once per step and drawn every frame.
  float mouse[2];
  std::memcpy(mouse, At(g_gui.context, GuiLayout::kMousePos), sizeof mouse);
  Store<uint8_t*>(g_gui.context, Context::kCommandsEnd, g_gui.commands);
  AppendCommand(kPanel, 40.0f, 40.0f);
  AppendCommand(kPanel, 300.0f, 60.0f);
  reinterpret_cast<ImageDrawFn>(SiteAddress(9))(g_gui.context, g_gui.item, mouse, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr);
  AppendCommand(kOutline, mouse[0] + kOutlineOffset, mouse[1] + kOutlineOffset);
  AppendCommand(kLabel, 60.0f, 420.0f);
  uint8_t* tooltip = g_gui.elements + kTooltipElement * Element::kStride;
  Store<float>(tooltip, Element::kPosition, mouse[0] + kTooltipOffsetX);
  Store<float>(tooltip, Element::kPosition + 4, mouse[1] + kTooltipOffsetY);
}

void GuiImageDraw(void* context, void* item, const float* position) {
  if (context != g_gui.context || !item || !position) return;
  AppendCommand(kImage, position[0] + Load<float>(item, Item::kOffsetX), position[1] + Load<float>(item, Item::kOffsetY));
}

void DrawGui() {
  if (!g_gui.active) return;
  if (!g_gui.tracked) {
    // The draw log opens after the world is created.
    const char* const ids[6] = {"gui", "os", "drag", "outline", "tooltip", "panel"};
    const char* const kinds[6] = {"cursor", "oscursor", "gui", "gui", "gui", "gui"};
    for (int i = 0; i < 6; ++i) g_gui.tracks[i] = DrawLogTrack(kinds[i], ids[i]);
    g_gui.tracked = true;
  }
  reinterpret_cast<DoMouseFn>(SiteAddress(8))(g_gui.context, nullptr, nullptr, nullptr);
  float cursor[2];
  std::memcpy(cursor, At(g_gui.context, GuiLayout::kCursorDrawn), sizeof cursor);
  Row(kCursorTrack, cursor[0], cursor[1]);
  Row(kOsTrack, static_cast<float>(g_gui.os.x), static_cast<float>(g_gui.os.y));
  const uint8_t* end = Load<uint8_t*>(g_gui.context, Context::kCommandsEnd);
  auto commandRow = [&](size_t index, int track) {
    if (CommandAt(index) + Command::kStride > end) return;
    Row(track, Load<float>(CommandAt(index), Command::kPosition), Load<float>(CommandAt(index), Command::kPosition + 4));
  };
  commandRow(0, kPanelTrack);
  commandRow(2, kDragTrack);
  commandRow(3, kOutlineTrack);
  const uint8_t* tooltip = g_gui.elements + kTooltipElement * Element::kStride;
  Row(kTooltipTrack, Load<float>(tooltip, Element::kPosition), Load<float>(tooltip, Element::kPosition + 4));
}

}  // namespace qv
