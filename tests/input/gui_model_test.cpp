// The GUI cursor preview's pure decisions: the client area, the trust distance, and which elements
// follow the mouse between two GUI builds.
#include <gtest/gtest.h>

#include <memory>

#include "input/gui_model.h"

namespace {

TEST(GuiCursorModelTest, RightAndBottomEdgesAreOutsideTheClientArea) {
  const ClientRect rect{0, 0, 640, 480};
  struct Case {
    int32_t x, y;
    bool inside;
  };
  const Case cases[] = {{0, 0, true}, {639, 479, true}, {640, 10, false}, {10, 480, false}, {-1, 10, false},
                        {10, -1, false}};
  for (const Case& c : cases) EXPECT_EQ(CursorInsideClient(c.x, c.y, rect), c.inside) << c.x << "," << c.y;
}

TEST(GuiCursorModelTest, TrustNeedsTheOsCursorWithinThreePixelsOnBothAxes) {
  EXPECT_LE(CursorDistance(103, 50, 100, 50), kGuiTrustPixels);
  EXPECT_LE(CursorDistance(97, 47, 100, 50), kGuiTrustPixels);
  EXPECT_GT(CursorDistance(104, 50, 100, 50), kGuiTrustPixels);
  EXPECT_GT(CursorDistance(100, 46, 100, 50), kGuiTrustPixels);
  EXPECT_EQ(CursorDistance(INT32_MIN, 0, INT32_MAX, 0), int64_t{UINT32_MAX});
}

TEST(GuiCursorModelTest, AWindowFoundAtATickServesFramesUntilTheNextTickEnds) {
  int window = 0;
  struct Case {
    CursorWindowCache cache;
    uint64_t tick;
    bool fresh;
  };
  const Case cases[] = {
      {{&window, 7, true}, 7, true},   {{&window, 7, true}, 8, true},  {{nullptr, 7, true}, 8, true},
      {{&window, 7, true}, 9, false},  {{&window, 7, false}, 7, false}, {{&window, 9, true}, 8, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CursorWindowFresh(c.cache, c.tick), c.fresh) << c.cache.tick << " at " << c.tick;
}

constexpr uint32_t Packed(int16_t x, int16_t y) {
  return static_cast<uint16_t>(x) | static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16;
}

// In order: frames and ticks' queries, each with the last-message position the thread holds then
// and, when the system is asked, its answer.
TEST(CursorTrailTest, AFrameQueriesOnlyWhenNeitherAMessageNorTheLastQuerySaysWhereTheCursorIs) {
  struct Step {
    const char* what;
    bool tickQuery;
    uint64_t tick;
    uint32_t messagePos;
    int32_t answerX, answerY;
    CursorSource source;  // frames only
    int32_t x, y;         // the position a frame uses
  };
  const Step steps[] = {
      {"nothing known", false, 1, Packed(10, 10), 10, 10, CursorSource::Query, 10, 10},
      {"the first query found nothing to agree with", false, 1, Packed(10, 10), 10, 10, CursorSource::Query, 10, 10},
      {"no message, the last query found it still", false, 1, Packed(10, 10), 0, 0, CursorSource::Kept, 10, 10},
      {"a pumped move carries the cursor", false, 1, Packed(14, 12), 0, 0, CursorSource::Message, 14, 12},
      {"negative screen coordinates", false, 2, Packed(-5, -300), 0, 0, CursorSource::Message, -5, -300},
      {"the tick finds it elsewhere", true, 2, Packed(-5, -300), 40, 50, CursorSource::Query, 0, 0},
      {"moving without messages", false, 2, Packed(-5, -300), 42, 50, CursorSource::Query, 42, 50},
      {"the query found it still", false, 2, Packed(-5, -300), 42, 50, CursorSource::Query, 42, 50},
      {"kept", false, 3, Packed(-5, -300), 0, 0, CursorSource::Kept, 42, 50},
      {"the tick's query took the pumped message", true, 3, Packed(43, 50), 43, 51, CursorSource::Query, 0, 0},
      {"which is no news to a frame", false, 3, Packed(43, 50), 43, 51, CursorSource::Query, 43, 51},
      {"kept until the next tick ends", false, 4, Packed(43, 50), 0, 0, CursorSource::Kept, 43, 51},
      {"no query for two ticks: a new message is not enough", false, 5, Packed(60, 60), 61, 62, CursorSource::Query,
       61, 62},
  };
  CursorTrail trail;
  for (const Step& s : steps) {
    if (s.tickQuery) {
      NoteCursorQuery(trail, s.answerX, s.answerY, s.messagePos, s.tick);
      continue;
    }
    const CursorSource source = ChooseCursorSource(trail, s.messagePos, s.tick);
    EXPECT_EQ(source, s.source) << s.what;
    if (source == CursorSource::Query) NoteCursorQuery(trail, s.answerX, s.answerY, s.messagePos, s.tick);
    EXPECT_EQ(trail.x, s.x) << s.what;
    EXPECT_EQ(trail.y, s.y) << s.what;
  }
}

// A build of n elements drawn with the mouse at (mx, my); element i sits at (i, 0) plus the mouse
// when it follows.
void Build(FollowingList& list, const void* context, uint64_t n, float mx, float my, const bool* follows) {
  FollowingSnapshot& s = BeginSnapshot(list);
  s.context = context;
  s.count = n;
  s.mouseX = mx;
  s.mouseY = my;
  for (uint64_t i = 0; i < n; ++i) {
    s.x[i] = static_cast<float>(i) + (follows[i] ? mx : 0.0f);
    s.y[i] = follows[i] ? my : 0.0f;
  }
  s.valid = true;
}

TEST(FollowingListTest, ElementsThatMoveWithTheMouseFollowAndTheRestStay) {
  auto list = std::make_unique<FollowingList>();
  const int context = 0;
  const bool follows[4] = {false, true, false, true};
  Build(*list, &context, 4, 10.0f, 10.0f, follows);
  EXPECT_EQ(ClassifyFollowers(*list, nullptr, 0), 0u) << "one build alone shows nothing";
  Build(*list, &context, 4, 20.0f, 15.0f, follows);
  const uint64_t excluded[] = {3};
  EXPECT_EQ(ClassifyFollowers(*list, excluded, 1), 1u);
  EXPECT_EQ(list->following[1], 1);
  EXPECT_EQ(list->following[3], 0) << "an anchored command is never a follower";
  EXPECT_FLOAT_EQ(list->lastX[1], 21.0f);
  // The mouse still (L1 0.5 at most): a follower that stayed put keeps following, nothing new does.
  Build(*list, &context, 4, 20.25f, 15.25f, follows);
  EXPECT_EQ(ClassifyFollowers(*list, nullptr, 0), 0u) << "moved 0.25 with a still mouse: not in place";
  Build(*list, &context, 4, 20.25f, 15.25f, follows);
  EXPECT_EQ(ClassifyFollowers(*list, nullptr, 0), 0u) << "lost followers are not found again while still";
}

TEST(FollowingListTest, AnElementThatStaysPutWhileTheMouseMovesDoesNotFollow) {
  auto list = std::make_unique<FollowingList>();
  const int context = 0;
  const bool none[2] = {false, false};
  const bool both[2] = {true, true};
  Build(*list, &context, 2, 0.0f, 0.0f, both);
  Build(*list, &context, 2, 0.4f, 0.4f, both);  // L1 0.8 > 0.5: moved
  EXPECT_EQ(ClassifyFollowers(*list, nullptr, 0), 2u);
  Build(*list, &context, 2, 0.4f, 0.4f, both);  // still: both keep following
  EXPECT_EQ(ClassifyFollowers(*list, nullptr, 0), 2u);
  Build(*list, &context, 2, 5.0f, 0.4f, none);
  EXPECT_EQ(ClassifyFollowers(*list, nullptr, 0), 0u);
}

TEST(FollowingListTest, AnotherContextCountOrOversizedListClearsEveryMark) {
  const int a = 0;
  const int b = 0;
  const bool follows[3] = {true, true, true};
  struct Case {
    const char* name;
    const void* context;
    uint64_t count;
    bool valid;
  };
  const Case cases[] = {{"other context", &b, 3, true}, {"other count", &a, 2, true}, {"not valid", &a, 3, false}};
  for (const Case& c : cases) {
    auto list = std::make_unique<FollowingList>();
    Build(*list, &a, 3, 0.0f, 0.0f, follows);
    Build(*list, &a, 3, 5.0f, 5.0f, follows);
    ASSERT_EQ(ClassifyFollowers(*list, nullptr, 0), 3u) << c.name;
    Build(*list, c.context, c.count, 9.0f, 9.0f, follows);
    CurrentSnapshot(*list).valid = c.valid;
    EXPECT_EQ(ClassifyFollowers(*list, nullptr, 0), 0u) << c.name;
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(list->following[i], 0) << c.name;
  }
}

}  // namespace
