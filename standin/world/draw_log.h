// --draw-log: one row per tracked object per presented listener frame, with the world position
// the renderer drew. Any kind tracks its objects here under its own kind label; rows are kept in
// memory reserved up front and written at exit.
#pragma once

#include <string>

namespace qv {

// kind is a static text ("hands", "newton", ...); id is copied. Returns the track, or -1 when
// there is no draw log.
int DrawLogTrack(const char* kind, const char* id);
// Called from inside the listener viewport's draw.
void DrawLogRow(int track, const float* xyz);
// Called at present: stamps the rows of this frame with its present time.
void EndDrawLogFrame(double present_s);

// Before the world's objects are created (they track themselves), and after.
void BeginDrawLog();
void ReserveDrawLogRows();
bool WriteDrawLog(std::wstring* error);

}  // namespace qv

namespace qv {
uint64_t DrawLogRowsDropped();
}  // namespace qv
