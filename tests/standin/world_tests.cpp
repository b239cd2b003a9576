// The stand-in's entity, physics and skeleton worlds: what each scenario draws, how its bodies
// and bones move, and that its leak check covers every node, body and bone it writes.
#include <cmath>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "game_run.h"
#include "support/game_launcher.h"

namespace {

using qvtest::BuiltExe;
using qvtest::GameRun;
using qvtest::RunGame;

struct DrawRun {
  GameRun run;
  launcher::CsvTable draws;
  launcher::CsvTable frames;  // the frame records: the completed steps each frame showed
  std::map<std::string, std::vector<size_t>> rowsById;  // row indexes per object id
};

DrawRun RunWithDrawLog(const std::wstring& build, const std::wstring& args) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static int serial = 0;
  const std::wstring path = std::wstring(temp) + L"qv-draw-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++serial);
  DrawRun r;
  r.run = RunGame(BuiltExe(build), L"--no-plugin " + args + L" --draw-log \"" + path + L".csv\" --frames \"" + path +
                                       L"-frames.csv\"");
  r.draws = launcher::ParseCsv(launcher::ReadTextFile(path + L".csv"));
  r.frames = launcher::ParseCsv(launcher::ReadTextFile(path + L"-frames.csv"));
  DeleteFileW((path + L".csv").c_str());
  DeleteFileW((path + L"-frames.csv").c_str());
  for (size_t i = 0; i < r.draws.rows.size(); ++i) r.rowsById[r.draws.Text(i, "id")].push_back(i);
  return r;
}

double Y(const DrawRun& r, size_t row) { return r.draws.Number(row, "y"); }

// The completed steps the frame of a draw row showed.
double Step(const DrawRun& r, size_t row) {
  return r.frames.Number(static_cast<size_t>(r.draws.Number(row, "frame")), "steps");
}

double Distance(const DrawRun& r, size_t a, size_t b) {
  double d = 0;
  for (const char* c : {"x", "y", "z"}) d += std::pow(r.draws.Number(a, c) - r.draws.Number(b, c), 2);
  return std::sqrt(d);
}

TEST(standin_world, DrawLogHasOneRowPerTrackedObjectPerPresentedFrame) {
  DrawRun r = RunWithDrawLog(L"GOG", L"--scenario steady-world --ticks 60");
  ASSERT_EQ(r.run.exit_code, 0u) << r.run.err;
  ASSERT_EQ(r.draws.columns, (std::vector<std::string>{"present_s", "frame", "kind", "id", "x", "y", "z"}));
  std::map<std::string, int> rowsPerFrame;
  std::set<std::string> kinds;
  for (size_t i = 0; i < r.draws.rows.size(); ++i) {
    ++rowsPerFrame[r.draws.Text(i, "frame")];
    kinds.insert(r.draws.Text(i, "kind"));
  }
  EXPECT_EQ(static_cast<long long>(rowsPerFrame.size()), std::atoll(r.run.summary["frames"].c_str()));
  for (const auto& [frame, rows] : rowsPerFrame) EXPECT_EQ(rows, 13) << "frame " << frame;
  EXPECT_EQ(kinds, (std::set<std::string>{"hands", "body", "held", "scripted", "inspection", "newton"}));
  // Steady motion: every object is somewhere else a second later.
  for (const auto& [id, rows] : r.rowsById) EXPECT_GT(Distance(r, rows.front(), rows.back()), 0.3) << id;
}

TEST(standin_world, BodiesFallSlideAndComeToRestOnWorkerThreads) {
  DrawRun r = RunWithDrawLog(L"GOG", L"--scenario world --ticks 240");
  ASSERT_EQ(r.run.exit_code, 0u) << r.run.err;
  EXPECT_GE(std::atoi(r.run.summary["newton-callback-threads"].c_str()), 2);
  const std::vector<size_t>& barrel = r.rowsById["barrel_falling"];
  const std::vector<size_t>& box = r.rowsById["box_sliding"];
  const std::vector<size_t>& rock = r.rowsById["rock_resting"];
  ASSERT_GT(barrel.size(), 20u);
  EXPECT_NEAR(Y(r, barrel.front()), 6.0, 0.1);
  for (size_t row : barrel) EXPECT_GE(Y(r, row), 0.0);
  // At rest on the floor by step 130, as the box is after sliding: still in every frame from 160 on.
  EXPECT_EQ(Y(r, barrel.back()), 0.0);
  EXPECT_GT(Distance(r, box.front(), box.back()), 2.0);
  for (const std::vector<size_t>* rows : {&barrel, &box})
    for (size_t row : *rows) {
      if (Step(r, row) < 160) continue;
      EXPECT_EQ(Distance(r, row, rows->back()), 0.0) << "step " << Step(r, row);
    }
  EXPECT_EQ(Distance(r, rock.front(), rock.back()), 0.0);
  // Destroyed after step 200: no frame showing a later step draws it.
  const std::vector<size_t>& ball = r.rowsById["ball_rolling"];
  ASSERT_FALSE(ball.empty());
  for (size_t row : ball) EXPECT_LE(Step(r, row), 199.0);
}

