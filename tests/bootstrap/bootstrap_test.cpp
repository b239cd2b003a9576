// The plug-in as a player gets it: the built DLL beside a host program named QuarrenVelt.exe, an
// INI written per test, the host started as a real process, and the log file read afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pe_file.h"
#include "support/game_launcher.h"
#include "support/temp_folder.h"

namespace {

// Build outputs, handed over as Unix paths; Wine shows the root as drive Z:.
std::wstring WindowsPath(const char* unixPath) {
  std::wstring path = L"Z:" + FromUtf8(unixPath);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}
const std::wstring kHostExe = WindowsPath(FRAMOLT_HOST_EXE);
const std::wstring kPluginDll = WindowsPath(FRAMOLT_PLUGIN_DLL);

struct LogLine {
  std::string level;
  std::wstring message;
  bool operator==(const LogLine& other) const { return level == other.level && message == other.message; }
};
void PrintTo(const LogLine& line, std::ostream* out) {
  *out << "\n  [" << line.level << "] " << ToUtf8(line.message);
}
using LogLines = std::vector<LogLine>;
LogLines operator+(LogLines a, const LogLines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

LogLine Debug(const std::wstring& m) { return {"DEBUG", m}; }
LogLine Info(const std::wstring& m) { return {"INFO", m}; }
LogLine Warn(const std::wstring& m) { return {"WARN", m}; }
LogLine Error(const std::wstring& m) { return {"ERROR", m}; }

const wchar_t kFailClosedEngine[] = L"Fail-closed: no engine hooks were installed.";
const wchar_t kNoBuild[] =
    L"No supported build matched this executable's cEngine::Run; every feature that hooks game code will refuse "
    L"to start, but telemetry and the presentation limiter, which change only the SDL_GL_SwapWindow import slot, "
    L"still install when enabled.";
const wchar_t kNoHooks[] = L"Bootstrap complete. No hooks installed.";
const std::string kTelemetryOff = "[Telemetry]\nEnabled=false\n";

// Splits a UTF-8 log into lines, checking that each is "[YYYY-MM-DD hh:mm:ss.mmm] [LEVEL] text"
// ended by CR LF; the timestamp's digits are not compared.
LogLines ParseLog(const std::string& bytes) {
  LogLines lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "last line has no CR LF: " << bytes.substr(start);
      break;
    }
    const std::string line = bytes.substr(start, end - start);
    start = end + 2;
    const std::string shape = "[0000-00-00 00:00:00.000] [";
    bool shaped = line.size() > shape.size();
    for (size_t i = 0; shaped && i < shape.size(); ++i)
      shaped = shape[i] == '0' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
    const size_t close = line.find("] ", shape.size());
    if (!shaped || close == std::string::npos) {
      ADD_FAILURE() << "line without the log prefix: " << line;
      continue;
    }
    lines.push_back({line.substr(shape.size(), close - shape.size()), FromUtf8(line.substr(close + 2))});
  }
  return lines;
}

std::wstring HexOf(uint32_t value) {
  wchar_t buffer[16];
  swprintf(buffer, 16, L"0x%X", value);
  return buffer;
}

class BootstrapTest : public ::testing::Test {
 protected:
  TempFolder folder_{L"bootstrap"};
  const std::wstring dll_ = folder_.file(L"QuarrenVelt.Framolt.dll");
  const std::wstring ini_ = folder_.file(L"QuarrenVelt.Framolt.ini");
  const std::wstring log_ = folder_.file(L"QuarrenVelt.Framolt.log");
  const std::wstring previousLog_ = folder_.file(L"QuarrenVelt.Framolt.previous.log");

  // Copies the host program (under the given name) and the plug-in into the test's folder.
  std::wstring Install(const std::wstring& hostName = L"QuarrenVelt.exe") {
    const std::wstring host = folder_.file(hostName);
    EXPECT_TRUE(CopyFileW(kHostExe.c_str(), host.c_str(), FALSE)) << ToUtf8(kHostExe);
    EXPECT_TRUE(CopyFileW(kPluginDll.c_str(), dll_.c_str(), FALSE)) << ToUtf8(kPluginDll);
    return host;
  }
  void WriteIni(const std::string& text) { WriteFileBytes(ini_, text); }

  // Runs the host to its end and returns its exit code: the bootstrap thread's.
  DWORD RunHost(const std::wstring& host, const std::wstring& argument = L"") {
    const launcher::ProcessResult run = launcher::RunProcess(host, argument, folder_.path(), folder_.path(), 30000);
    EXPECT_FALSE(run.timedOut) << "the host did not end";
    return run.exitCode;
  }

