/* The part of SDL2's interface the game uses, plus the stand-in's present record. */
#ifndef QV_SDL2_API_H
#define QV_SDL2_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef QV_SDL2_BUILD
#define QV_SDL_API __declspec(dllexport)
#else
#define QV_SDL_API __declspec(dllimport)
#endif

QV_SDL_API void SDL_GL_SwapWindow(void* window);
QV_SDL_API uint32_t SDL_GetRelativeMouseState(int* x, int* y);
QV_SDL_API void SDL_PumpEvents(void);
QV_SDL_API int SDL_GetRelativeMouseMode(void);

/* Not SDL: the stand-in's own record of presents (QueryPerformanceCounter at each). */
typedef struct QvPresentRecord {
  int64_t last_counter;
  uint64_t count;
} QvPresentRecord;
QV_SDL_API void QvStandinPresentRecord(QvPresentRecord* out);
/* Not SDL: mouse motion the next SDL_GetRelativeMouseState reports (accumulates). */
QV_SDL_API void QvStandinQueueMouseMotion(int dx, int dy);
/* Not SDL: the hand. Reports in arrival order, counter = QueryPerformanceCounter at arrival; the
   array must outlive the run. */
typedef struct QvMouseReport {
  int64_t counter;
  int32_t dx;
  int32_t dy;
} QvMouseReport;
QV_SDL_API void QvStandinSetMouseTrack(const QvMouseReport* reports, size_t count);
QV_SDL_API size_t QvStandinMouseReportsTaken(void);
/* Not SDL: relative mouse mode as the game sets it (SDL_SetRelativeMouseMode). */
QV_SDL_API void QvStandinSetRelativeMouseMode(int on);

#ifdef __cplusplus
}
#endif

#endif
