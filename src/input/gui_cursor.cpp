#include "input/gui_cursor.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/text.h"
#include "frame/tick_detour.h"
#include "host/hook_install.h"
#include "host/host_memory.h"
#include "host/host_validation.h"
#include "host/import_slot.h"
#include "host/minhook_api.h"
#include "input/gui_model.h"
#include "input/input_layout.h"
#include "interp/render_hooks.h"

namespace {

using SendMouseFn = void (*)(void* context, const int32_t* position, const void* c, void* d);
using DoMouseFn = void (*)(void* context, void* b, void* c, void* d);
using ImageDrawFn = void (*)(void* context, void* item, const float* position, void* d, void* e, void* f, void* g,
                             void* h, void* i);
using SdlModeFn = int (*)();

constexpr wchar_t kNullHost[] = L"Host module is null while installing the GUI cursor preview.";
constexpr wchar_t kSiteMismatch[] = L"GUI mouse-position entry bytes do not match the supported build.";
constexpr wchar_t kModeMissing[] = L"Could not locate SDL_GetRelativeMouseMode.";
constexpr wchar_t kCursorDrawUnavailable[] = L"GUI cursor preview: cursor-draw detour unavailable.";
constexpr wchar_t kImageDrawUnavailable[] = L"GUI cursor preview: image-draw detour unavailable.";
constexpr wchar_t kActive[] =
    L"GUI cursor preview active: the visible-cursor position is refreshed every presented frame.";
constexpr uint64_t kReportIntervalMs = 5000;

struct AnchoredCommand {
  uint64_t index = 0;
  float baseX = 0.0f, baseY = 0.0f;        // where the command was built
  float currentX = 0.0f, currentY = 0.0f;  // where the preview last put it
  float anchorX = 0.0f, anchorY = 0.0f;    // the mouse position it was drawn at
};

struct FollowingListDescriptor {
  size_t begin;
  size_t end;
  size_t stride;
  size_t position;
  bool excludeAnchored;
};
constexpr FollowingListDescriptor kFollowingLists[2] = {
    {input_layout::kGuiCommandsBegin, input_layout::kGuiCommandsEnd, input_layout::kGuiCommandStride,
     input_layout::kGuiCommandPosition, true},
    {input_layout::kGuiElementsBegin, input_layout::kGuiElementsEnd, input_layout::kGuiElementStride,
     input_layout::kGuiElementPosition, false},
};

struct GuiCursorCounters {
  uint64_t ticks = 0;
  uint64_t feeds = 0;
  uint64_t agreeing = 0;
  uint64_t frames = 0;
  uint64_t applied = 0;
  uint64_t skippedRelative = 0;
  uint64_t skippedNoFeed = 0;
  uint64_t skippedUntrusted = 0;
  uint64_t skippedNoCursor = 0;
  uint64_t skippedOutside = 0;
  int64_t largestDifference = 0;
  int64_t largestStep = 0;
  uint64_t cursorDraws = 0;
  uint64_t cursorDrawsRefreshed = 0;
  uint64_t anchoredBuilt = 0;
  uint64_t anchoredMoved = 0;
  uint64_t anchoredMismatched = 0;
  uint64_t restarts = 0;
  uint64_t followingFound = 0;
  uint64_t followingMoved = 0;
};

struct GuiCursorState {
  std::atomic<bool> active{false};
  std::atomic<DWORD> gameThread{0};
  std::atomic<SdlModeFn> relativeMode{nullptr};
  SendMouseFn sendOriginal = nullptr;  // trampoline slots
  DoMouseFn doMouseOriginal = nullptr;
  ImageDrawFn imageOriginal = nullptr;
  void* sendTarget = nullptr;  // bootstrap thread only
  void* doMouseTarget = nullptr;
  void* imageTarget = nullptr;
  bool diagnostics = false;

