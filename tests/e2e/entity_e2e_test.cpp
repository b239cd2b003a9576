// Entity and physics-body roots drawn interpolated and restored, judged from the plug-in's log
// (one-time lines and the five-second interpolation report), from what the stand-in drew (its
// draw log) and from its own check that the simulation only reads back what it wrote. Each
// scenario of the stand-in is run once with the features it exercises.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "game_run.h"

namespace {

// Share of listener frames, after the first second, in which a moving object of the kind is
// drawn where it was drawn the frame before: without interpolation most frames repeat.
double RepeatedShare(const launcher::CsvTable& draws, const std::string& kind) {
  std::map<std::string, std::vector<double>> last;
  int repeated = 0, total = 0;
  const double start = draws.rows.empty() ? 0.0 : draws.Number(0, "present_s") + 1.0;
  for (size_t i = 0; i < draws.rows.size(); ++i) {
    if (draws.Text(i, "kind") != kind) continue;
    const std::vector<double> p = {draws.Number(i, "x"), draws.Number(i, "y"), draws.Number(i, "z")};
    std::vector<double>& before = last[draws.Text(i, "id")];
    if (!before.empty() && draws.Number(i, "present_s") >= start) {
      ++total;
      repeated += p == before ? 1 : 0;
    }
    before = p;
  }
  return total > 0 ? static_cast<double>(repeated) / total : 1.0;
}

const std::map<std::string, std::string> kRootsAndBodies = {
    {"RenderUnlock", "true"}, {"CameraInterpolation", "true"}, {"HandsRootInterpolation", "true"},
    {"WorldRootInterpolation", "true"}};
const std::map<std::string, std::string> kProbeOnly = {{"RenderUnlock", "true"}, {"CameraInterpolation", "true"}};

const char kRootsInstalled[] =
    "Render-only PlayerHands/PlayerBody root interpolation plus bounded Newton rigid-body world-root interpolation "
    "runtime installed.";
const char kHandsActive[] = "Player hands/body root interpolation active on the camera presentation clock.";
const char kHeldActive[] = "Held/accessory root interpolation active on the camera presentation clock.";
const char kScriptedActive[] = "Scripted entity-root interpolation active on the camera presentation clock.";
const char kInspectionActive[] = "Inspection entity-root interpolation active on the camera presentation clock.";
const char kNewtonActive[] =
    "Bounded Newton rigid-body world-root interpolation active on the camera presentation clock.";

struct EntityCase {
  const char* name;
  std::map<std::string, std::string> features;
  std::vector<std::wstring> args;      // each run lasts a little over five seconds: one report
  std::vector<std::string> once;       // messages logged exactly once
  std::vector<std::string> present;    // message prefixes logged at least once
  std::vector<std::string> absent;     // message prefixes never logged
  std::vector<std::string> positive;   // report counters ("Label|name") that moved
  std::vector<std::string> zero;       // report counters that stayed at 0
  std::vector<std::string> smoothKinds;  // kinds drawn somewhere new in nearly every frame
};

const std::vector<EntityCase> kEntityCases = {
    {"SteadyRootsAndBodiesAreDrawnBetweenSteps",
     kRootsAndBodies,
     {L"--scenario", L"steady-world", L"--ticks", L"340", L"--render-hz", L"240"},
     {kRootsInstalled, kHandsActive, kHeldActive, kScriptedActive, kInspectionActive, kNewtonActive},
     {"Player-root cadence: ", "Newton rigid-body interpolation: "},
     {},
     {"Player-root cadence|render applied", "Held/accessory interpolation|render applied",
      "Scripted-root interpolation|render applied", "Inspection-root interpolation|render applied",
      "Newton rigid-body interpolation|render applied"},
     {"Player-root cadence|fail", "Player-root cadence|restore-fail", "Player-root cadence|invalid-matrix",
      "Newton rigid-body interpolation|fail", "Newton rigid-body interpolation|restore-fail"},
     {"hands", "body", "held", "scripted", "inspection", "newton"}},
    {"WorldFreesRenamesAndReclassesRegisteredObjectsWithoutHarm",
     kRootsAndBodies,
     {L"--scenario", L"world", L"--ticks", L"340", L"--render-hz", L"240"},
     {kRootsInstalled, kHandsActive, kNewtonActive, "Held/accessory root registered for interpolation: Lantern_Held.",
      "Readable inspection entity registered by IsHUDVersion: note_letter."},
     {},
     {"Readable inspection entity registered by IsHUDVersion: cart_mine"},
     {"Player-root cadence|render applied", "Newton rigid-body interpolation|render applied"},
     {"Player-root cadence|restore-fail", "Newton rigid-body interpolation|restore-fail"},
     {}},
    {"FaultsAreRefusedAndCountedWithoutHarm",
     kRootsAndBodies,
     {L"--scenario", L"faults", L"--ticks", L"340", L"--render-hz", L"240"},
     {kRootsInstalled},
     {"Player-root failure detail: "},
     {},
     {"Player-root cadence|invalid-matrix", "Player-root failure detail|read-root", "Player-root failure detail|collect"},
     {},
     {}},
    {"StressOverflowsEveryTableAndKeepsTheRest",
     kRootsAndBodies,
     {L"--scenario", L"stress", L"--ticks", L"340", L"--render-hz", L"240"},
     {kRootsInstalled, kHeldActive, kScriptedActive, kInspectionActive, kNewtonActive},
     {},
     {},
     {"Held/accessory interpolation|registry-overflow", "Scripted-root interpolation|registry-overflow",
      "Newton rigid-body interpolation|stage-overflow", "Player-root failure detail|collect",
      "Held/accessory interpolation|render applied"},
     {"Player-root cadence|restore-fail"},
     {}},
    // World roots need no hands roots: bodies alone are drawn between steps, entities as the host drew them.
    {"WorldRootsAloneDrawBodiesBetweenSteps",
     {{"RenderUnlock", "true"}, {"CameraInterpolation", "true"}, {"WorldRootInterpolation", "true"}},
     {L"--scenario", L"steady-world", L"--ticks", L"340", L"--render-hz", L"240"},
     {"Read-only PlayerHands/PlayerBody root probe plus bounded Newton rigid-body world-root interpolation runtime "
      "installed.",
      kNewtonActive},
     {},
     {kHandsActive, kHeldActive},
     {"Newton rigid-body interpolation|render applied"},
     {"Player-root cadence|render applied", "Newton rigid-body interpolation|fail"},
     {"newton"}},
    {"DiagnosticsAloneProbesWithoutInterpolating",
     kProbeOnly,
     {L"--scenario", L"world", L"--ticks", L"340", L"--render-hz", L"240"},
     {"Read-only PlayerHands/PlayerBody root probe runtime installed."},
     {"Root probe found PlayerHands_Arms: uniform-scale=1.000000", "Generic entity SetMatrix probe: entities/",
      "Newton body transform probe: bodies/"},
     {kHandsActive, kNewtonActive, "Newton rigid-body interpolation: "},
     {"Generic entity SetMatrix probe|callbacks", "Newton body transform probe|callbacks"},
     {"Player-root cadence|render applied"},
     {}},
};

void PrintTo(const EntityCase& c, std::ostream* out) { *out << c.name; }

class EntityE2E : public ::testing::TestWithParam<EntityCase> {};

TEST_P(EntityE2E, Scenario) {
  const EntityCase& c = GetParam();
  GameRunOptions options;
  options.ini = IniText({{"Telemetry", {{"Enabled", "false"}}}, {"Features", c.features}});
  options.args = c.args;
  options.drawLog = true;
  const GameRunResult run = RunGame(options);
  ASSERT_EQ(run.exitCode, 0u) << "the simulation saw an interpolated value or the game failed: " << run.stderrText;
  EXPECT_EQ(run.summary.at("violations"), "0");
  EXPECT_EQ(run.summary.at("bootstrap-exit"), "0") << run.Messages();
  for (const std::string& m : c.once) EXPECT_EQ(run.CountMessage(m), 1) << m << "\n" << run.Messages();
  for (const std::string& p : c.present) EXPECT_GE(run.CountMessagePrefix(p), 1) << p << "\n" << run.Messages();
  for (const std::string& p : c.absent) EXPECT_EQ(run.CountMessagePrefix(p), 0) << p;
  const std::map<std::string, double> counters = ReportCounters(run);
  for (const std::string& key : c.positive) {
    ASSERT_TRUE(counters.count(key)) << key << " not reported\n" << run.Messages();
    EXPECT_GT(counters.at(key), 0) << key;
  }
  for (const std::string& key : c.zero) {
    ASSERT_TRUE(counters.count(key)) << key << " not reported\n" << run.Messages();
    EXPECT_EQ(counters.at(key), 0) << key;
  }
  for (const std::string& kind : c.smoothKinds) EXPECT_LT(RepeatedShare(run.drawLog, kind), 0.15) << kind;
}

INSTANTIATE_TEST_SUITE_P(Entities, EntityE2E, ::testing::ValuesIn(kEntityCases),
                         [](const ::testing::TestParamInfo<EntityCase>& p) { return std::string(p.param.name); });

// The parser the table relies on, on the report's two line shapes.
TEST(EntityReportCounters, ReadsBothGroupShapes) {
  GameRunResult run;
  run.logMessages = {
      "Player-root cadence: hands/body/held-set-matrix=1/2/3, invalid-matrix=4, render applied/fail/restore-fail=5/6/7.",
      "Scripted-root interpolation: set-matrix, render applied/fail/restore-fail/registry-overflow=8, 9/10/11/12.",
      "Newton body transform probe: bodies/callbacks/changed/invalid/lock-drop/registry-overflow=1/2/3/4/5/6; top "
      "name(callbacks/changed): a(2/3).",
      "Player-root cadence: hands/body/held-set-matrix=10/0/0, invalid-matrix=0, render applied/fail/restore-fail=1/0/0."};
  const std::map<std::string, double> c = ReportCounters(run);
  EXPECT_EQ(c.at("Player-root cadence|hands"), 11);
  EXPECT_EQ(c.at("Player-root cadence|invalid-matrix"), 4);
  EXPECT_EQ(c.at("Player-root cadence|render applied"), 6);
  EXPECT_EQ(c.at("Player-root cadence|restore-fail"), 7);
  EXPECT_EQ(c.at("Scripted-root interpolation|set-matrix"), 8);
  EXPECT_EQ(c.at("Scripted-root interpolation|registry-overflow"), 12);
  EXPECT_EQ(c.at("Newton body transform probe|registry-overflow"), 6);
}

}  // namespace
