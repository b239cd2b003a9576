/* Stand-in SDL2.dll: the four calls the game imports, doing what the game needs. */
#define QV_SDL2_BUILD
#include "sdl2_api.h"

#include <windows.h>

static volatile LONG64 g_lastPresent;
static volatile LONG64 g_presentCount;
static volatile LONG g_mouseX;
static volatile LONG g_mouseY;
static volatile LONG g_relativeMode = 1;

/* The hand: mouse reports stamped with the performance-counter time each arrives. A read takes
   every report that has arrived by then. Only the game thread reads. */
static const QvMouseReport* g_track;
static size_t g_trackCount;
static size_t g_trackNext;

/* The present moment is when this call is entered: that is what the player sees. */
void SDL_GL_SwapWindow(void* window) {
  (void)window;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  InterlockedExchange64(&g_lastPresent, now.QuadPart);
  InterlockedIncrement64(&g_presentCount);
}

uint32_t SDL_GetRelativeMouseState(int* x, int* y) {
  LONG dx = InterlockedExchange(&g_mouseX, 0);
  LONG dy = InterlockedExchange(&g_mouseY, 0);
  if (g_track && g_trackNext < g_trackCount) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    while (g_trackNext < g_trackCount && g_track[g_trackNext].counter <= now.QuadPart) {
      dx += g_track[g_trackNext].dx;
      dy += g_track[g_trackNext].dy;
      ++g_trackNext;
    }
  }
  if (x) *x = (int)dx;
  if (y) *y = (int)dy;
  return 0; /* no buttons held */
}

void SDL_PumpEvents(void) {}

/* The game keeps the mouse captured for looking around, except in its menus. */
int SDL_GetRelativeMouseMode(void) { return (int)InterlockedCompareExchange(&g_relativeMode, 0, 0); }

void QvStandinPresentRecord(QvPresentRecord* out) {
  if (!out) return;
  out->last_counter = InterlockedCompareExchange64(&g_lastPresent, 0, 0);
  out->count = (uint64_t)InterlockedCompareExchange64(&g_presentCount, 0, 0);
}

void QvStandinQueueMouseMotion(int dx, int dy) {
  InterlockedExchangeAdd(&g_mouseX, dx);
  InterlockedExchangeAdd(&g_mouseY, dy);
}

void QvStandinSetMouseTrack(const QvMouseReport* reports, size_t count) {
  g_track = reports;
  g_trackCount = count;
  g_trackNext = 0;
}

size_t QvStandinMouseReportsTaken(void) { return g_trackNext; }

void QvStandinSetRelativeMouseMode(int on) { InterlockedExchange(&g_relativeMode, on ? 1 : 0); }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance; (void)reason; (void)reserved;
  return TRUE;
}