  LogLines Log() { return ParseLog(ReadFileBytes(log_)); }

  LogLines Header() const {
    return {Info(L"QuarrenVelt.Framolt " L"" FRAMOLT_VERSION L" bootstrap starting (x64)"), Debug(L"Plugin path: " + dll_),
            Debug(L"INI path: " + ini_)};
  }
  // What a valid host that is no supported build logs after the configuration.
  static LogLines HostAccepted() {
    const PeFileFacts host = ReadPeFile(ReadFileBytes(kHostExe));
    EXPECT_TRUE(host.ok) << host.error;
    return {Info(L"Eligible Velt PE64 host: machine=0x8664, imageSize=" + HexOf(host.sizeOfImage) +
                 L", timestamp=" + HexOf(host.timestamp)),
            Warn(kNoBuild)};
  }
};

TEST_F(BootstrapTest, MissingIniInstallsNothing) {
  const std::wstring host = Install();
  EXPECT_EQ(RunHost(host), 2u);
  EXPECT_EQ(Log(), (Header() + LogLines{Error(L"Configuration file not found: " + ini_), Error(kFailClosedEngine)}));
}

TEST_F(BootstrapTest, BadValueInstallsNothing) {
  const std::wstring host = Install();
  WriteIni("[Features]\nRenderUnlock=enable\n");
  EXPECT_EQ(RunHost(host), 2u);
  EXPECT_EQ(Log(), (Header() + LogLines{Error(L"Invalid boolean value for [Features] RenderUnlock: enable"),
                                       Error(kFailClosedEngine)}));
}

TEST_F(BootstrapTest, DisabledPluginStopsBeforeHostValidation) {
  // Under another name too: the host is never looked at.
  const std::wstring host = Install(L"Other.exe");
  WriteIni("[General]\nEnabled=false\n[Features]\nRenderUnlock=true\nWorldPoseInterpolation=true\nMouseOverlay=1\n");
  EXPECT_EQ(RunHost(host), 0u);
  EXPECT_EQ(Log(), (Header() + LogLines{Info(L"Plugin disabled by configuration.")}));
}

TEST_F(BootstrapTest, HostUnderAnotherNameIsRefusedWithItsFullPath) {
  const std::wstring host = Install(L"Other.exe");
  WriteIni(kTelemetryOff);
  EXPECT_EQ(RunHost(host), 3u);
  EXPECT_EQ(Log(), (Header() + LogLines{Error(L"Host validation failed: Host executable name is not QuarrenVelt.exe: " +
                                             host),
                                       Error(kFailClosedEngine)}));
}

TEST_F(BootstrapTest, HostNameIsComparedIgnoringCase) {
  const std::wstring host = Install(L"quarrenvelt.EXE");
  WriteIni(kTelemetryOff);
  EXPECT_EQ(RunHost(host), 0u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() + LogLines{Info(kNoHooks)}));
}

TEST_F(BootstrapTest, DamagedHostHeadersAreRefused) {
  struct HeaderCase {
    const wchar_t* damage;
    const wchar_t* reason;
  };
  const HeaderCase cases[] = {
      {L"dos-signature", L"Mapped host has an invalid DOS header."},
      {L"nt-offset-zero", L"Mapped host has an invalid DOS header."},
      {L"nt-offset-huge", L"Mapped host has an invalid DOS header."},
      {L"nt-signature", L"Mapped host has an invalid NT signature."},
      {L"machine-i386", L"Mapped host is not an x64 PE32+ image."},
      {L"magic-pe32", L"Mapped host is not an x64 PE32+ image."},
      {L"image-size-below-headers", L"Mapped host has an invalid image size."},
      {L"image-size-huge", L"Mapped host has an invalid image size."},
  };
  const std::wstring host = Install();
  WriteIni(kTelemetryOff);
  for (const HeaderCase& c : cases) {
    DeleteFileW(log_.c_str());
    EXPECT_EQ(RunHost(host, c.damage), 3u) << ToUtf8(c.damage);
    EXPECT_EQ(Log(), (Header() + LogLines{Error(std::wstring(L"Host validation failed: ") + c.reason),
                                         Error(kFailClosedEngine)}))
        << ToUtf8(c.damage);
  }
}

