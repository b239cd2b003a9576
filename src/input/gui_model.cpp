#include "input/gui_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr float kMouseMovedL1 = 0.5f;
constexpr float kSamePlace = 0.05f;

bool IsExcluded(uint64_t index, const uint64_t* excluded, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (excluded[i] == index) return true;
  return false;
}

}  // namespace

bool CursorInsideClient(int32_t x, int32_t y, const ClientRect& rect) noexcept {
  return rect.left <= x && x < rect.right && rect.top <= y && y < rect.bottom;
}

int64_t CursorDistance(int32_t osX, int32_t osY, int32_t fedX, int32_t fedY) noexcept {
  return std::max(std::llabs(static_cast<int64_t>(osX) - fedX), std::llabs(static_cast<int64_t>(osY) - fedY));
}

bool CursorWindowFresh(const CursorWindowCache& cache, uint64_t tickCounter) noexcept {
  return cache.known && cache.tick <= tickCounter && tickCounter - cache.tick <= 1;
}

CursorSource ChooseCursorSource(CursorTrail& trail, uint32_t messagePos, uint64_t tickCounter) noexcept {
  const bool recent = trail.known && trail.queryTick <= tickCounter && tickCounter - trail.queryTick <= 1;
  const bool newMessage = messagePos != trail.messagePos;
  trail.messagePos = messagePos;
  if (!recent) return CursorSource::Query;
  if (newMessage) {
    // Two signed 16-bit halves, x low, as GET_X_LPARAM and GET_Y_LPARAM read them.
    trail.x = static_cast<int16_t>(messagePos & 0xFFFFu);
    trail.y = static_cast<int16_t>(messagePos >> 16);
    return CursorSource::Message;
  }
  return trail.moving ? CursorSource::Query : CursorSource::Kept;
}

void NoteCursorQuery(CursorTrail& trail, int32_t x, int32_t y, uint32_t messagePos, uint64_t tickCounter) noexcept {
  trail.moving = !trail.known || x != trail.x || y != trail.y;
  trail.known = true;
  trail.x = x;
  trail.y = y;
  trail.queryTick = tickCounter;
  trail.messagePos = messagePos;
}

FollowingSnapshot& BeginSnapshot(FollowingList& list) noexcept {
  list.current ^= 1u;
  FollowingSnapshot& snapshot = list.snapshots[list.current];
  snapshot.valid = false;
  return snapshot;
}

uint64_t ClassifyFollowers(FollowingList& list, const uint64_t* excluded, size_t excludedCount) noexcept {
  const FollowingSnapshot& now = list.snapshots[list.current];
  const FollowingSnapshot& before = list.snapshots[list.current ^ 1u];
  if (!now.valid || !before.valid || now.context != before.context || now.count != before.count ||
      now.count > kMaxFollowingElements) {
    std::memset(list.following, 0, sizeof(list.following));
    return 0;
  }
  const float dx = now.mouseX - before.mouseX;
  const float dy = now.mouseY - before.mouseY;
  const bool mouseMoved = std::fabs(dx) + std::fabs(dy) > kMouseMovedL1;
  uint64_t found = 0;
  for (uint64_t i = 0; i < now.count; ++i) {
    bool follows = false;
    if (!IsExcluded(i, excluded, excludedCount)) {
      const float mx = now.x[i] - before.x[i];
      const float my = now.y[i] - before.y[i];
      follows = mouseMoved ? std::fabs(mx - dx) < kSamePlace && std::fabs(my - dy) < kSamePlace
                           : list.following[i] != 0 && std::fabs(mx) < kSamePlace && std::fabs(my) < kSamePlace;
    }
    list.following[i] = follows ? 1 : 0;
    if (!follows) continue;
    list.lastX[i] = now.x[i];
    list.lastY[i] = now.y[i];
    ++found;
  }
  std::memset(list.following + now.count, 0, kMaxFollowingElements - now.count);
  return found;
}
