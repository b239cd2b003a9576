// Mouse-look and GUI cursor previews through the stand-in game: what the picture shows against what
// the hand did, every count reaching the game, and the game's own behaviour when its input state
// or the cursor is not what the previews need.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>

#include <windows.h>

#include "game_run.h"

namespace {

std::string Ini(bool overlay) {
  return IniText({{"General", {{"Diagnostics", "true"}}},
                  {"Telemetry", {{"Enabled", "false"}}},
                  {"Features",
                   {{"RenderUnlock", "true"}, {"CameraInterpolation", "true"}, {"MouseOverlay", overlay ? "true" : "false"}}}});
}

// Long enough for one periodic report (5 s) of each preview.
constexpr const wchar_t* kTicks = L"345";

GameRunResult RunInput(bool overlay, const std::wstring& scenario, const std::wstring& fault = L"") {
  GameRunOptions options;
  options.ini = Ini(overlay);
  options.args = {L"--ticks", kTicks, L"--render-hz", L"240", L"--scenario", L"steady", L"--input", scenario};
  if (!fault.empty()) options.args.insert(options.args.end(), {L"--input-fault", fault});
  options.frames = scenario != L"gui";
  options.drawLog = scenario == L"gui";
  options.inputLog = scenario != L"gui";
  if (scenario != L"gui") return RunGame(options);
  // One X pointer and one focus for every test process: menu runs take turns.
  HANDLE turn = CreateMutexW(nullptr, FALSE, L"QuarrenVeltFramoltMenuRun");
  if (turn != nullptr) WaitForSingleObject(turn, INFINITE);
  GameRunResult run = RunGame(options);
  if (turn != nullptr) {
    ReleaseMutex(turn);
    CloseHandle(turn);
  }
  return run;
}

// The labelled counter groups of the first report line that starts with prefix, by label.
std::map<std::string, double> ReportCounters(const GameRunResult& run, const std::string& prefix) {
  std::map<std::string, double> counters;
  for (const std::string& line : run.logMessages) {
    if (line.rfind(prefix, 0) != 0) continue;
    static const std::regex group(R"(([a-z][a-z -]*(?:/[a-z -]+)*)=([-0-9./]+))");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), group); it != std::sregex_iterator(); ++it) {
      const std::string labels = (*it)[1];
      const std::string values = (*it)[2];
      size_t l = 0, v = 0;
      for (;;) {
        const size_t le = labels.find('/', l);
        const size_t ve = values.find('/', v);
        std::string label = labels.substr(l, le - l);
        label = label.substr(label.find_last_of(' ') == std::string::npos ? 0 : label.find_last_of(' ') + 1);
        counters[label] = std::stod(values.substr(v, ve - v));
        if (le == std::string::npos || ve == std::string::npos) break;
        l = le + 1;
        v = ve + 1;
      }
    }
    break;
  }
  return counters;
}

void ExpectEveryCountReachedTheGame(const GameRunResult& run) {
  ASSERT_EQ(run.exitCode, 0u) << run.stderrText << run.stdoutText;
  const std::string counts = run.summary.at("input-counts");
  const size_t slash = counts.find('/');
  EXPECT_EQ(counts.substr(0, slash), counts.substr(slash + 1)) << "received/produced";
  EXPECT_EQ(run.summary.at("violations"), "0") << "the simulation read back a previewed camera";
}

struct LeadJudgement {
  int judged = 0;
  int within = 0;  // drawn yaw within 2 % of the step's turn from where the step took the camera
};