TEST_F(BootstrapTest, UnimplementedFeatureIsRefusedBeforeTheDependencyRules) {
  const std::wstring host = Install();
  for (const char* key : {"WorldPoseInterpolation", "VerletInterpolation", "TemporalEffectTiming"}) {
    DeleteFileW(log_.c_str());
    // MouseOverlay without a camera would break rule 6; the unimplemented feature comes first.
    WriteIni(kTelemetryOff + "[Features]\nMouseOverlay=true\n" + key + "=true\n");
    EXPECT_EQ(RunHost(host), 4u) << key;
    EXPECT_EQ(Log(), (Header() + HostAccepted() +
                         LogLines{Error(L"A behavioral feature was requested before its Velt mapping was implemented."),
                                  Error(kFailClosedEngine)}))
        << key;
  }
}

TEST_F(BootstrapTest, FirstViolatedDependencyRuleIsLoggedAlone) {
  struct RuleCase {
    const char* features;
    const wchar_t* message;
  };
  const RuleCase cases[] = {
      {"CameraInterpolation=true\nHandsRootInterpolation=true\n",
       L"PresentationLimiter, CameraInterpolation, and hands/body/world interpolation require RenderUnlock=true."},
      {"RenderUnlock=true\nHandsRootInterpolation=true\nWorldRootInterpolation=true\n",
       L"HandsRootInterpolation requires CameraInterpolation=true."},
      {"RenderUnlock=true\nWorldRootInterpolation=true\n", L"WorldRootInterpolation requires CameraInterpolation=true."},
      {"RenderUnlock=true\nCameraInterpolation=true\nHandsPoseInterpolation=true\n",
       L"HandsPoseInterpolation requires CameraInterpolation=true and HandsRootInterpolation=true."},
      {"RenderUnlock=true\nCameraInterpolation=true\nRagdollPoseInterpolation=true\n",
       L"RagdollPoseInterpolation requires CameraInterpolation=true and WorldRootInterpolation=true."},
      {"MouseOverlay=true\n", L"MouseOverlay requires CameraInterpolation=true."},
  };
  const std::wstring host = Install();
  for (const RuleCase& c : cases) {
    DeleteFileW(log_.c_str());
    WriteIni(kTelemetryOff + "[Features]\n" + c.features);
    EXPECT_EQ(RunHost(host), 5u) << c.features;
    EXPECT_EQ(Log(), (Header() + HostAccepted() + LogLines{Error(c.message)})) << c.features;
  }
}

TEST_F(BootstrapTest, LimiterWithoutTargetFpsIsRefused) {
  const std::wstring host = Install();
  WriteIni("[Features]\nRenderUnlock=true\nPresentationLimiter=true\n");
  EXPECT_EQ(RunHost(host), 6u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() +
                       LogLines{Error(L"PresentationLimiter requires TargetFPS greater than zero.")}));
}

TEST_F(BootstrapTest, MotionTraceOnlyWarns) {
  const std::wstring host = Install();
  WriteIni("[Telemetry]\nEnabled=false\nMotionTrace=true\n");
  EXPECT_EQ(RunHost(host), 0u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() +
                       LogLines{Warn(L"MotionTrace is not available before timing hooks exist."), Info(kNoHooks)}));
}

// This host imports no SDL2.dll, so the swap runtime cannot find its import slot.
TEST_F(BootstrapTest, SwapRuntimeStartsForTelemetryOnByDefaultAndFails) {
  const std::wstring host = Install();
  WriteIni("");
  EXPECT_EQ(RunHost(host), 7u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() +
                       LogLines{Error(L"SDL swap runtime could not start: Could not locate SDL_GL_SwapWindow: "
                                      L"Requested import module was not present in the host."),
                                Error(L"Fail-closed: no behavioral hooks were installed.")}));
}

TEST_F(BootstrapTest, SwapRuntimeStartsForTheLimiterWithTelemetryOff) {
  const std::wstring host = Install();
  WriteIni(kTelemetryOff + "[Features]\nRenderUnlock=true\nPresentationLimiter=true\n[Timing]\nTargetFPS=144\n");
  EXPECT_EQ(RunHost(host), 7u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() +
                       LogLines{Error(L"SDL swap runtime could not start: Could not locate SDL_GL_SwapWindow: "
                                      L"Requested import module was not present in the host."),
                                Error(L"Fail-closed: no behavioral hooks were installed.")}));
}

TEST_F(BootstrapTest, RenderUnlockRefusesAHostWithoutTheEngineRunBytes) {
  const std::wstring host = Install();
  WriteIni(kTelemetryOff + "[Features]\nRenderUnlock=true\n");
  EXPECT_EQ(RunHost(host), 8u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() +
                       LogLines{Error(L"Render unlock could not start: cEngine::Run entry bytes do not match the "
                                      L"supported build."),
                                Error(L"Fail-closed: stock cEngine::mbLimitFPS was not changed.")}));
}

