// The stand-in game run as a player would, judged by the plug-in's log and the bootstrap's result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "game_run.h"

namespace {

const std::string kNoFeatures = IniText({{"Telemetry", {{"Enabled", "false"}}}});
const std::string kRenderUnlockOnly = IniText({{"Telemetry", {{"Enabled", "false"}}}, {"Features", {{"RenderUnlock", "true"}}}});

GameRunResult RunWith(const std::string& ini, std::vector<std::wstring> args, std::wstring build = L"GOG",
                  std::wstring exeName = L"QuarrenVelt.exe") {
  GameRunOptions options;
  options.build = build;
  options.exeName = exeName;
  options.ini = ini;
  options.args = std::move(args);
  options.args.insert(options.args.begin(), {L"--ticks", L"30"});
  return RunGame(options);
}

TEST(HostE2E, IdentifiesEachExactBuild) {
  struct Case {
    std::wstring build;
    std::string host;
    std::string line;
  };
  const Case cases[] = {
      {L"GOG", "Eligible Velt PE64 host: machine=0x8664, imageSize=0x9FD000, timestamp=0x614063E2",
       "Game build: GOG (exact executable the mapping was made from)."},
      {L"Steam", "Eligible Velt PE64 host: machine=0x8664, imageSize=0xA88000, timestamp=0x61406F43",
       "Game build: Steam (exact executable the mapping was made from)."},
  };
  for (const Case& c : cases) {
    const GameRunResult run = RunWith(kNoFeatures, {}, c.build);
    EXPECT_EQ(run.exitCode, 0u) << run.stderrText;
    EXPECT_EQ(run.summary.at("bootstrap-exit"), "0");
    EXPECT_TRUE(run.HasMessage("INFO", c.host)) << run.Messages();
    EXPECT_TRUE(run.HasMessage("INFO", c.line)) << run.Messages();
    EXPECT_TRUE(run.HasMessage("INFO", "Bootstrap complete. No hooks installed.")) << run.Messages();
  }
}

TEST(HostE2E, AnotherTimestampStillMatchesByCode) {
  const GameRunResult run = RunWith(kRenderUnlockOnly, {L"--patch", L"timestamp=0x12345678"});
  EXPECT_EQ(run.summary.at("bootstrap-exit"), "0") << run.Messages();
  EXPECT_TRUE(run.HasMessage("INFO", "Eligible Velt PE64 host: machine=0x8664, imageSize=0x9FD000, timestamp=0x12345678"));
  EXPECT_TRUE(run.HasMessage(
      "INFO", "Game build: GOG (code matches; timestamp or image size differ, so each feature still checks its game code)."))
      << run.Messages();
  EXPECT_TRUE(run.HasMessage("INFO", "Guarded cEngine::Run render-unlock detour installed."));
  EXPECT_TRUE(run.HasMessage("INFO", "Bootstrap complete with render unlock enabled."));
}

TEST(HostE2E, EachBrokenHeaderFailsValidationWithItsReason) {
  struct Case {
    std::wstring patch;
    std::string reason;
  };
  const Case cases[] = {
      {L"lfanew=0x0", "Mapped host has an invalid DOS header."},
      {L"lfanew=0x100001", "Mapped host has an invalid DOS header."},
      {L"lfanew=0x40", "Mapped host has an invalid NT signature."},
      {L"machine=0x14C", "Mapped host is not an x64 PE32+ image."},
      {L"magic=0x10B", "Mapped host is not an x64 PE32+ image."},
      {L"image-size=0x200", "Mapped host has an invalid image size."},
      {L"image-size=0x80001000", "Mapped host has an invalid image size."},
  };
  for (const Case& c : cases) {
    const GameRunResult run = RunWith(kRenderUnlockOnly, {L"--patch", c.patch});
    EXPECT_EQ(run.summary.at("bootstrap-exit"), "3") << Narrow(c.patch) << "\n" << run.Messages();
    EXPECT_TRUE(run.HasMessage("ERROR", "Host validation failed: " + c.reason)) << Narrow(c.patch) << "\n" << run.Messages();
    EXPECT_TRUE(run.HasMessage("ERROR", "Fail-closed: no engine hooks were installed."));
    EXPECT_EQ(run.CountMessagePrefix("Game build:"), 0);
  }
}

TEST(HostE2E, HostNameIsCheckedIgnoringCase) {
  const GameRunResult other = RunWith(kRenderUnlockOnly, {}, L"GOG", L"Other.exe");
  EXPECT_EQ(other.summary.at("bootstrap-exit"), "3") << other.Messages();
  const std::string expected =
      "Host validation failed: Host executable name is not QuarrenVelt.exe: " + Narrow(other.folder) + "\\Other.exe";
  EXPECT_TRUE(other.HasMessage("ERROR", expected)) << other.Messages();

  const GameRunResult lower = RunWith(kRenderUnlockOnly, {}, L"GOG", L"quarrenvelt.EXE");
  EXPECT_EQ(lower.summary.at("bootstrap-exit"), "0") << lower.Messages();
  EXPECT_TRUE(lower.HasMessage("INFO", "Game build: GOG (exact executable the mapping was made from)."));
}

const char kNoBuildMatched[] =
    "No supported build matched this executable's cEngine::Run; every feature that hooks game code will refuse to "
    "start, but telemetry and the presentation limiter, which change only the SDL_GL_SwapWindow import slot, still "
    "install when enabled.";

// The swap runtime checks no game code: on an unidentified build it still redirects the import.
TEST(HostE2E, UnmatchedBuildStillRedirectsTheSwapImportForTelemetry) {
  const GameRunResult run =
      RunWith(IniText({{"Telemetry", {{"Enabled", "true"}, {"ReportIntervalSeconds", "1"}}}}), {L"--break-site", L"0", L"--ticks", L"90"});
  EXPECT_EQ(run.summary.at("bootstrap-exit"), "0") << run.Messages();
  EXPECT_TRUE(run.HasMessage("WARN", kNoBuildMatched)) << run.Messages();
  EXPECT_TRUE(run.HasMessage("INFO", "SDL_GL_SwapWindow cadence telemetry installed.")) << run.Messages();
  EXPECT_GE(run.CountMessagePrefix("Swap cadence: samples="), 1) << "the detour measured presents\n" << run.Messages();
  EXPECT_EQ(run.exitCode, 0u) << run.stderrText;
}

TEST(HostE2E, UnmatchedEngineLoopLeavesEveryFeatureRefusing) {
  for (const std::wstring& damage : {std::wstring(L"--break-site 0"), std::wstring(L"--protect-site 0=guard"),
                                      std::wstring(L"--protect-site 0=noaccess")}) {
    const GameRunResult run = RunWith(kRenderUnlockOnly, {damage});
    EXPECT_EQ(run.summary.at("bootstrap-exit"), "8") << Narrow(damage) << "\n" << run.Messages();
    EXPECT_TRUE(run.HasMessage("WARN", kNoBuildMatched));
    EXPECT_TRUE(run.HasMessage("ERROR", "Render unlock could not start: cEngine::Run entry bytes do not match the supported build."));
    EXPECT_TRUE(run.HasMessage("ERROR", "Fail-closed: stock cEngine::mbLimitFPS was not changed."));
    EXPECT_EQ(run.exitCode, 0u) << "the game itself runs on: " << run.stderrText;
  }
}

TEST(HostE2E, CameraSiteMismatchRollsBackRenderUnlock) {
  const std::string ini = IniText({{"Telemetry", {{"Enabled", "true"}}},
                                   {"Features", {{"RenderUnlock", "true"}, {"CameraInterpolation", "true"}}}});
  for (const wchar_t* site : {L"1", L"2", L"3", L"4", L"5"}) {
    const GameRunResult run = RunWith(ini, {L"--break-site", site});
    EXPECT_EQ(run.summary.at("bootstrap-exit"), "9") << run.Messages();
    EXPECT_TRUE(run.HasMessage("ERROR",
                               "Camera interpolation could not start: Updater or viewport-render entry bytes do not match "
                               "the supported build, or the scheduler clock is unavailable."))
        << run.Messages();
    EXPECT_TRUE(run.HasMessage("ERROR", "Fail-closed: render unlock was rolled back."));
    // The engine loop starts after the rollback, so the cap was never lifted.
    EXPECT_EQ(run.CountMessagePrefix("Render unlock active"), 0) << run.Messages();
    EXPECT_EQ(run.exitCode, 0u) << run.stderrText;
  }
}

TEST(RenderUnlockE2E, ClearsABooleanCapAndRefusesAnythingElse) {
  struct Case {
    std::vector<std::wstring> args;
    const char* refusal;   // the one-time ERROR line, or null when the cap is lifted
  };
  const Case cases[] = {
      {{L"--limit-byte", L"1"}, nullptr},
      {{L"--limit-byte", L"0"}, nullptr},
      {{L"--limit-byte", L"2"}, "Render unlock disabled at runtime: the byte at cEngine+0x88 was not boolean."},
      // A cap the plug-in can't clear is never reported as lifted.
      {{L"--engine-readonly"}, "Render unlock disabled at runtime: the byte at cEngine+0x88 could not be written."},
  };
  for (const Case& c : cases) {
    GameRunOptions options;
    options.ini = kRenderUnlockOnly;
    options.args = {L"--ticks", L"30", L"--render-hz", L"240"};
    options.args.insert(options.args.end(), c.args.begin(), c.args.end());
    const GameRunResult run = RunGame(options);
    const std::string label = Narrow(c.args[0]) + "\n" + run.Messages();
    EXPECT_EQ(run.exitCode, 0u) << run.stderrText;
    EXPECT_EQ(run.CountMessage("Render unlock active: validated cEngine::mbLimitFPS and set it to false."),
              c.refusal ? 0 : 1)
        << label;
    EXPECT_EQ(run.CountMessagePrefix("Render unlock disabled at runtime:"), c.refusal ? 1 : 0) << label;
    if (c.refusal) {
      EXPECT_TRUE(run.HasMessage("ERROR", c.refusal)) << label;
    }
    const double frames = std::stod(run.summary.at("frames"));
    if (c.refusal) {
      EXPECT_LE(frames, 31.0) << "the engine keeps its own cap\n" << label;
    } else {
      EXPECT_GT(frames, 60.0) << "more than one frame per fixed step once the cap is gone\n" << label;
    }
  }
}

}  // namespace

