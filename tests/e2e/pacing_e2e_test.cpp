// Present pacing and cadence telemetry, judged from the log and the presents the game recorded.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <regex>

#include "game_run.h"

namespace {

TEST(SwapE2E, ReportsCadenceEveryIntervalWithPlausibleFigures) {
  GameRunOptions options;
  options.ini = IniText({{"Telemetry", {{"Enabled", "true"}, {"ReportIntervalSeconds", "1"}}},
                         {"Features", {{"RenderUnlock", "true"}}}});
  options.args = {L"--scenario", L"steady", L"--ticks", L"200", L"--render-hz", L"120"};
  const GameRunResult run = RunGame(options);
  ASSERT_EQ(run.exitCode, 0u) << run.stderrText;
  EXPECT_TRUE(run.HasMessage("INFO", "SDL_GL_SwapWindow cadence telemetry installed.")) << run.Messages();

  const std::regex cadence(
      R"(Swap cadence: samples=(\d+) mean=([0-9.]+) ms \(([0-9.]+) FPS\), p50=([0-9.]+) ms, p95=([0-9.]+) ms, )"
      R"(p99=([0-9.]+) ms, max=([0-9.]+) ms, 100-250ms=(\d+), >250ms=(\d+), invalid=(\d+))");
  int reports = 0;
  for (const std::string& message : run.logMessages) {
    std::smatch m;
    if (!std::regex_match(message, m, cadence)) continue;
    ++reports;
    if (reports == 1) continue;  // the first period includes start-up
    const double samples = std::stod(m[1]);
    const double fps = std::stod(m[3]);
    EXPECT_GT(samples, 60.0) << message;
    EXPECT_NEAR(fps, 120.0, 25.0) << message;
    EXPECT_LE(std::stod(m[4]), std::stod(m[6])) << "p50 <= p99: " << message;
    EXPECT_LE(std::stod(m[6]), std::stod(m[7])) << "p99 <= max: " << message;
  }
  // 200 steps at 60 Hz is a little over 3 s: two or three one-second reports.
  EXPECT_GE(reports, 2) << run.Messages();
  EXPECT_LE(reports, 4) << run.Messages();
}

TEST(SwapE2E, LimiterPacesBeforeTheCameraSampleAndPresentsWithoutASecondWait) {
  GameRunOptions options;
  options.ini = IniText({{"Telemetry", {{"Enabled", "true"}, {"ReportIntervalSeconds", "1"}}},
                         {"Features", {{"RenderUnlock", "true"}, {"PresentationLimiter", "true"}, {"CameraInterpolation", "true"}}},
                         {"Timing", {{"TargetFPS", "90"}}}});
  options.args = {L"--scenario", L"steady", L"--ticks", L"200", L"--render-hz", L"0"};
  options.frames = true;
  const GameRunResult run = RunGame(options);
  ASSERT_EQ(run.exitCode, 0u) << run.stderrText;
  EXPECT_TRUE(run.HasMessage("INFO", "Presentation limiter installed at 90 FPS.")) << run.Messages();
  EXPECT_GE(run.CountMessagePrefix("Sample-to-present delay: frames="), 1) << run.Messages();

  // Presented rate over the steady part of the run.
  const FrameTable& f = run.frames;
  ASSERT_GT(f.rows.size(), 100u);
  const size_t first = f.rows.size() / 4;
  const size_t last = f.rows.size() - 1;
  const double rate = static_cast<double>(last - first) / (f.At(last, "present_s") - f.At(first, "present_s"));
  EXPECT_NEAR(rate, 90.0, 4.0) << "paced, not uncapped (thousands of frames a second here)";

  // With the wait before the sample, the delay to the present is a small part of a frame.
  const std::regex delay(R"(Sample-to-present delay: frames=(\d+) mean=([0-9.]+) ms, min=([0-9.]+) ms, max=([0-9.]+) ms)");
  for (const std::string& message : run.logMessages) {
    std::smatch m;
    if (std::regex_match(message, m, delay)) {
      EXPECT_LT(std::stod(m[2]), 1000.0 / 90.0) << message;
    }
  }
}

struct HostClockCase {
  const char* name;
  const wchar_t* clock;
  int reason;  // index into learning/coarse/paused/jumped/drifted; -1: the phase is refined
  double maxRefinedShare;
};
void PrintTo(const HostClockCase& c, std::ostream* os) { *os << c.name; }

class PhaseE2E : public ::testing::TestWithParam<HostClockCase> {};

// The limiter at 144 FPS on each host clock the stand-in offers: a steady millisecond clock gets
// the refined phase, and nearly every frame is drawn with its due steps run; every other clock keeps
// the host's phase, counted under its reason in the camera report's DEBUG companion.
TEST_P(PhaseE2E, RefinesTheRenderPhaseOnlyOnASteadyMillisecondClock) {
  const HostClockCase c = GetParam();
  GameRunOptions options;
  options.ini = IniText({{"Features", {{"RenderUnlock", "true"}, {"PresentationLimiter", "true"}, {"CameraInterpolation", "true"}}},
                         {"Timing", {{"TargetFPS", "144"}}}});
  // Just over the camera report's 5 s.
  options.args = {L"--scenario", L"steady", L"--ticks", L"330", L"--render-hz", L"0", L"--host-clock", c.clock};
  const GameRunResult run = RunGame(options);
  ASSERT_EQ(run.exitCode, 0u) << run.stderrText;

  const std::regex cadence(R"(Camera cadence: frames=(\d+), .*phase-invalid=(\d+), alpha-low/high=(\d+)/(\d+), .*)");
  const std::regex phase(
      R"(Camera phase: refined=(\d+), host-phase\(learning/coarse/paused/jumped/drifted\)=(\d+)/(\d+)/(\d+)/(\d+)/(\d+)\.)");
  std::smatch m;
  std::smatch p;
  auto found = [&](const std::regex& r, std::smatch& out) {
    for (const std::string& message : run.logMessages)
      if (std::regex_match(message, out, r)) return true;
    return false;
  };
  ASSERT_TRUE(found(cadence, m)) << run.Messages();
  ASSERT_TRUE(found(phase, p)) << run.Messages();
  const double frames = std::stod(m[1]);
  const double refined = std::stod(p[1]);
  if (c.reason < 0) {
    EXPECT_GT(refined, 0.9 * frames) << p[0];
    // Before the wait moved ahead of the host's steps, a third of these frames were clamped or refused.
    EXPECT_LT(std::stod(m[2]) + std::stod(m[4]), 0.15 * frames) << m[0];
  } else {
    EXPECT_GT(std::stod(p[2 + c.reason]), 0.0) << p[0];
    EXPECT_LE(refined, c.maxRefinedShare * frames) << p[0];
  }
}

INSTANTIATE_TEST_SUITE_P(HostClocks, PhaseE2E,
                         ::testing::Values(HostClockCase{"Milliseconds", L"1ms", -1, 1.0},
                                           HostClockCase{"Coarse", L"15.6ms", 1, 0.0},
                                           HostClockCase{"Paused", L"pause", 2, 0.97},  // 100 ms of every 2 s
                                           HostClockCase{"Jumping", L"jump", 3, 1.0}),
                         [](const ::testing::TestParamInfo<HostClockCase>& clockCase) { return clockCase.param.name; });

}  // namespace