TEST_F(BootstrapTest, ParticlesWithoutCameraInstallNothingAndComplete) {
  const std::wstring host = Install();
  WriteIni(kTelemetryOff + "[Features]\nParticleInterpolation=true\n");
  EXPECT_EQ(RunHost(host), 0u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() + LogLines{Info(L"Bootstrap complete with requested hooks enabled.")}));
}

TEST_F(BootstrapTest, StartupDebugLinesAppearEvenWithDiagnosticsOff) {
  const std::wstring host = Install();
  WriteIni("[General]\nDiagnostics=false\n" + kTelemetryOff);
  EXPECT_EQ(RunHost(host), 0u);
  EXPECT_EQ(Log(), (Header() + HostAccepted() + LogLines{Info(kNoHooks)}));
}

TEST_F(BootstrapTest, EachRunMovesThePreviousLogAside) {
  const std::wstring host = Install();
  EXPECT_EQ(RunHost(host), 2u);
  const std::string first = ReadFileBytes(log_);
  ASSERT_FALSE(first.empty());
  WriteIni(kTelemetryOff);
  EXPECT_EQ(RunHost(host), 0u);
  EXPECT_EQ(ReadFileBytes(previousLog_), first);
  EXPECT_EQ(Log(), (Header() + HostAccepted() + LogLines{Info(kNoHooks)}));
  // The next run replaces the kept log with the second one.
  const std::string second = ReadFileBytes(log_);
  WriteIni("[General]\nEnabled=false\n");
  EXPECT_EQ(RunHost(host), 0u);
  EXPECT_EQ(ReadFileBytes(previousLog_), second);
  EXPECT_EQ(Log(), (Header() + LogLines{Info(L"Plugin disabled by configuration.")}));
}

TEST_F(BootstrapTest, UnwritableSiblingLogFallsBackToLocalAppData) {
  const std::wstring host = Install();
  // A folder where the log should be, and another where it would be moved to: neither the move
  // nor the open can succeed.
  ASSERT_TRUE(CreateDirectoryW(log_.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(previousLog_.c_str(), nullptr));
  WriteFileBytes(previousLog_ + L"\\keep", "x");
  const std::wstring appData = folder_.file(L"appdata");
  ASSERT_TRUE(CreateDirectoryW(appData.c_str(), nullptr));
  const std::wstring fallback = appData + L"\\QuarrenVelt.Framolt\\QuarrenVelt.Framolt.log";

  wchar_t saved[32768];
  const DWORD savedLength = GetEnvironmentVariableW(L"LOCALAPPDATA", saved, 32768);
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", appData.c_str()));   // the host inherits it
  const DWORD firstCode = RunHost(host);
  const DWORD secondCode = RunHost(host);
  SetEnvironmentVariableW(L"LOCALAPPDATA", savedLength > 0 && savedLength < 32768 ? saved : nullptr);

  EXPECT_EQ(firstCode, 2u);
  EXPECT_EQ(secondCode, 2u);
  const LogLines oneRun = LogLines{Warn(L"Could not write sibling log; using: " + fallback)} + Header() +
                          LogLines{Error(L"Configuration file not found: " + ini_), Error(kFailClosedEngine)};
  // The fallback log is not rotated: the second run appends.
  EXPECT_EQ(ParseLog(ReadFileBytes(fallback)), oneRun + oneRun);
  EXPECT_FALSE(FileExists(appData + L"\\QuarrenVelt.Framolt\\QuarrenVelt.Framolt.previous.log"));
}

TEST(PluginDll, ImportsOnlyWindowsSystemLibrariesAndExportsNothing) {
  const PeFileFacts dll = ReadPeFile(ReadFileBytes(kPluginDll));
  ASSERT_TRUE(dll.ok) << dll.error;
  EXPECT_EQ(dll.machine, IMAGE_FILE_MACHINE_AMD64);
  const std::vector<std::string> system = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll"};
  ASSERT_FALSE(dll.importedDlls.empty());
  for (std::string name : dll.importedDlls) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool allowed = std::find(system.begin(), system.end(), name) != system.end() ||
                         name.rfind("api-ms-win-", 0) == 0;
    EXPECT_TRUE(allowed) << "imports " << name;
  }
  EXPECT_EQ(dll.exportedFunctions, 0u);
  EXPECT_EQ(dll.exportedNames, 0u);
}

}  // namespace
