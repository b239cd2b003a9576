#include "draw_log.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "world.h"

namespace qv {
namespace {

constexpr size_t kMaxRows = 8u << 20;
constexpr size_t kMaxTracks = 4096;
constexpr size_t kLaterTracks = 32;  // objects a scenario creates after the start

struct Track {
  const char* kind;
  char id[104];
};

struct Row {
  double present_s;
  uint64_t frame;
  uint32_t track;
  float xyz[3];
};

struct DrawLog {
  bool on = false;
  std::vector<Track> tracks;
  std::vector<Row> rows;
  size_t capacity = 0;
  size_t frame_first_row = 0;
  uint64_t frame = 0;
  uint64_t dropped = 0;
};

DrawLog& TheLog() {
  static DrawLog log;
  return log;
}

}  // namespace

void BeginDrawLog() {
  DrawLog& d = TheLog();
  if (TheWorld().options.draw_log_path.empty()) return;
  d.on = true;
  d.tracks.reserve(kMaxTracks);
}

void ReserveDrawLogRows() {
  World& w = TheWorld();
  DrawLog& d = TheLog();
  if (!d.on) return;
  double slowest_hz = w.options.tick_hz < 50.0 ? w.options.tick_hz : 50.0;
  double seconds = static_cast<double>(w.options.ticks) / slowest_hz + 5.0;
  double fps = w.options.render_hz > 0 ? w.options.render_hz : 2000.0;
  double rows = seconds * fps * static_cast<double>(d.tracks.size() + kLaterTracks);
  d.capacity = rows > static_cast<double>(kMaxRows) ? kMaxRows : static_cast<size_t>(rows);
  d.rows.reserve(d.capacity);
}

int DrawLogTrack(const char* kind, const char* id) {
  DrawLog& d = TheLog();
  if (!d.on || d.tracks.size() >= kMaxTracks) return -1;
  Track t{};
  t.kind = kind;
  std::strncpy(t.id, id, sizeof t.id - 1);
  d.tracks.push_back(t);
  return static_cast<int>(d.tracks.size() - 1);
}

void DrawLogRow(int track, const float* xyz) {
  DrawLog& d = TheLog();
  if (track < 0) return;
  if (d.rows.size() >= d.capacity) {
    ++d.dropped;
    return;
  }
  Row r{};
  r.frame = d.frame;
  r.track = static_cast<uint32_t>(track);
  std::memcpy(r.xyz, xyz, sizeof r.xyz);
  d.rows.push_back(r);
}

void EndDrawLogFrame(double present_s) {
  DrawLog& d = TheLog();
  if (!d.on) return;
  for (size_t i = d.frame_first_row; i < d.rows.size(); ++i) d.rows[i].present_s = present_s;
  d.frame_first_row = d.rows.size();
  ++d.frame;
}

bool WriteDrawLog(std::wstring* error) {
  World& w = TheWorld();
  DrawLog& d = TheLog();
  if (!d.on) return true;
  FILE* f = _wfopen(w.options.draw_log_path.c_str(), L"wb");
  if (!f) {
    *error = L"could not write " + w.options.draw_log_path;
    return false;
  }
  std::fputs("present_s,frame,kind,id,x,y,z\n", f);
  // Rows of a frame that never reached its present are not a drawn frame.
  for (size_t i = 0; i < d.frame_first_row; ++i) {
    const Row& r = d.rows[i];
    const Track& t = d.tracks[r.track];
    std::fprintf(f, "%.9f,%llu,%s,%s,%.9g,%.9g,%.9g\n", r.present_s, static_cast<unsigned long long>(r.frame), t.kind,
                 t.id, static_cast<double>(r.xyz[0]), static_cast<double>(r.xyz[1]), static_cast<double>(r.xyz[2]));
  }
  bool ok = std::fclose(f) == 0;
  if (!ok) *error = L"could not write " + w.options.draw_log_path;
  return ok;
}

uint64_t DrawLogRowsDropped() { return TheLog().dropped; }

}  // namespace qv
