#include "core/config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/temp_folder.h"

namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  TempFolder folder_{L"config"};
  std::wstring ini_ = folder_.file(L"QuarrenVelt.Framolt.ini");

  PluginConfig Load(const std::string& text) {
    WriteFileBytes(ini_, text);
    return LoadPluginConfig(ini_);
  }
};

// Every field at its documented default, valid or not.
void ExpectDefaults(const PluginConfig& c) {
  EXPECT_TRUE(c.enabled);
  EXPECT_TRUE(c.diagnostics);
  EXPECT_TRUE(c.telemetryEnabled);
  EXPECT_FALSE(c.motionTrace);
  EXPECT_EQ(c.reportIntervalSeconds, 5u);
  EXPECT_FALSE(c.renderUnlock || c.presentationLimiter || c.cameraInterpolation || c.handsRootInterpolation ||
               c.worldRootInterpolation || c.handsPoseInterpolation || c.worldPoseInterpolation ||
               c.ragdollPoseInterpolation || c.verletInterpolation || c.particleInterpolation ||
               c.temporalEffectTiming || c.mouseOverlay);
  EXPECT_EQ(c.targetFps, 0u);
}

TEST_F(ConfigFileTest, MissingFileIsInvalidAndNamesThePath) {
  const PluginConfig c = LoadPluginConfig(ini_);
  EXPECT_FALSE(c.valid);
  EXPECT_EQ(c.message, L"Configuration file not found: " + ini_);
  ExpectDefaults(c);
}

TEST_F(ConfigFileTest, EmptyFileOrUnknownKeysGiveValidDefaults) {
  for (const char* text : {"",
                           "[General]\r\nVerbose=whatever\r\n[Extras]\r\nRenderUnlock=maybe\r\nTargetFPS=-1\r\n",
                           "; only a comment\r\n[Features]\r\nRenderUnlockX=nope\r\n"}) {
    const PluginConfig c = Load(text);
    EXPECT_TRUE(c.valid) << text;
    EXPECT_EQ(c.message, L"") << text;
    ExpectDefaults(c);
  }
}

TEST_F(ConfigFileTest, EveryKeyIsReadFromItsSection) {
  const PluginConfig c = Load(
      "[General]\nEnabled=no\nDiagnostics=off\n"
      "[Telemetry]\nEnabled=0\nMotionTrace=yes\nReportIntervalSeconds=17\n"
      "[Features]\nRenderUnlock=1\nPresentationLimiter=true\nCameraInterpolation=on\nHandsRootInterpolation=yes\n"
      "WorldRootInterpolation=TRUE\nHandsPoseInterpolation=On\nWorldPoseInterpolation=1\n"
      "RagdollPoseInterpolation=1\nVerletInterpolation=1\nParticleInterpolation=1\nTemporalEffectTiming=1\n"
      "MouseOverlay=1\n"
      "[Timing]\nTargetFPS=240\n");
  EXPECT_TRUE(c.valid) << testing::PrintToString(c.message);
  EXPECT_FALSE(c.enabled);
  EXPECT_FALSE(c.diagnostics);
  EXPECT_FALSE(c.telemetryEnabled);
  EXPECT_TRUE(c.motionTrace);
  EXPECT_EQ(c.reportIntervalSeconds, 17u);
  EXPECT_TRUE(c.renderUnlock && c.presentationLimiter && c.cameraInterpolation && c.handsRootInterpolation &&
              c.worldRootInterpolation && c.handsPoseInterpolation && c.worldPoseInterpolation &&
              c.ragdollPoseInterpolation && c.verletInterpolation && c.particleInterpolation &&
              c.temporalEffectTiming && c.mouseOverlay);
  EXPECT_EQ(c.targetFps, 240u);
}

TEST_F(ConfigFileTest, SectionAndKeyNamesIgnoreCase) {
  const PluginConfig c = Load("[features]\nrenderunlock=yes\n[TIMING]\ntargetfps=30\n");
  EXPECT_TRUE(c.valid);
  EXPECT_TRUE(c.renderUnlock);
  EXPECT_EQ(c.targetFps, 30u);
}

