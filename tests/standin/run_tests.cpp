// Runs of the stand-in game: its command line, its simulation check, its frame
// records, and what a plug-in sees at start-up (through the probe DLL).
#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "game_run.h"

namespace {

using qvtest::BuiltExe;
using qvtest::GameRun;
using qvtest::RunGame;

long long Num(const GameRun& run, const char* key) {
  auto it = run.summary.find(key);
  return it == run.summary.end() ? -1 : std::atoll(it->second.c_str());
}

size_t StderrLines(const GameRun& run) { return qvtest::SplitLines(run.err).size(); }

struct Frame {
  double present_s;
  long long steps;
  long long mode;
  double x, y, z, yaw;
  double m[16];
  double call_us, draw_us;
};

std::vector<Frame> ReadFrames(const std::wstring& path, std::string* header) {
  std::vector<std::string> lines = qvtest::SplitLines(qvtest::ReadTextFile(path));
  std::vector<Frame> frames;
  if (lines.empty()) return frames;
  *header = lines[0];
  for (size_t i = 1; i < lines.size(); ++i) {
    std::vector<std::string> c = qvtest::SplitCsv(lines[i]);
    if (c.size() != 27) continue;
    Frame f{};
    f.present_s = std::atof(c[0].c_str());
    f.steps = std::atoll(c[1].c_str());
    f.mode = std::atoll(c[2].c_str());
    f.x = std::atof(c[3].c_str());
    f.y = std::atof(c[4].c_str());
    f.z = std::atof(c[5].c_str());
    f.yaw = std::atof(c[7].c_str());
    for (int k = 0; k < 16; ++k) f.m[k] = std::atof(c[9 + k].c_str());
    f.call_us = std::atof(c[25].c_str());
    f.draw_us = std::atof(c[26].c_str());
    frames.push_back(f);
  }
  return frames;
}

std::wstring TempFile(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"qv-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

TEST(standin_run, NoPluginRunCompletesWithTheCappedFrameRate) {
  for (const wchar_t* build : {L"GOG", L"Steam"}) {
    GameRun run = RunGame(BuiltExe(build), L"--no-plugin --ticks 60");
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(run.summary["build"], build == std::wstring(L"GOG") ? "GOG" : "Steam");
    EXPECT_EQ(run.summary["exact"], "1");
    EXPECT_EQ(run.summary["bootstrap-exit"], "none");
    EXPECT_EQ(Num(run, "steps"), 60);
    EXPECT_EQ(Num(run, "violations"), 0);
    EXPECT_EQ(Num(run, "limit-byte"), 1);
    // The engine's own limit: at most one frame per fixed step.
    EXPECT_GE(Num(run, "frames"), 30);
    EXPECT_LE(Num(run, "frames"), 60);
  }
}

TEST(standin_run, EveryHostFunctionRunsThroughItsEntryBytes) {
  for (const wchar_t* build : {L"GOG", L"Steam"}) {
    GameRun run = RunGame(BuiltExe(build), L"--no-plugin --ticks 10 --call-sites");
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(Num(run, "sites-ok"), 25) << run.err;
  }
}

TEST(standin_run, WithTheLimitByteClearedFramesOutnumberSteps) {
  GameRun run = RunGame(BuiltExe(L"GOG"), L"--no-plugin --ticks 30 --limit-byte 0");
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_GT(Num(run, "frames"), 3 * 30);
  EXPECT_EQ(Num(run, "limit-byte"), 0);
}

TEST(standin_run, RenderRateBoundsUncappedFrames) {
  GameRun run = RunGame(BuiltExe(L"GOG"), L"--no-plugin --ticks 60 --limit-byte 0 --render-hz 120");
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  double fps = std::atof(run.summary["fps"].c_str());
  EXPECT_GT(fps, 90.0);
  EXPECT_LT(fps, 130.0);
}

TEST(standin_run, CameraChangedBehindTheSimulationFailsTheRun) {
  GameRun run = RunGame(BuiltExe(L"GOG"), L"--no-plugin --ticks 40 --tamper-camera 20");
  EXPECT_EQ(run.exit_code, 3u);
  EXPECT_GE(Num(run, "violations"), 1);
  EXPECT_EQ(StderrLines(run), 1u) << run.err;
  EXPECT_NE(run.err.find("before step 21, camera 0 position"), std::string::npos) << run.err;
}

TEST(standin_run, BadOptionsExitNonZeroWithOneLine) {
  for (const wchar_t* args : {L"--bogus", L"--ticks", L"--ticks 0", L"--patch timestamp=12", L"--patch colour=0x1",
                              L"--break-site 25", L"--protect-site 3=readonly", L"--camera-mode 1@5",
                              L"--listener-flag 2", L"--scenario wild"}) {
    GameRun run = RunGame(BuiltExe(L"GOG"), args);
    EXPECT_NE(run.exit_code, 0u) << args;
    EXPECT_EQ(StderrLines(run), 1u) << args << ": " << run.err;
    EXPECT_TRUE(run.out.empty()) << args;
  }
}

TEST(standin_frames, EveryPresentIsRecordedWithTheListenerCamera) {
  std::wstring csv = TempFile(L"frames.csv");
  GameRun run = RunGame(BuiltExe(L"GOG"), L"--no-plugin --ticks 30 --limit-byte 0 --draw-us 300 --frames \"" + csv + L"\"");
  ASSERT_EQ(run.exit_code, 0u) << run.err;
  std::string header;
  std::vector<Frame> frames = ReadFrames(csv, &header);
  EXPECT_EQ(header.rfind("present_s,steps,mode,x,y,z,pitch,yaw,roll,m0,", 0), 0u) << header;
  EXPECT_NE(header.find(",m15,listener_call_us,host_draw_us"), std::string::npos);
  ASSERT_EQ(static_cast<long long>(frames.size()), Num(run, "frames"));
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GT(frames[i].present_s, frames[i - 1].present_s);
    EXPECT_GE(frames[i].steps, frames[i - 1].steps);
  }
  for (const Frame& f : frames) {
    EXPECT_EQ(f.mode, 0);
    EXPECT_GE(f.draw_us, 299.0);
    EXPECT_GE(f.call_us, f.draw_us);
    // Without interpolation a frame shows the state of its last completed step.
    double t = static_cast<double>(f.steps) / 60.0;
    EXPECT_NEAR(f.x, 3.0 * t, 1e-4);
    EXPECT_NEAR(f.yaw, 0.6 * t, 1e-4);
  }
  DeleteFileW(csv.c_str());
}

TEST(standin_frames, FullScenarioShowsItsEventsAtTheirSteps) {
  std::wstring csv = TempFile(L"full.csv");
  GameRun run = RunGame(BuiltExe(L"GOG"), L"--no-plugin --ticks 790 --frames \"" + csv + L"\"");
  ASSERT_EQ(run.exit_code, 0u) << run.err;
  std::string header;
  std::vector<Frame> frames = ReadFrames(csv, &header);
  ASSERT_GT(frames.size(), 600u);
  const Frame* before_teleport = nullptr;
  const Frame* before_switch = nullptr;
  double at720 = 0, at780 = 0, at660 = 0;
  for (const Frame& f : frames) {
    bool matrix = f.steps >= 240 && f.steps < 420;
    EXPECT_EQ(f.mode, matrix ? 1 : 0) << "step " << f.steps;
    if (matrix) {
      double det = f.m[0] * (f.m[5] * f.m[10] - f.m[6] * f.m[9]) - f.m[1] * (f.m[4] * f.m[10] - f.m[6] * f.m[8]) +
                   f.m[2] * (f.m[4] * f.m[9] - f.m[5] * f.m[8]);
      EXPECT_NEAR(det, 1.0, 1e-4);
      EXPECT_NEAR(f.m[3], f.x, 1e-6);
      EXPECT_EQ(f.m[15], 1.0);
    }
    if (f.steps == 479) before_teleport = &f;
    if (f.steps == 480 && before_teleport) {
      EXPECT_GT(f.x - before_teleport->x, 39.0);
    }
    if (f.steps == 599) before_switch = &f;
    if (f.steps == 600 && before_switch) {
      EXPECT_NEAR(f.y - before_switch->y, 2.0, 0.1);
    }
    if (f.steps == 660 && !at660) at660 = f.present_s;
    if (f.steps == 720 && !at720) at720 = f.present_s;
    if (f.steps == 780 && !at780) at780 = f.present_s;
  }
  EXPECT_NE(before_teleport, nullptr);
  EXPECT_NE(before_switch, nullptr);
  // 60 steps took a second at 60 Hz and take 1.2 s at 50 Hz.
  EXPECT_NEAR(at720 - at660, 1.0, 0.1);
  EXPECT_NEAR(at780 - at720, 1.2, 0.1);
  DeleteFileW(csv.c_str());
}

TEST(standin_frames, InjectedCameraModeLastsTenSteps) {
  std::wstring csv = TempFile(L"mode.csv");
  GameRun run = RunGame(BuiltExe(L"Steam"), L"--no-plugin --ticks 40 --camera-mode 7@20 --frames \"" + csv + L"\"");
  ASSERT_EQ(run.exit_code, 0u) << run.err;
  std::string header;
  for (const Frame& f : ReadFrames(csv, &header)) EXPECT_EQ(f.mode, f.steps >= 20 && f.steps < 30 ? 7 : 0);
  DeleteFileW(csv.c_str());
}

// --- What a plug-in sees at start-up -------------------------------------------------

std::string ProbeLine(const std::string& report, const std::string& prefix) {
  for (const std::string& line : qvtest::SplitLines(report))
    if (line.rfind(prefix, 0) == 0) return line;
  return {};
}

GameRun RunWithProbe(const std::wstring& build, const std::wstring& args, std::string* report) {
  std::wstring dir = qvtest::MakeGameCopy(build, true);
  GameRun run = RunGame(dir + L"\\QuarrenVelt.exe", L"--ticks 20 " + args);
  *report = qvtest::ReadTextFile(dir + L"\\probe.txt");
  return run;
}

TEST(standin_plugin, LoadsThePluginBesideItAndReportsItsStartUpExitCode) {
  std::string report;
  GameRun run = RunWithProbe(L"GOG", L"", &report);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(run.summary["bootstrap-exit"], "42");
  EXPECT_EQ(ProbeLine(report, "timestamp="), "timestamp=0x614063E2");
  EXPECT_EQ(ProbeLine(report, "image-size="), "image-size=0x9FD000");
  EXPECT_EQ(ProbeLine(report, "site GOG 0 "), "site GOG 0 protect=0x20 byte=0x40");
}

TEST(standin_plugin, PatchedHeadersAreWhatThePluginSees) {
  std::string report;
  GameRun run = RunWithProbe(
      L"Steam", L"--patch timestamp=0x12345678 --patch image-size=0x2000 --patch machine=0x14C --patch magic=0x10B",
      &report);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(ProbeLine(report, "timestamp="), "timestamp=0x12345678");
  EXPECT_EQ(ProbeLine(report, "image-size="), "image-size=0x2000");
  EXPECT_EQ(ProbeLine(report, "machine="), "machine=0x14C");
  EXPECT_EQ(ProbeLine(report, "magic="), "magic=0x10B");

  run = RunWithProbe(L"Steam", L"--patch lfanew=0x0", &report);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(ProbeLine(report, "lfanew="), "lfanew=0x0");
}

TEST(standin_plugin, BrokenSiteIsSeenByThePluginAndRepairedForTheGame) {
  std::string report;
  GameRun run = RunWithProbe(L"GOG", L"--break-site 1 --call-sites", &report);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(Num(run, "sites-ok"), 25);
  EXPECT_EQ(ProbeLine(report, "site GOG 1 "), "site GOG 1 protect=0x20 byte=0xCC");
  EXPECT_EQ(ProbeLine(report, "site GOG 2 "), "site GOG 2 protect=0x20 byte=0x48");
}

TEST(standin_plugin, ProtectedSiteIsSeenByThePluginAndRestoredForTheGame) {
  std::string report;
  GameRun run = RunWithProbe(L"Steam", L"--protect-site 2=noaccess --call-sites", &report);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(Num(run, "sites-ok"), 25);
  EXPECT_EQ(ProbeLine(report, "site Steam 2 "), "site Steam 2 protect=0x1 byte=none");

  run = RunWithProbe(L"Steam", L"--protect-site 5=guard", &report);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(ProbeLine(report, "site Steam 5 "), "site Steam 5 protect=0x120 byte=none");
}

TEST(standin_plugin, MissingPluginIsReportedAndTheGameRunsWithoutIt) {
  std::wstring dir = qvtest::MakeGameCopy(L"GOG", false);
  GameRun run = RunGame(dir + L"\\QuarrenVelt.exe", L"--ticks 10");
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  EXPECT_EQ(run.summary["bootstrap-exit"], "none");
  EXPECT_NE(run.err.find("plug-in not found"), std::string::npos) << run.err;
}

}  // namespace
