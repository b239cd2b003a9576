#pragma once
// The GUI cursor preview's pure decisions: when the OS cursor stands for the GUI's mouse, and which
// GUI elements were seen following the mouse between two GUI builds. No Windows headers.
#include <cstddef>
#include <cstdint>

inline constexpr int32_t kGuiTrustPixels = 3;
inline constexpr size_t kMaxFollowingElements = 2048;
inline constexpr size_t kMaxAnchoredCommands = 8;

struct ClientRect {
  int32_t left, top, right, bottom;
};
// Left and top edges are inside, right and bottom are not.
bool CursorInsideClient(int32_t x, int32_t y, const ClientRect& rect) noexcept;
// The larger axis distance between the OS cursor and the position the game fed.
int64_t CursorDistance(int32_t osX, int32_t osY, int32_t fedX, int32_t fedY) noexcept;

// The active window as a tick's cursor read found it (null: none was active). Asking the system
// costs a round trip to the window server under Wine, so a frame takes the window found at this
// tick or the one before, the same recency a feed has, and asks only when there is none.
// With it, the client area as that read mapped it, its top left in screen pixels: a frame maps with
// it rather than asking twice more. A window moved or resized between ticks is seen at the next
// tick (on Windows, one dragged by the user holds the game thread in the system's move loop).
struct CursorWindowCache {
  const void* window = nullptr;
  uint64_t tick = 0;
  bool known = false;
  bool mapped = false;
  int32_t originX = 0;
  int32_t originY = 0;
  ClientRect client{};
};
bool CursorWindowFresh(const CursorWindowCache& cache, uint64_t tickCounter) noexcept;

// What frames know of the OS cursor between system queries. A query costs a round trip to the
// window server under Wine, and one to the X server as well once the cursor has been still for
// 100 ms, so a frame takes the cursor from what its thread already holds whenever that says where
// the cursor is:
// - The position of the last message the thread retrieved (GetMessagePos) lives in the thread's own
//   data on Windows and under Wine alike, and is the cursor position when that message was posted.
//   A cursor moving over the window posts a mouse move to the window's thread, so when this position
//   changed since the last look the game has just pumped a message carrying the latest cursor.
// - With no new message and the last query finding the cursor where it was known, nothing seen has
//   moved it, and the known position is kept.
// - Otherwise the frame queries: nothing known, no query at this tick or the one before (a gap in
//   which frames did not look), or the cursor seen moving without messages (a game that pumps only
//   per tick or on another thread, a cursor leaving the window). Each tick's own query catches
//   such moves, so a frame is never further behind than the game's own feed.
struct CursorTrail {
  bool known = false;  // x and y hold a screen position
  int32_t x = 0;
  int32_t y = 0;
  uint64_t queryTick = 0;   // the tick counter at the last query
  uint32_t messagePos = 0;  // the packed last-message position at the last look
  bool moving = false;      // the last query found the cursor away from the known position
};
enum class CursorSource : uint8_t { Message, Kept, Query };
// Decides a frame's source from the thread's last-message position and notes that position; with
// Message the trail's x and y are already that position.
CursorSource ChooseCursorSource(CursorTrail& trail, uint32_t messagePos, uint64_t tickCounter) noexcept;
// Notes a system query's answer with the last-message position at that time, which the next frame
// then sees as nothing new.
void NoteCursorQuery(CursorTrail& trail, int32_t x, int32_t y, uint32_t messagePos, uint64_t tickCounter) noexcept;

struct FollowingSnapshot {
  bool valid = false;
  const void* context = nullptr;
  uint64_t count = 0;
  float mouseX = 0.0f;  // the mouse position the build was drawn at
  float mouseY = 0.0f;
  float x[kMaxFollowingElements] = {};
  float y[kMaxFollowingElements] = {};
};

// One element list: two snapshots used alternately, and per element whether it follows the mouse
// and where the preview last put it.
struct FollowingList {
  FollowingSnapshot snapshots[2];
  uint32_t current = 0;
  uint8_t following[kMaxFollowingElements] = {};
  float lastX[kMaxFollowingElements] = {};
  float lastY[kMaxFollowingElements] = {};
};

inline FollowingSnapshot& CurrentSnapshot(FollowingList& list) { return list.snapshots[list.current]; }

// Makes the other snapshot current and invalid, ready to be filled.
FollowingSnapshot& BeginSnapshot(FollowingList& list) noexcept;
// Compares the filled current snapshot with the previous one and marks the followers: with the
// mouse moved (L1 over 0.5 px) an element follows when it moved with it; with the mouse still, one
// that followed before keeps following while it stays put. excluded lists element indices that
// never follow. Every other case clears all marks. Returns the number of followers.
uint64_t ClassifyFollowers(FollowingList& list, const uint64_t* excluded, size_t excludedCount) noexcept;