struct ValueCase {
  const char* name;
  std::string text;
  bool valid;
  std::wstring message;                            // when invalid
  std::function<void(const PluginConfig&)> check;  // further expectations
};

TEST_F(ConfigFileTest, ValuesAsTheProfileApiReturnsThem) {
  const std::string longWord(200, 'a');
  const ValueCase cases[] = {
      {"boolean with spaces and capitals", "[General]\nEnabled= Yes \n", true, L"",
       [](const PluginConfig& c) { EXPECT_TRUE(c.enabled); }},
      {"empty value counts as absent", "[Features]\nRenderUnlock=\n[General]\nEnabled=\n[Timing]\nTargetFPS=\n", true,
       L"",
       [](const PluginConfig& c) {
         EXPECT_FALSE(c.renderUnlock);
         EXPECT_TRUE(c.enabled);
         EXPECT_EQ(c.targetFps, 0u);
       }},
      {"the sentinel counts as absent",
       "[General]\nEnabled={041E230A-AC97-42AF-MISSING}\n[Timing]\nTargetFPS={041E230A-AC97-42AF-MISSING}\n", true,
       L"",
       [](const PluginConfig& c) {
         EXPECT_TRUE(c.enabled);
         EXPECT_EQ(c.targetFps, 0u);
       }},
      {"the sentinel in other case is a value", "[General]\nEnabled={041e230a-ac97-42af-missing}\n", false,
       L"Invalid boolean value for [General] Enabled: {041e230a-ac97-42af-missing}", nullptr},
      {"unknown boolean word", "[Features]\nRenderUnlock=enable\n", false,
       L"Invalid boolean value for [Features] RenderUnlock: enable", nullptr},
      {"a value longer than the buffer names its key", "[Features]\nMouseOverlay=" + longWord + "\n", false,
       L"Value too long for [Features] MouseOverlay (over 127 characters): " + std::wstring(127, L'a') + L"...",
       nullptr},
      {"a cut number would read as its head", "[Timing]\nTargetFPS=" + std::string(127, '0') + "5000\n", false,
       L"Value too long for [Timing] TargetFPS (over 127 characters): " + std::wstring(127, L'0') + L"...", nullptr},
      {"a cut boolean would lose its tail", "[Features]\nRenderUnlock=1" + std::string(126, ' ') + "x\n", false,
       L"Value too long for [Features] RenderUnlock (over 127 characters): 1" + std::wstring(126, L' ') + L"...",
       nullptr},
      {"exactly 127 characters still fit", "[Timing]\nTargetFPS=" + std::string(124, '0') + "144\n", true, L"",
       [](const PluginConfig& c) { EXPECT_EQ(c.targetFps, 144u); }},
      {"report interval 0", "[Telemetry]\nReportIntervalSeconds=0\n", false,
       L"Out-of-range value for [Telemetry] ReportIntervalSeconds (expected 1..60): 0", nullptr},
      {"report interval 1", "[Telemetry]\nReportIntervalSeconds=1\n", true, L"",
       [](const PluginConfig& c) { EXPECT_EQ(c.reportIntervalSeconds, 1u); }},
      {"report interval 60", "[Telemetry]\nReportIntervalSeconds=60\n", true, L"",
       [](const PluginConfig& c) { EXPECT_EQ(c.reportIntervalSeconds, 60u); }},
      {"report interval 61", "[Telemetry]\nReportIntervalSeconds=61\n", false,
       L"Out-of-range value for [Telemetry] ReportIntervalSeconds (expected 1..60): 61", nullptr},
      {"negative target", "[Timing]\nTargetFPS=-5\n", false, L"Invalid unsigned value for [Timing] TargetFPS: -5",
       nullptr},
      {"trailing characters", "[Timing]\nTargetFPS=60fps\n", false,
       L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 60fps", nullptr},
      {"no digits", "[Timing]\nTargetFPS=abc\n", false,
       L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): abc", nullptr},
      {"plus sign", "[Timing]\nTargetFPS=+144\n", true, L"",
       [](const PluginConfig& c) { EXPECT_EQ(c.targetFps, 144u); }},
      {"target 1000", "[Timing]\nTargetFPS=1000\n", true, L"",
       [](const PluginConfig& c) { EXPECT_EQ(c.targetFps, 1000u); }},
      {"target 1001", "[Timing]\nTargetFPS=1001\n", false,
       L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 1001", nullptr},
      {"overflow", "[Timing]\nTargetFPS=99999999999999999999\n", false,
       L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 99999999999999999999", nullptr},
  };
  for (const ValueCase& c : cases) {
    const PluginConfig config = Load(c.text);
    EXPECT_EQ(config.valid, c.valid) << c.name << ": " << testing::PrintToString(config.message);
    if (!c.valid) EXPECT_EQ(config.message, c.message) << c.name;
    if (c.check) c.check(config);
  }
}

TEST_F(ConfigFileTest, FirstBadValueStopsTheLoadAndLaterKeysKeepDefaults) {
  const PluginConfig c = Load(
      "[General]\nDiagnostics=false\n"
      "[Telemetry]\nEnabled=off\nReportIntervalSeconds=9\n"
      "[Features]\nRenderUnlock=true\nPresentationLimiter=enable\nCameraInterpolation=true\nMouseOverlay=true\n"
      "[Timing]\nTargetFPS=60\n");
  EXPECT_FALSE(c.valid);
  EXPECT_EQ(c.message, L"Invalid boolean value for [Features] PresentationLimiter: enable");
  // Read before the bad key.
  EXPECT_FALSE(c.diagnostics);
  EXPECT_FALSE(c.telemetryEnabled);
  EXPECT_EQ(c.reportIntervalSeconds, 9u);
  EXPECT_TRUE(c.renderUnlock);
  // Not read.
  EXPECT_FALSE(c.cameraInterpolation);
  EXPECT_FALSE(c.mouseOverlay);
  EXPECT_EQ(c.targetFps, 0u);
}

TEST_F(ConfigFileTest, KeysAreReadInRecordOrderWhateverTheFileOrder) {
  struct OrderCase {
    std::string text;
    const wchar_t* message;
  };
  const OrderCase cases[] = {
      {"[Timing]\nTargetFPS=x\n[Features]\nMouseOverlay=x\n", L"Invalid boolean value for [Features] MouseOverlay: x"},
      {"[Features]\nRenderUnlock=x\n[Telemetry]\nReportIntervalSeconds=x\n",
       L"Out-of-range value for [Telemetry] ReportIntervalSeconds (expected 1..60): x"},
      {"[Telemetry]\nReportIntervalSeconds=x\nMotionTrace=x\n", L"Invalid boolean value for [Telemetry] MotionTrace: x"},
      {"[Telemetry]\nEnabled=x\n[General]\nDiagnostics=x\nEnabled=y\n", L"Invalid boolean value for [General] Enabled: y"},
      {"[Features]\nMouseOverlay=x\nTemporalEffectTiming=x\nParticleInterpolation=x\n",
       L"Invalid boolean value for [Features] ParticleInterpolation: x"},
  };
  for (const OrderCase& c : cases) {
    const PluginConfig config = Load(c.text);
    EXPECT_FALSE(config.valid) << c.text;
    EXPECT_EQ(config.message, c.message) << c.text;
  }
}

TEST_F(ConfigFileTest, ReadConfigStringReportsPresenceAndValue) {
  WriteFileBytes(ini_, "[General]\nName=  spaced value  \nEmpty=\nSentinel={041E230A-AC97-42AF-MISSING}\n");
  const ConfigString named = ReadConfigString(ini_, L"General", L"Name");
  EXPECT_TRUE(named.present);
  EXPECT_EQ(named.value, L"spaced value");   // the profile API trims around the value
  EXPECT_FALSE(ReadConfigString(ini_, L"General", L"Empty").present);
  EXPECT_FALSE(ReadConfigString(ini_, L"General", L"Sentinel").present);
  EXPECT_FALSE(ReadConfigString(ini_, L"General", L"Absent").present);
  EXPECT_FALSE(ReadConfigString(ini_, L"Nowhere", L"Name").present);
}

}  // namespace
