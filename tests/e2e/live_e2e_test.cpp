// The game's main loop runs while the plug-in starts, and host code changes under it at a chosen
// frame: every rollback of the bootstrap then runs while frames are drawn uncapped. The game itself
// checks that it saw no interpolated value, that every host function ran once per call and that its
// code is as shipped after a failed start-up; bench/live_cycles.py runs the same many times over.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "game_run.h"

namespace {

std::string Ini(std::map<std::string, std::string> features) {
  features["RenderUnlock"] = "true";
  features["CameraInterpolation"] = "true";
  return IniText({{"Telemetry", {{"Enabled", "true"}, {"ReportIntervalSeconds", "1"}}}, {"Features", features}});
}

GameRunResult RunLive(const std::string& ini, const std::vector<std::wstring>& damage, const std::wstring& build) {
  GameRunOptions options;
  options.build = build;
  options.ini = ini;
  options.args = {L"--live", L"--limit-byte", L"0", L"--ticks", L"20"};
  options.args.insert(options.args.end(), damage.begin(), damage.end());
  return RunGame(options);
}

TEST(LiveStartE2E, EveryRollbackRunsWhileTheGameRendersAndLeavesHostCodeAsShipped) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> features;
    std::vector<std::wstring> damage;
    const char* exit;
    const char* line;  // the bootstrap's last ERROR line, or its final INFO line
  };
  const Case cases[] = {
      {"present import renamed", {}, {L"--break-site", L"swap@4"}, "7", "Fail-closed: no behavioral hooks were installed."},
      {"engine loop rewritten", {}, {L"--break-site", L"0@4"}, "8", "Fail-closed: stock cEngine::mbLimitFPS was not changed."},
      {"engine loop unreadable", {}, {L"--protect-site", L"0=noaccess@0"}, "8",
       "Fail-closed: stock cEngine::mbLimitFPS was not changed."},
      {"render re-encoded", {}, {L"--break-site", L"2@4"}, "9", "Fail-closed: render unlock was rolled back."},
      {"render execute-only", {}, {L"--protect-site", L"2=execute@4"}, "9", "Fail-closed: render unlock was rolled back."},
      {"setter re-encoded", {}, {L"--break-site", L"3@12"}, "9", "Fail-closed: render unlock was rolled back."},
      {"entity site re-encoded", {{"HandsRootInterpolation", "true"}}, {L"--break-site", L"12@4"}, "10",
       "Fail-closed: behavioral hooks were rolled back."},
      // Listener draws of 4 ms: the camera's removal nearly always finds a frame inside the render
      // detour, which must still draw once through the host and leave before anything is reset. The
      // body pose's name resolver is re-encoded, so the player runtime refuses after the camera is in.
      {"removed mid-draw", {{"HandsRootInterpolation", "true"}, {"HandsPoseInterpolation", "true"}},
       {L"--draw-us", L"4000", L"--break-site", L"20"}, "10", "Fail-closed: behavioral hooks were rolled back."},
      {"entity runtime installed", {{"HandsRootInterpolation", "true"}, {"WorldRootInterpolation", "true"}},
       {L"--scenario", L"world"}, "0", "Bootstrap complete with requested hooks enabled."},
      {"extras stay off", {{"MouseOverlay", "true"}, {"ParticleInterpolation", "true"}}, {}, "0",
       "Bootstrap complete with requested hooks enabled."},
  };
  int i = 0;
  for (const Case& c : cases) {
    const GameRunResult run = RunLive(Ini(c.features), c.damage, i++ % 2 ? L"Steam" : L"GOG");
    const std::string label = std::string(c.name) + "\n" + run.stderrText + run.Messages();
    EXPECT_EQ(run.exitCode, 0u) << label;
    EXPECT_EQ(run.summary.at("bootstrap-exit"), c.exit) << label;
    EXPECT_EQ(run.summary.at("host-calls-ok"), "1") << label;
    EXPECT_EQ(run.summary.at("sites-shipped"), std::string(c.exit) == "0" ? "-" : "1") << label;
    EXPECT_GT(std::stoull(run.summary.at("frames-before-bootstrap-exit")), 0u) << "frames drawn while it started\n"
                                                                               << label;
    EXPECT_EQ(run.CountMessage(c.line), 1) << label;
  }
}

}  // namespace
