// cScene::RenderViewport's own work: draw the viewport, and for the listener viewport record
// what its camera and every tracked object held while drawn. Also the frames CSV.
#include <cstdio>

#include "draw_log.h"
#include "entities.h"
#include "layouts.h"
#include "particles.h"
#include "physics.h"
#include "skeletons.h"
#include "world.h"
#include "world_exports.h"

namespace qv {
namespace {

constexpr size_t kMaxRows = 4u << 20;

void BusyFor(double microseconds) {
  if (microseconds <= 0) return;
  int64_t end = QpcNow() + static_cast<int64_t>(microseconds * 1e-6 * static_cast<double>(TheWorld().qpc_frequency));
  while (QpcNow() < end) YieldProcessor();
}

}  // namespace

void ReserveFrameRows() {
  World& w = TheWorld();
  if (w.options.frames_path.empty()) return;
  double slowest_hz = w.options.tick_hz < 50.0 ? w.options.tick_hz : 50.0;
  double seconds = static_cast<double>(w.options.ticks) / slowest_hz + 5.0;
  double fps = w.options.render_hz > 0 ? w.options.render_hz : 20000.0;
  double rows = seconds * fps;
  w.frames.row_capacity = rows > static_cast<double>(kMaxRows) ? kMaxRows : static_cast<size_t>(rows);
  w.frames.rows.reserve(w.frames.row_capacity);
}

bool WriteFramesCsv(std::wstring* error) {
  World& w = TheWorld();
  if (w.options.frames_path.empty()) return true;
  FILE* f = _wfopen(w.options.frames_path.c_str(), L"wb");
  if (!f) {
    *error = L"could not write " + w.options.frames_path;
    return false;
  }
  std::fputs("present_s,steps,mode,x,y,z,pitch,yaw,roll", f);
  for (int i = 0; i < 16; ++i) std::fprintf(f, ",m%d", i);
  std::fputs(",listener_call_us,host_draw_us\n", f);
  for (const FrameRow& r : w.frames.rows) {
    std::fprintf(f, "%.9f,%llu,%u", r.present_s, static_cast<unsigned long long>(r.steps), r.mode);
    for (float v : r.position) std::fprintf(f, ",%.9g", static_cast<double>(v));
    for (float v : r.angles) std::fprintf(f, ",%.9g", static_cast<double>(v));
    for (float v : r.matrix) std::fprintf(f, ",%.9g", static_cast<double>(v));
    std::fprintf(f, ",%.3f,%.3f\n", r.listener_call_us, r.host_draw_us);
  }
  bool ok = std::fclose(f) == 0;
  if (!ok) *error = L"could not write " + w.options.frames_path;
  return ok;
}

}  // namespace qv

using namespace qv;

extern "C" void QvSceneRenderViewport(void* scene, void* viewport, float dt, int index) {
  (void)scene;
  (void)dt;
  (void)index;
  World& w = TheWorld();
  ++w.engine.site_calls[2];
  int64_t t0 = QpcNow();
  if (viewport == w.engine.listener_viewport) {
    CaptureListenerCamera(viewport, &w.frames.pending);
    // What the listener view draws of every other kind, as the renderer sees it now.
    DrawEntities();
    DrawBodies();
    DrawSkeletons();
    DrawParticles();
    BusyFor(w.options.draw_us);
    w.frames.pending.host_draw_us = QpcSeconds(QpcNow() - t0) * 1e6;
  } else {
    BusyFor(w.options.draw_us / 4);
  }
}