// For every step whose counts had all arrived a few milliseconds before the last frame ahead of it,
// where that frame drew the camera against where the step then put it.
LeadJudgement JudgeLeadBeforeSteps(const GameRunResult& run) {
  std::vector<double> reports;
  std::vector<double> stepTime, stepYaw;
  const launcher::CsvTable& in = run.inputLog;
  for (size_t i = 0; i < in.rows.size(); ++i) {
    if (in.Text(i, "kind") == "report") reports.push_back(in.Number(i, "t_s"));
    if (in.Text(i, "kind") == "step") {
      stepTime.push_back(in.Number(i, "t_s"));
      stepYaw.push_back(in.Number(i, "yaw"));
    }
  }
  std::map<size_t, size_t> lastFrameAfterStep;  // completed steps -> last frame presented with them
  for (size_t f = 0; f < run.frames.rows.size(); ++f)
    lastFrameAfterStep[static_cast<size_t>(run.frames.At(f, "steps"))] = f;
  LeadJudgement j;
  // The frame sampled the mouse some time before it was presented; on a loaded machine that can be
  // several milliseconds, and counts that arrived in between are not the preview's to show.
  constexpr double kSampleBeforePresent = 0.008;
  for (size_t s = 30; s < stepYaw.size(); ++s) {  // step s + 1 in the game's numbering
    const double turn = stepYaw[s] - stepYaw[s - 1];
    const auto frame = lastFrameAfterStep.find(s);
    if (std::fabs(turn) < 1e-3 || frame == lastFrameAfterStep.end()) continue;
    const double sampled = run.frames.At(frame->second, "present_s") - kSampleBeforePresent;
    const bool lateCounts = std::any_of(reports.begin(), reports.end(),
                                        [&](double t) { return t > sampled && t <= stepTime[s]; });
    if (lateCounts) continue;
    ++j.judged;
    if (std::fabs(run.frames.At(frame->second, "yaw") - stepYaw[s]) <= 0.02 * std::fabs(turn)) ++j.within;
  }
  return j;
}

TEST(MouseLookE2E, ThePreviewDrawsTheNextStepsTurnBeforeTheGameMakesIt) {
  const GameRunResult with = RunInput(true, L"latency");
  const GameRunResult without = RunInput(false, L"latency");
  ExpectEveryCountReachedTheGame(with);
  ExpectEveryCountReachedTheGame(without);
  const LeadJudgement led = JudgeLeadBeforeSteps(with);
  const LeadJudgement lagged = JudgeLeadBeforeSteps(without);
  ASSERT_GE(led.judged, 8) << with.Messages();
  EXPECT_GE(led.within, led.judged * 9 / 10) << led.within << " of " << led.judged;
  EXPECT_LE(lagged.within, lagged.judged / 10) << lagged.within << " of " << lagged.judged;
}

TEST(MouseLookE2E, SmoothingInversionAGainChangeAndAMenuKeepEveryCountAndLearnTheHost) {
  const GameRunResult run = RunInput(true, L"look");
  ExpectEveryCountReachedTheGame(run);
  std::map<std::string, double> c = ReportCounters(run, "Mouse preview:");
  ASSERT_FALSE(c.empty()) << run.Messages();
  EXPECT_GT(c["lead"], c["frames"] / 2);
  EXPECT_EQ(c["rejected"], 0);
  // The gain and scale the host was using when the report was made: 1.6 rad per look unit from
  // step 170 on, 0.002 look units per count.
  EXPECT_NEAR(c["gain"], 1.6, 0.01);
  EXPECT_NEAR(c["scale"], 2000.0, 1.0);
  EXPECT_GT(c["pending"], 0);
  EXPECT_GT(c["unexplained"], 0) << "a new gain, inversion and the menu each cost trust once";
}

TEST(MouseLookE2E, AMalformedSmoothingListYieldsNoLeadForItsStepsAndLosesNoMotion) {
  for (const wchar_t* fault : {L"list-cut", L"list-loop"}) {
    const GameRunResult run = RunInput(true, L"look", fault);
    ExpectEveryCountReachedTheGame(run);
    std::map<std::string, double> c = ReportCounters(run, "Mouse preview:");
    ASSERT_FALSE(c.empty()) << run.Messages();
    // Smoothing is on for steps 100 to 159; a list of one sample is still whole.
    EXPECT_GE(c["unusable-ticks"], 55) << Narrow(fault);
    EXPECT_GE(c["stale"], 55) << Narrow(fault) << ": at least a frame per unusable step";
  }
}

// Per frame: id -> drawn (x, y) of the GUI's tracked objects.
std::vector<std::map<std::string, std::pair<double, double>>> GuiFrames(const GameRunResult& run) {
  std::map<int, std::map<std::string, std::pair<double, double>>> byFrame;
  const launcher::CsvTable& d = run.drawLog;
  for (size_t i = 0; i < d.rows.size(); ++i)
    byFrame[static_cast<int>(d.Number(i, "frame"))][d.Text(i, "id")] = {d.Number(i, "x"), d.Number(i, "y")};
  std::vector<std::map<std::string, std::pair<double, double>>> frames;
  for (auto& [frame, objects] : byFrame)
    if (objects.count("gui") && objects.count("os")) frames.push_back(objects);
  return frames;
}

