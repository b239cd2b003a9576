/* QuarrenVelt.exe: a shell around the world DLL. Its own code is only what has
   to live in the main module: the host functions at their RVAs (generated) and
   the SDL calls, which must go through this module's import slots. */
#include "qv_host.h"
#include "sdl2_api.h"

extern const QvHostBuild kQvHostBuild;

/* Each call reads the import slot anew, so a redirected slot takes effect at once. */
static void HostPresent(void* window) { SDL_GL_SwapWindow(window); }
static uint32_t HostGetRelativeMouseState(int* x, int* y) { return SDL_GetRelativeMouseState(x, y); }
static void HostPumpEvents(void) { SDL_PumpEvents(); }
static int HostGetRelativeMouseMode(void) { return SDL_GetRelativeMouseMode(); }

int main(void) {
  static const QvHostServices services = {HostPresent, HostGetRelativeMouseState, HostPumpEvents,
                                          HostGetRelativeMouseMode};
  return QvGameMain(&kQvHostBuild, &services);
}