  // Game thread only from here on.
  uint64_t tickCounter = 0;
  void* fedContext = nullptr;
  uint64_t fedTick = 0;
  int32_t lastX = 0;  // the game's last fed position, then the last applied one
  int32_t lastY = 0;
  bool trusted = false;
  bool reentrant = false;
  void* refreshedContext = nullptr;
  uint64_t refreshedTick = 0;
  CursorWindowCache cursorWindow;
  CursorTrail cursorTrail;
  std::atomic<bool> announced{false};

  AnchoredCommand anchored[kMaxAnchoredCommands];
  size_t anchoredCount = 0;
  void* anchoredContext = nullptr;
  uint64_t buildCounter = 0;
  uint64_t snapshotBuild = 0;
  bool seen = false;
  uint64_t lastSeenIndex = 0;
  FollowingList lists[2];

  GuiCursorCounters counters;
  uint64_t lastReportMs = 0;
};

GuiCursorState g_gui;

bool OnGameThread() {
  const DWORD game = g_gui.gameThread.load(std::memory_order_relaxed);
  return game != 0 && game == GetCurrentThreadId();
}

bool Active() { return g_gui.active.load(std::memory_order_acquire); }

bool RelativeModeOn() {
  const SdlModeFn mode = g_gui.relativeMode.load(std::memory_order_acquire);
  return mode != nullptr && mode() != 0;
}

enum class CursorReading : uint32_t { Inside = 0, Unreadable, Outside };
struct OsCursor {
  CursorReading reading = CursorReading::Unreadable;
  int32_t x = 0;
  int32_t y = 0;
};

// A tick asks for the active window and keeps it; a frame uses the kept one while it is fresh.
HWND CursorWindow(bool atTick) {
  if (!atTick && CursorWindowFresh(g_gui.cursorWindow, g_gui.tickCounter))
    return static_cast<HWND>(const_cast<void*>(g_gui.cursorWindow.window));
  HWND window = GetActiveWindow();
  g_gui.cursorWindow = CursorWindowCache{};
  g_gui.cursorWindow.window = window;
  g_gui.cursorWindow.tick = g_gui.tickCounter;
  g_gui.cursorWindow.known = true;
  return window;
}

// A tick always asks the system for the cursor; a frame asks only when its thread's last message
// and the last answer leave the position in doubt (see CursorTrail).
bool CursorScreenPoint(bool atTick, POINT* point) {
  CursorTrail& trail = g_gui.cursorTrail;
  const DWORD messagePos = GetMessagePos();
  if (!atTick && ChooseCursorSource(trail, messagePos, g_gui.tickCounter) != CursorSource::Query) {
    *point = {trail.x, trail.y};
    return true;
  }
  if (!GetCursorPos(point)) {
    trail.known = false;
    return false;
  }
  NoteCursorQuery(trail, point->x, point->y, messagePos, g_gui.tickCounter);
  return true;
}

// A tick maps the cursor with the system and keeps the mapping for the frames after it. A mirrored
// (right-to-left) window maps x by reflection, not by an offset, so it is mapped every time.
OsCursor ReadOsCursor(bool atTick) {
  OsCursor cursor;
  HWND window = CursorWindow(atTick);
  POINT point{};
  if (window == nullptr || !CursorScreenPoint(atTick, &point)) return cursor;
  CursorWindowCache& cache = g_gui.cursorWindow;
  ClientRect rect{};
  if (!atTick && cache.mapped) {
    point.x -= cache.originX;
    point.y -= cache.originY;
    rect = cache.client;
  } else {
    const POINT screen = point;
    RECT client{};
    if (!ScreenToClient(window, &point) || !GetClientRect(window, &client)) return cursor;
    rect = {client.left, client.top, client.right, client.bottom};
    if (atTick && (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) == 0) {
      cache.mapped = true;
      cache.originX = screen.x - point.x;
      cache.originY = screen.y - point.y;
      cache.client = rect;
    }
  }
  cursor.x = point.x;
  cursor.y = point.y;
  cursor.reading = CursorInsideClient(point.x, point.y, rect) ? CursorReading::Inside : CursorReading::Outside;
  return cursor;
}

template <typename T>
bool ReadAt(const void* base, size_t offset, T& out) {
  return ReadHostValueAt(base, offset, out);
}

bool SamePair(const float* a, const float* b) { return std::memcmp(a, b, 2 * sizeof(float)) == 0; }

// A host array as [begin, end) of whole elements, checked readable and writable in one go.
struct HostArray {
  uint8_t* begin = nullptr;
  uint64_t count = 0;
};
bool ReadHostArray(const void* context, const FollowingListDescriptor& d, HostArray* array) {
  uint8_t* begin = nullptr;
  uint8_t* end = nullptr;
  if (!ReadAt(context, d.begin, begin) || !ReadAt(context, d.end, end) || begin == nullptr || end <= begin) return false;
  const auto bytes = static_cast<uint64_t>(end - begin);
  if (bytes % d.stride != 0 || !CheckHostRange(begin, bytes, true)) return false;
  array->begin = begin;
  array->count = bytes / d.stride;
  return true;
}

float* ElementPosition(const HostArray& array, const FollowingListDescriptor& d, uint64_t index) {
  return reinterpret_cast<float*>(array.begin + index * d.stride + d.position);
}

void DropAnchored() {
  g_gui.anchoredCount = 0;
  g_gui.anchoredContext = nullptr;
}

void SnapshotFollowingList(size_t which, void* context) {
  const FollowingListDescriptor& d = kFollowingLists[which];
  FollowingList& list = g_gui.lists[which];
  FollowingSnapshot& snapshot = BeginSnapshot(list);
  HostArray array;
  if (g_gui.anchoredCount > 0 && ReadHostArray(context, d, &array) && array.count <= kMaxFollowingElements) {
    snapshot.context = context;
    snapshot.count = array.count;
    snapshot.mouseX = g_gui.anchored[0].anchorX;
    snapshot.mouseY = g_gui.anchored[0].anchorY;
    for (uint64_t i = 0; i < array.count; ++i) {
      const float* p = ElementPosition(array, d, i);
      snapshot.x[i] = p[0];
      snapshot.y[i] = p[1];
    }
    snapshot.valid = true;
  }
  uint64_t excluded[kMaxAnchoredCommands];
  size_t excludedCount = 0;
  if (d.excludeAnchored)
    for (size_t i = 0; i < g_gui.anchoredCount; ++i) excluded[excludedCount++] = g_gui.anchored[i].index;
  g_gui.counters.followingFound += ClassifyFollowers(list, excluded, excludedCount);
}

void MoveAnchoredCommands(void* context, const float* mouse) {
  if (g_gui.anchoredCount == 0 || g_gui.anchoredContext != context) return;
  HostArray array;
  if (!ReadHostArray(context, kFollowingLists[0], &array)) return DropAnchored();
  for (size_t i = 0; i < g_gui.anchoredCount; ++i) {
    AnchoredCommand& a = g_gui.anchored[i];
    const float current[2] = {a.currentX, a.currentY};
    float* position = a.index < array.count ? ElementPosition(array, kFollowingLists[0], a.index) : nullptr;
    if (position == nullptr || !SamePair(position, current)) {
      ++g_gui.counters.anchoredMismatched;
      return DropAnchored();
    }
    a.currentX = a.baseX + (mouse[0] - a.anchorX);
    a.currentY = a.baseY + (mouse[1] - a.anchorY);
    position[0] = a.currentX;
    position[1] = a.currentY;
    ++g_gui.counters.anchoredMoved;
  }
}

void MoveFollowingElements(size_t which, void* context, const float* mouse) {
  const FollowingListDescriptor& d = kFollowingLists[which];
  FollowingList& list = g_gui.lists[which];
  const FollowingSnapshot& snapshot = CurrentSnapshot(list);
  HostArray array;
  if (!snapshot.valid || snapshot.context != context || !ReadHostArray(context, d, &array) ||
      array.count != snapshot.count)
    return;
  const float dx = mouse[0] - snapshot.mouseX;
  const float dy = mouse[1] - snapshot.mouseY;
  for (uint64_t i = 0; i < snapshot.count; ++i) {
    if (list.following[i] == 0) continue;
    float* position = ElementPosition(array, d, i);
    const float last[2] = {list.lastX[i], list.lastY[i]};
    if (!SamePair(position, last)) {
      list.following[i] = 0;
      ++g_gui.counters.anchoredMismatched;
      continue;
    }
    list.lastX[i] = snapshot.x[i] + dx;
    list.lastY[i] = snapshot.y[i] + dy;
    position[0] = list.lastX[i];
    position[1] = list.lastY[i];
    ++g_gui.counters.followingMoved;
  }
}

void SendMousePositionDetour(void* context, const int32_t* position, const void* c, void* d) {
  g_gui.sendOriginal(context, position, c, d);
  if (!Active() || g_gui.reentrant || context == nullptr || position == nullptr || !OnGameThread()) return;
  int32_t fed[2] = {};
  if (!ReadHostMemory(position, fed, sizeof(fed))) return;
  g_gui.fedContext = context;
  g_gui.fedTick = g_gui.tickCounter;
  g_gui.lastX = fed[0];
  g_gui.lastY = fed[1];
  GuiCursorCounters& c2 = g_gui.counters;
  ++c2.feeds;
  if (RelativeModeOn()) return;
  const OsCursor cursor = ReadOsCursor(true);
  if (cursor.reading != CursorReading::Inside) return;
  const int64_t distance = CursorDistance(cursor.x, cursor.y, fed[0], fed[1]);
  c2.largestDifference = std::max(c2.largestDifference, distance);
  if (distance <= kGuiTrustPixels) {
    g_gui.trusted = true;
    ++c2.agreeing;
  }
}

bool RefreshedRecently(void* context) {
  return context != nullptr && context == g_gui.refreshedContext && g_gui.refreshedTick + 1 >= g_gui.tickCounter;
}

void DoMouseDetour(void* context, void* b, void* c, void* d) {
  ++g_gui.counters.cursorDraws;
  constexpr size_t kPair = 2 * sizeof(float);
  uint8_t saved[kPair];
  uint8_t refreshed[kPair];
  auto* base = static_cast<uint8_t*>(context);
  if (!Active() || !OnGameThread() || !RefreshedRecently(context) ||
      !ReadHostMemory(base + input_layout::kGuiMousePosition, refreshed, kPair) ||
      !ReadHostMemory(base + input_layout::kGuiMouseState, saved, kPair) ||
      !WriteHostMemory(base + input_layout::kGuiMouseState, refreshed, kPair))
    return g_gui.doMouseOriginal(context, b, c, d);
  g_gui.doMouseOriginal(context, b, c, d);
  WriteHostMemory(base + input_layout::kGuiMouseState, saved, kPair);
  ++g_gui.counters.cursorDrawsRefreshed;
}

void ImageDrawDetour(void* context, void* item, const float* position, void* d, void* e, void* f, void* g, void* h,
                     void* i) {
  bool anchored = false;
  float anchor[2] = {};
  const bool ours = Active() && context != nullptr && context == g_gui.fedContext && OnGameThread();
  if (ours && position != nullptr) {
    float drawn[2];
    float mouse[2];
    float state[2];
    if (ReadHostMemory(position, drawn, sizeof(drawn))) {
      if (ReadAt(context, input_layout::kGuiMousePosition, mouse) && SamePair(drawn, mouse)) {
        anchored = true;
        std::memcpy(anchor, mouse, sizeof(anchor));
      } else if (ReadAt(context, input_layout::kGuiMouseState, state) && SamePair(drawn, state)) {
        anchored = true;
        std::memcpy(anchor, state, sizeof(anchor));
      }
    }
  }
  g_gui.imageOriginal(context, item, position, d, e, f, g, h, i);
  if (!ours) return;
  HostArray array;
  if (!ReadHostArray(context, kFollowingLists[0], &array)) return;
  const uint64_t n = array.count - 1;
  GuiCursorCounters& c = g_gui.counters;
  if (g_gui.seen && n <= g_gui.lastSeenIndex && g_gui.anchoredCount > 0) {
    DropAnchored();
    ++c.restarts;
  }
  g_gui.lastSeenIndex = n;
  g_gui.seen = true;
  if (!anchored) return;

  size_t slot = g_gui.anchoredCount;
  if (g_gui.anchoredCount == 0 || g_gui.anchoredContext != context ||
      n <= g_gui.anchored[g_gui.anchoredCount - 1].index) {
    DropAnchored();
    ++g_gui.buildCounter;
    slot = 0;
  } else if (g_gui.anchoredCount == kMaxAnchoredCommands) {
    return;
  }
  const float* command = ElementPosition(array, kFollowingLists[0], n);
  float offset[2];
  if (item != nullptr && ReadAt(item, input_layout::kGuiItemOffsetX, offset[0]) &&
      ReadAt(item, input_layout::kGuiItemOffsetY, offset[1])) {
    const float expected[2] = {offset[0] + anchor[0], offset[1] + anchor[1]};
    if (SamePair(command, expected)) {
      g_gui.anchored[slot] = {n, command[0], command[1], command[0], command[1], anchor[0], anchor[1]};
      g_gui.anchoredCount = slot + 1;
      g_gui.anchoredContext = context;
      ++c.anchoredBuilt;
      return;
    }
  }
  ++c.anchoredMismatched;
}

// Feeds the GUI the OS cursor once more; the host's own mouse state around the call stays as it was.
bool RefreshMousePosition(void* context, const OsCursor& cursor) {
  auto* base = static_cast<uint8_t*>(context);
  constexpr size_t kSpan = input_layout::kGuiMouseStateByte + 1 - input_layout::kGuiMousePosition;
  if (!CheckHostRange(base + input_layout::kGuiMousePosition, kSpan, true)) return false;
  uint8_t state[input_layout::kGuiMouseStateSize];
  uint8_t stateByte = 0;
  std::memcpy(state, base + input_layout::kGuiMouseState, sizeof(state));
  std::memcpy(&stateByte, base + input_layout::kGuiMouseStateByte, 1);
  static const uint8_t kZeros[8] = {};
  const int32_t position[2] = {cursor.x, cursor.y};
  g_gui.reentrant = true;
  g_gui.sendOriginal(context, position, kZeros, nullptr);
  g_gui.reentrant = false;
  std::memcpy(base + input_layout::kGuiMouseState, state, sizeof(state));
  std::memcpy(base + input_layout::kGuiMouseStateByte, &stateByte, 1);
  return true;
}

void GuiCursorRenderHook() {
  if (!Active() || !OnGameThread() || g_gui.sendOriginal == nullptr) return;
  GuiCursorCounters& c = g_gui.counters;
  ++c.frames;
  void* context = g_gui.fedContext;
  if (context == nullptr || g_gui.fedTick + 1 < g_gui.tickCounter) {
    ++c.skippedNoFeed;
    return;
  }
  if (RelativeModeOn()) {
    ++c.skippedRelative;
    return;
  }
  if (!g_gui.trusted) {
    ++c.skippedUntrusted;
    return;
  }
  const OsCursor cursor = ReadOsCursor(false);
  if (cursor.reading == CursorReading::Unreadable) {
    ++c.skippedNoCursor;
    return;
  }
  if (cursor.reading == CursorReading::Outside) {
    ++c.skippedOutside;
    return;
  }
  if (!RefreshMousePosition(context, cursor)) {
    ++c.skippedNoFeed;
    return;
  }
  g_gui.refreshedContext = context;
  g_gui.refreshedTick = g_gui.tickCounter;
  if (g_gui.buildCounter != g_gui.snapshotBuild) {
    g_gui.snapshotBuild = g_gui.buildCounter;
    SnapshotFollowingList(0, context);
    SnapshotFollowingList(1, context);
  }
  float mouse[2];
  std::memcpy(mouse, static_cast<uint8_t*>(context) + input_layout::kGuiMousePosition, sizeof(mouse));
  MoveAnchoredCommands(context, mouse);
  MoveFollowingElements(0, context, mouse);
  MoveFollowingElements(1, context, mouse);
  ++c.applied;
  const int64_t step = std::max(std::llabs(static_cast<int64_t>(cursor.x) - g_gui.lastX),
                                std::llabs(static_cast<int64_t>(cursor.y) - g_gui.lastY));
  c.largestStep = std::max(c.largestStep, step);
  g_gui.lastX = cursor.x;
  g_gui.lastY = cursor.y;
  if (LatchOnce(g_gui.announced)) LogWrite(LogLevel::Info, kActive);
}

void RunReport() {
  if (!g_gui.diagnostics) return;
  const uint64_t now = GetTickCount64();
  if (g_gui.lastReportMs == 0) {
    g_gui.lastReportMs = now;
    return;
  }
  if (now - g_gui.lastReportMs < kReportIntervalMs) return;
  const GuiCursorCounters& c = g_gui.counters;
  if (c.feeds > 0 || c.applied > 0) {
    std::wstring line = L"GUI cursor preview: ticks/position-feeds/agreeing-ticks=" + FormatUnsigned(c.ticks) + L"/" +
                        FormatUnsigned(c.feeds) + L"/" + FormatUnsigned(c.agreeing);
    line += L", frames/applied=" + FormatUnsigned(c.frames) + L"/" + FormatUnsigned(c.applied);
    line += L", skipped relative-mode/no-feed/untrusted/no-cursor/outside=" + FormatUnsigned(c.skippedRelative) + L"/" +
            FormatUnsigned(c.skippedNoFeed) + L"/" + FormatUnsigned(c.skippedUntrusted) + L"/" +
            FormatUnsigned(c.skippedNoCursor) + L"/" + FormatUnsigned(c.skippedOutside);
    line += L", largest OS-vs-game difference at a tick=" + FormatSigned(c.largestDifference) + L" px";
    line += L", largest step applied in a frame=" + FormatSigned(c.largestStep) + L" px";
    line += L", cursor draws total/at-refreshed-position=" + FormatUnsigned(c.cursorDraws) + L"/" +
            FormatUnsigned(c.cursorDrawsRefreshed);
    line += L", mouse-anchored commands built/moved/mismatched=" + FormatUnsigned(c.anchoredBuilt) + L"/" +
            FormatUnsigned(c.anchoredMoved) + L"/" + FormatUnsigned(c.anchoredMismatched);
    line += L", builds detected by list restart=" + FormatUnsigned(c.restarts);
    line += L", mouse-following commands found/moved=" + FormatUnsigned(c.followingFound) + L"/" +
            FormatUnsigned(c.followingMoved) + L".";
    LogWrite(LogLevel::Info, line);
  }
  g_gui.counters = GuiCursorCounters{};
  g_gui.lastReportMs = now;
}

void GuiCursorTickHook(uint64_t, uint64_t) {
  if (!Active()) return;
  DWORD expected = 0;
  g_gui.gameThread.compare_exchange_strong(expected, GetCurrentThreadId(), std::memory_order_acq_rel);
  if (!OnGameThread()) return;
  ++g_gui.tickCounter;
  ++g_gui.counters.ticks;
  RunReport();
}

// An optional detour: created and enabled, or nothing left behind.
bool InstallOptionalDetour(HMODULE host, SiteId site, void* detour, void** original, void** target) {
  if (!SiteMatches(host, site)) return false;
  MinHookApi& mh = MinHook();
  void* address = SiteAddress(host, site);
  if (mh.CreateHook(address, detour, original) != MH_OK) {
    *original = nullptr;
    return false;
  }
  if (mh.EnableHook(address) != MH_OK) {
    mh.RemoveHook(address);
    *original = nullptr;
    return false;
  }
  *target = address;
  return true;
}

void RemoveDetour(void** target, void** original) {
  if (*target == nullptr) return;
  MinHookApi& mh = MinHook();
  mh.DisableHook(*target);
  mh.RemoveHook(*target);
  *target = nullptr;
  *original = nullptr;
}

}  // namespace