double Distance(const std::pair<double, double>& a, const std::pair<double, double>& b, double dx = 0, double dy = 0) {
  return std::max(std::fabs(a.first + dx - b.first), std::fabs(a.second + dy - b.second));
}

// Share of frames whose object (at its offset from the OS cursor) is within one pixel of it.
double ShareFollowing(const GameRunResult& run, const std::string& id, double dx, double dy) {
  const auto frames = GuiFrames(run);
  int close = 0;
  for (const auto& f : frames)
    if (f.count(id) && Distance(f.at("os"), f.at(id), dx, dy) <= 1.0) ++close;
  return frames.empty() ? 0.0 : static_cast<double>(close) / static_cast<double>(frames.size());
}

TEST(GuiCursorE2E, TheCursorTheDraggedItemAndItsTooltipAreDrawnWhereTheOsCursorIs) {
  const GameRunResult with = RunInput(true, L"gui");
  const GameRunResult without = RunInput(false, L"gui");
  ASSERT_EQ(with.exitCode, 0u) << with.stderrText;
  ASSERT_EQ(without.exitCode, 0u) << without.stderrText;
  struct Object {
    const char* id;
    double dx, dy;  // from the cursor, as the menu places it
  };
  const Object objects[] = {{"gui", 0, 0}, {"drag", -16, -16}, {"outline", -20, -20}, {"tooltip", 18, 24}};
  for (const Object& o : objects) {
    EXPECT_GE(ShareFollowing(with, o.id, o.dx, o.dy), 0.95) << o.id;
    EXPECT_LE(ShareFollowing(without, o.id, o.dx, o.dy), 0.5) << o.id << ": the menu alone lags the hand";
  }
  for (const auto& f : GuiFrames(with)) {
    ASSERT_TRUE(f.count("panel"));
    EXPECT_EQ(f.at("panel"), std::make_pair(40.0, 40.0)) << "a panel that does not follow the mouse stays";
  }
  std::map<std::string, double> c = ReportCounters(with, "GUI cursor preview:");
  ASSERT_FALSE(c.empty()) << with.Messages();
  EXPECT_EQ(c["mismatched"], 0);
  EXPECT_GT(c["applied"], c["frames"] * 0.9);
}

TEST(GuiCursorE2E, EveryDoubtAboutTheCursorLeavesTheMenuDrawingFromItsOwnFeed) {
  struct Case {
    const wchar_t* fault;
    const char* skipped;  // the counter that must show it
    bool tooltipFollows;
  };
  const Case cases[] = {
      {L"gui-relative", "relative-mode", true},
      {L"gui-leave", "outside", true},
      {L"gui-focus", "no-cursor", true},
      {L"gui-2049", nullptr, false},
  };
  for (const Case& k : cases) {
    const GameRunResult run = RunInput(true, L"gui", k.fault);
    ASSERT_EQ(run.exitCode, 0u) << Narrow(k.fault) << run.stderrText;
    std::map<std::string, double> c = ReportCounters(run, "GUI cursor preview:");
    ASSERT_FALSE(c.empty()) << Narrow(k.fault) << run.Messages();
    if (k.skipped != nullptr) {
      EXPECT_GT(c[k.skipped], 10) << Narrow(k.fault);
    }
    EXPECT_GT(c["applied"], c["frames"] * 0.6) << Narrow(k.fault) << ": the rest of the run is previewed";
    EXPECT_GE(ShareFollowing(run, "drag", -16, -16), 0.6) << Narrow(k.fault);
    if (k.tooltipFollows) {
      EXPECT_GE(ShareFollowing(run, "tooltip", 18, 24), 0.6) << Narrow(k.fault);
    } else {
      EXPECT_LE(ShareFollowing(run, "tooltip", 18, 24), 0.5) << "over 2048 elements are not followed";
    }
  }
}

}  // namespace
