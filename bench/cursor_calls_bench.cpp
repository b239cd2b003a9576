// What each Windows call the GUI cursor preview could use costs on this system, with the cursor
// moved every iteration (as in a moving hand) and with it resting. Prints medians and p90s of 400
// timed calls each; a measurement, not a test. Needs a display (under Wine: a real or virtual X
// server), since the cursor and the window are real.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

HWND g_window = nullptr;
double g_ticksPerUs = 1.0;
volatile LONG g_sink = 0;  // keeps the answers alive

void Keep(LONG value) { g_sink = g_sink + value; }

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcW(window, message, w, l);
}

void Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

template <typename F>
void Time(const char* name, bool moving, F call) {
  std::vector<double> us;
  for (int i = 0; i < 400; ++i) {
    if (moving) {
      POINT p{200 + i % 50, 200};
      ClientToScreen(g_window, &p);
      SetCursorPos(p.x, p.y);
      Pump();
    }
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    call();
    QueryPerformanceCounter(&b);
    us.push_back(static_cast<double>(b.QuadPart - a.QuadPart) / g_ticksPerUs);
  }
  std::sort(us.begin(), us.end());
  std::printf("%-30s %-7s median %8.2f us  p90 %8.2f us\n", name, moving ? "moving" : "resting", us[us.size() / 2],
              us[us.size() * 9 / 10]);
}

}  // namespace

int main() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  g_ticksPerUs = static_cast<double>(frequency.QuadPart) / 1e6;
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"CursorCallsBench";
  RegisterClassW(&wc);
  g_window = CreateWindowExW(0, wc.lpszClassName, L"cursor calls", WS_OVERLAPPEDWINDOW, 40, 40, 660, 520, nullptr,
                             nullptr, wc.hInstance, nullptr);
  if (!g_window) return 1;
  ShowWindow(g_window, SW_SHOW);
  SetForegroundWindow(g_window);
  Pump();
  for (bool moving : {true, false}) {
    // Wine asks the X server for a cursor that has not moved for 100 ms.
    if (!moving) Sleep(300);
    Time("GetCursorPos", moving, [] { POINT p; GetCursorPos(&p); Keep(p.x); });
    Time("GetPhysicalCursorPos", moving, [] { POINT p; GetPhysicalCursorPos(&p); Keep(p.x); });
    Time("GetCursorInfo", moving, [] {
      CURSORINFO c{sizeof c, 0, nullptr, {}};
      GetCursorInfo(&c);
      Keep(c.ptScreenPos.x);
    });
    Time("GetActiveWindow", moving, [] { Keep(GetActiveWindow() != nullptr); });
    Time("ScreenToClient", moving, [] { POINT p{300, 300}; ScreenToClient(g_window, &p); Keep(p.x); });
    Time("GetClientRect", moving, [] { RECT r; GetClientRect(g_window, &r); Keep(r.right); });
    Time("GetMessagePos", moving, [] { Keep(static_cast<LONG>(GetMessagePos())); });
    Time("GetQueueStatus(QS_MOUSEMOVE)", moving, [] { Keep(static_cast<LONG>(GetQueueStatus(QS_MOUSEMOVE))); });
    Time("GetLastInputInfo", moving, [] { LASTINPUTINFO l{sizeof l, 0}; GetLastInputInfo(&l); Keep(l.dwTime); });
  }
  DestroyWindow(g_window);
  return 0;
}