bool InstallGuiCursorPreview(HMODULE host, bool diagnostics, std::wstring& message) {
  if (host == nullptr) {
    message = kNullHost;
    return false;
  }
  if (!SiteMatches(host, SiteId::ImGuiSendMousePosition)) {
    message = kSiteMismatch;
    return false;
  }
  const ImportSlotLookup mode = FindImportSlot(host, "SDL2.dll", "SDL_GetRelativeMouseMode");
  if (mode.slot == nullptr || mode.value == 0) {
    message = kModeMissing;
    return false;
  }
  MinHookApi& mh = MinHook();
  const MH_STATUS init = mh.Initialize();
  if (init != MH_OK && init != MH_ERROR_ALREADY_INITIALIZED) {
    message = FormatHookFailure(L"MH_Initialize", init);
    return false;
  }
  void* target = SiteAddress(host, SiteId::ImGuiSendMousePosition);
  const MH_STATUS created = mh.CreateHook(target, reinterpret_cast<void*>(&SendMousePositionDetour),
                                          reinterpret_cast<void**>(&g_gui.sendOriginal));
  if (created != MH_OK) {
    g_gui.sendOriginal = nullptr;
    message = FormatHookFailure(L"MH_CreateHook(GUI mouse position)", created);
    return false;
  }
  g_gui.diagnostics = diagnostics;
  g_gui.relativeMode.store(reinterpret_cast<SdlModeFn>(mode.value), std::memory_order_release);
  const MH_STATUS enabled = mh.EnableHook(target);
  if (enabled != MH_OK) {
    mh.RemoveHook(target);
    g_gui.sendOriginal = nullptr;
    g_gui.relativeMode.store(nullptr, std::memory_order_release);
    message = FormatHookFailure(L"MH_EnableHook(GUI mouse position)", enabled);
    return false;
  }
  g_gui.sendTarget = target;

  if (!InstallOptionalDetour(host, SiteId::ImGuiDoMouse, reinterpret_cast<void*>(&DoMouseDetour),
                             reinterpret_cast<void**>(&g_gui.doMouseOriginal), &g_gui.doMouseTarget))
    LogWrite(LogLevel::Warn, kCursorDrawUnavailable);
  if (!InstallOptionalDetour(host, SiteId::ImGuiImageDraw, reinterpret_cast<void*>(&ImageDrawDetour),
                             reinterpret_cast<void**>(&g_gui.imageOriginal), &g_gui.imageTarget))
    LogWrite(LogLevel::Warn, kImageDrawUnavailable);

  SetTickHook(TickHook::GuiCursor, &GuiCursorTickHook);
  RenderHooks hooks;
  hooks.guiCursor = &GuiCursorRenderHook;
  SetRenderHooks(RenderHookOwner::GuiCursor, hooks);
  g_gui.active.store(true, std::memory_order_release);
  return true;
}

void UninstallGuiCursorPreview() {
  if (!g_gui.active.exchange(false, std::memory_order_acq_rel)) return;
  SetRenderHooks(RenderHookOwner::GuiCursor, RenderHooks{});
  SetTickHook(TickHook::GuiCursor, nullptr);
  RemoveDetour(&g_gui.imageTarget, reinterpret_cast<void**>(&g_gui.imageOriginal));
  RemoveDetour(&g_gui.doMouseTarget, reinterpret_cast<void**>(&g_gui.doMouseOriginal));
  RemoveDetour(&g_gui.sendTarget, reinterpret_cast<void**>(&g_gui.sendOriginal));
  g_gui.relativeMode.store(nullptr, std::memory_order_release);
  g_gui.fedContext = nullptr;
  g_gui.trusted = false;
  g_gui.cursorWindow = CursorWindowCache{};
  g_gui.cursorTrail = CursorTrail{};
  DropAnchored();
}
