// Particles drawn between steps, judged from what the stand-in's graphics update drew (its draw
// log), from its own check that UpdateMotion reads back exactly what it wrote, and from the log.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include "game_run.h"

namespace {

std::string ParticleIni(bool particles) {
  return IniText({{"Telemetry", {{"Enabled", "false"}}},
                  {"Features",
                   {{"RenderUnlock", "true"},
                    {"CameraInterpolation", "true"},
                    {"ParticleInterpolation", particles ? "true" : "false"}}}});
}

GameRunResult RunParticles(bool particles, std::vector<std::wstring> args) {
  GameRunOptions options;
  options.ini = ParticleIni(particles);
  options.args = std::move(args);
  options.drawLog = true;
  return RunGame(options);
}

// Every drawn position of each tracked particle ("x,y,z" as the game printed it), in frame order.
std::map<std::string, std::vector<std::string>> DrawnPositions(const GameRunResult& run) {
  std::map<std::string, std::vector<std::string>> drawn;
  const launcher::CsvTable& log = run.drawLog;
  for (size_t row = 0; row < log.rows.size(); ++row) {
    if (log.Text(row, "kind") != "particle") continue;
    drawn[log.Text(row, "id")].push_back(log.Text(row, "x") + "," + log.Text(row, "y") + "," + log.Text(row, "z"));
  }
  return drawn;
}

// The particle report's counters by label, from the first report.
std::map<std::string, uint64_t> ParticleReport(const GameRunResult& run) {
  static const std::regex kReport(
      "Particle interpolation: ticks=(\\d+), emitter motion updates=(\\d+), emitter draws "
      "total/interpolated/not-recently-updated=(\\d+)/(\\d+)/(\\d+), particles interpolated=(\\d+), large steps left "
      "alone=(\\d+), oversized emitters=(\\d+), registry overflow=(\\d+), most live particles=(\\d+), own CPU "
      "total=\\d+\\.\\d{6} ms\\.");
  static const char* const kLabels[] = {"ticks",       "motion",    "draws",    "interpolated", "not-recent", "particles",
                                        "large steps", "oversized", "overflow", "most live"};
  std::map<std::string, uint64_t> report;
  for (const std::string& message : run.logMessages) {
    std::smatch m;
    if (!std::regex_match(message, m, kReport)) continue;
    for (size_t i = 0; i < std::size(kLabels); ++i) report[kLabels[i]] = std::stoull(m[i + 1].str());
    break;
  }
  return report;
}

TEST(ParticleE2E, RecentlySimulatedEmittersAreDrawnBetweenStepsAndTheRestAsSimulated) {
  // Six seconds: one particle report, and every fault of the scene several times.
  const std::vector<std::wstring> args = {L"--scenario", L"particles", L"--ticks", L"360", L"--render-hz", L"240"};
  const GameRunResult simulated = RunParticles(false, args);
  const GameRunResult run = RunParticles(true, args);
  for (const GameRunResult* r : {&simulated, &run}) {
    ASSERT_EQ(r->exitCode, 0u) << "the simulation read back something it did not write: " << r->stderrText;
    EXPECT_EQ(r->summary.at("violations"), "0");
    EXPECT_EQ(r->summary.at("bootstrap-exit"), "0") << r->Messages();
  }
  EXPECT_EQ(run.CountMessage("Particle interpolation installed: emitter motion and per-viewport graphics detours."), 1);
  EXPECT_EQ(run.CountMessage("Particle interpolation active on the camera presentation clock."), 1) << run.Messages();
  EXPECT_EQ(simulated.CountMessagePrefix("Particle interpolation"), 0) << simulated.Messages();

  // Without particle interpolation every drawn position is a simulated one; with it, a blended
  // particle is drawn mostly elsewhere, an unblended one only there. A frame drawn late on a loaded
  // machine can miss a step, so the shares have room.
  std::set<std::string> simulatedPositions;
  for (const auto& [id, positions] : DrawnPositions(simulated)) simulatedPositions.insert(positions.begin(), positions.end());
  struct Expectation {
    const char* id;
    const char* why;
    double minSimulatedShare;
    double maxSimulatedShare;
  };
  constexpr double kBlended = 0.5;
  constexpr double kAsSimulated = 0.9;
  const Expectation expectations[] = {
      {"fountain:0", "steady motion", 0.0, kBlended},
      {"fountain:1", "steady motion", 0.0, kBlended},
      {"burst:1", "small steps of a burst", 0.0, kBlended},
      {"burst:0", "steps of 7 units are left alone", kAsSimulated, 1.0},
      {"frozen:0", "an emitter that stopped simulating at step 30 is drawn as it is", 0.8, 1.0},
      {"big4096:4095", "4096 particles are blended", 0.0, kBlended},
      {"big4097:4096", "4097 particles are too many", kAsSimulated, 1.0},
      {"crowd0:0", "first of nine sharing a home slot", 0.0, kBlended},
      {"crowd8:0", "ninth of nine sharing a home slot: no room in the registry", kAsSimulated, 1.0},
      {"worker:0", "drawn by the render worker thread", 0.0, kBlended},
      {"nan:0", "a NaN particle leaves its emitter's others blended", 0.0, kBlended},
      {"overfull:0", "over capacity one step in forty", 0.0, kBlended},
      {"noarray:0", "no array one step in forty", 0.0, kBlended},
      {"respawn:0", "freed and made anew every sixty steps", 0.0, kBlended},
  };
  const auto drawn = DrawnPositions(run);
  for (const Expectation& e : expectations) {
    ASSERT_TRUE(drawn.count(e.id)) << e.id;
    const std::vector<std::string>& positions = drawn.at(e.id);
    ASSERT_GT(positions.size(), 360u) << e.id;
    size_t onSimulated = 0;
    for (const std::string& p : positions) onSimulated += simulatedPositions.count(p);
    const double share = static_cast<double>(onSimulated) / static_cast<double>(positions.size());
    EXPECT_GE(share, e.minSimulatedShare) << e.id << ": " << e.why;
    EXPECT_LE(share, e.maxSimulatedShare) << e.id << ": " << e.why;
  }

  const auto report = ParticleReport(run);
  ASSERT_FALSE(report.empty()) << run.Messages();
  EXPECT_GT(report.at("ticks"), 250u);
  EXPECT_GT(report.at("interpolated"), 0u);
  EXPECT_GT(report.at("not-recent"), 0u) << "the frozen emitter";
  EXPECT_GT(report.at("large steps"), 0u) << "the burst";
  EXPECT_GT(report.at("oversized"), 0u) << "4097 particles";
  EXPECT_GE(report.at("overflow"), report.at("ticks")) << "the ninth of the crowd, at every step";
  EXPECT_EQ(report.at("most live"), 4096u);
  EXPECT_LT(report.at("interpolated"), report.at("draws"));
}

TEST(ParticleE2E, ABrokenParticleSiteLeavesParticlesOffAndTheCameraOn) {
  for (const wchar_t* site : {L"10", L"11"}) {
    const GameRunResult run = RunParticles(true, {L"--scenario", L"particles", L"--ticks", L"60", L"--break-site", site});
    ASSERT_EQ(run.exitCode, 0u) << run.stderrText;
    EXPECT_EQ(run.summary.at("bootstrap-exit"), "0") << run.Messages();
    EXPECT_TRUE(run.HasMessage("ERROR", "Particle interpolation could not start and stays off: Particle emitter entry "
                                        "bytes do not match the supported build."))
        << run.Messages();
    EXPECT_TRUE(run.HasMessage("INFO", "Bootstrap complete with requested hooks enabled."));
    EXPECT_EQ(run.CountMessage("Camera interpolation active on the validated Velt viewport/camera layout."), 1);
    EXPECT_EQ(run.CountMessagePrefix("Particle interpolation active"), 0);
  }
}

}  // namespace