namespace {

// A player runtime that cannot start (here: the body pose's name resolver was changed) takes the
// camera, the unlock and the swap runtime down with it; the camera's extras install beside the camera.
TEST(BootstrapE2E, FailedPlayerRuntimeRollsBackAndCameraExtrasStay) {
  const GameRunResult roots = RunWith(
      IniText({{"Telemetry", {{"Enabled", "true"}}},
               {"Features",
                {{"RenderUnlock", "true"}, {"CameraInterpolation", "true"}, {"HandsRootInterpolation", "true"},
                 {"HandsPoseInterpolation", "true"}}}}),
      {L"--break-site", L"20"});
  EXPECT_EQ(roots.summary.at("bootstrap-exit"), "10") << roots.Messages();
  EXPECT_TRUE(roots.HasMessage(
      "ERROR", "Player interpolation could not start: Player-root native entry bytes do not match the supported build."))
      << roots.Messages();
  EXPECT_TRUE(roots.HasMessage("ERROR", "Fail-closed: behavioral hooks were rolled back."));
  EXPECT_EQ(roots.CountMessagePrefix("Render unlock active"), 0) << "rolled back before the engine loop started";
  EXPECT_EQ(roots.CountMessagePrefix("Swap cadence"), 0);
  EXPECT_EQ(roots.exitCode, 0u) << roots.stderrText;

  const GameRunResult extras = RunWith(
      IniText({{"General", {{"Diagnostics", "false"}}},
               {"Telemetry", {{"Enabled", "false"}}},
               {"Features",
                {{"RenderUnlock", "true"}, {"CameraInterpolation", "true"}, {"MouseOverlay", "true"}, {"ParticleInterpolation", "true"}}}}),
      {});
  EXPECT_EQ(extras.summary.at("bootstrap-exit"), "0") << extras.Messages();
  EXPECT_TRUE(extras.HasMessage(
      "INFO", "Gameplay mouse-look preview installed: SDL relative-motion read and look-amount detours."))
      << extras.Messages();
  EXPECT_TRUE(extras.HasMessage("INFO", "GUI cursor preview installed: GUI mouse-position detour."));
  EXPECT_TRUE(extras.HasMessage("INFO", "Particle interpolation installed: emitter motion and per-viewport graphics detours."));
  EXPECT_EQ(extras.CountMessagePrefix("Root probe was unavailable"), 0) << "no probe without Diagnostics or a root key";
  EXPECT_TRUE(extras.HasMessage("INFO", "Bootstrap complete with requested hooks enabled."));
  EXPECT_EQ(extras.CountMessage("Render unlock active: validated cEngine::mbLimitFPS and set it to false."), 1);
}

}  // namespace