TEST(standin_world, ScenariosRunCleanWithTheGamesOwnFaults) {
  struct Case {
    const wchar_t* build;
    const wchar_t* args;
    int rowsPerFrame;  // 0: varies (objects freed on the way)
  };
  for (const Case& c : {Case{L"Steam", L"--scenario world --ticks 200", 0}, Case{L"GOG", L"--scenario faults --ticks 210", 0},
                        Case{L"GOG", L"--scenario stress --ticks 20", 17 + 257 + 9 + 4 + 257},
                        Case{L"Steam", L"--scenario full-load --ticks 20", 282 + 256},
                        // Listener camera, body and hands roots, ragdoll bodies, then tracked bones.
                        Case{L"GOG", L"--scenario skeletons --ticks 20", 3 + 3 + 4 + 2 + 3 * 2 + 2 * 2},
                        Case{L"Steam", L"--scenario skeleton-load --ticks 20", 3 + 32 + 4 + 2 + 32 * 2},
                        Case{L"GOG", L"--scenario camera-ride --ticks 20", 3 + 4 + 2}}) {
    DrawRun r = RunWithDrawLog(c.build, c.args);
    EXPECT_EQ(r.run.exit_code, 0u) << c.args << ": " << r.run.err;
    EXPECT_EQ(r.run.summary["violations"], "0") << c.args;
    EXPECT_EQ(r.run.summary["draw-rows-dropped"], "0") << c.args;
    if (c.rowsPerFrame) {
      const long long frames = std::atoll(r.run.summary["frames"].c_str());
      EXPECT_EQ(static_cast<long long>(r.draws.rows.size()), frames * c.rowsPerFrame) << c.args;
    }
  }
}

TEST(standin_world, LeakCheckCoversEntityNodesBodiesAndBones) {
  struct Case {
    const wchar_t* args;
    const char* first;
  };
  for (const Case& c :
       {Case{L"--scenario world --tamper-node 30", "before step 31, entity PlayerHands_Arms node 3 matrix held ("},
        Case{L"--scenario world --tamper-body 30", "before step 31, physics body barrel_falling matrix held ("},
        Case{L"--scenario camera-ride --tamper-bone 30", "before step 31, bone PlayerBody_Model bone 5 local matrix held ("}}) {
    GameRun run = RunGame(BuiltExe(L"GOG"), std::wstring(L"--no-plugin --ticks 40 ") + c.args);
    EXPECT_EQ(run.exit_code, 3u) << c.args;
    EXPECT_EQ(qvtest::SplitLines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find(c.first), std::string::npos) << run.err;
  }
}

// The game's own skeleton faults, drawn as the host draws them: bones placed by their parent chain
// at draw time, nothing of a freed or emptied skeleton.
TEST(standin_world, SkeletonFaultsAreDrawnTheHostsWay) {
  DrawRun r = RunWithDrawLog(L"GOG", L"--scenario skeleton-faults --ticks 240");
  ASSERT_EQ(r.run.exit_code, 0u) << r.run.err;
  EXPECT_EQ(r.run.summary["violations"], "0");
  const std::vector<size_t>& freed = r.rowsById["ragdoll_freed:0"];
  ASSERT_FALSE(freed.empty());
  for (size_t row : freed) EXPECT_LE(Step(r, row), 159.0);
  const std::vector<size_t>& hollow = r.rowsById["ragdoll_hollow:0"];
  ASSERT_FALSE(hollow.empty());
  for (size_t row : hollow) EXPECT_TRUE(Step(r, row) < 80.0 || Step(r, row) >= 100.0) << "step " << Step(r, row);
  EXPECT_GE(Step(r, hollow.back()), 100.0);
  EXPECT_FALSE(r.rowsById["ragdoll_257:256"].empty());
  // The body's left hand stands ten units off from step 200; the head is where it was.
  const std::vector<size_t>& head = r.rowsById["PlayerBody_Model:5"];
  const std::vector<size_t>& hand = r.rowsById["PlayerBody_Model:9"];
  ASSERT_EQ(head.size(), hand.size());
  int before = 0, after = 0;
  for (size_t i = 0; i < head.size(); ++i) {
    const double reach = Distance(r, head[i], hand[i]);
    if (Step(r, head[i]) < 200.0) {
      ++before;
      EXPECT_LT(reach, 2.0);
    } else {
      ++after;
      EXPECT_GT(reach, 8.0);
    }
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
}

}  // namespace
