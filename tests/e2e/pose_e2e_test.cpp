// Skeletal poses drawn between steps and the scripted camera that rides them, judged from the
// plug-in's log (one-time lines and the five-second interpolation report), from the bones and
// camera the stand-in drew (its draw log) and from its own check that the simulation only reads
// back what it wrote. Each skeleton scenario of the stand-in runs once with the features it
// exercises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "game_run.h"

namespace {

const char kHead[] = "PlayerBody_Model:5";
// Riding the head, the camera's distance to it may change by 0.001 from frame to frame; the
// attachment holds it to float precision, while poses interpolated without it let it drift by
// about 5e-4 in this scenario, so a tenth of the allowance tells the two apart.
constexpr double kRideDrift = 0.0001;
const char kBodyActive[] = "PlayerBody skeletal-pose interpolation active on the camera presentation clock.";
const char kPropsActive[] = "Generic skeletal prop pose interpolation active on the camera presentation clock.";

// What the draw log must show.
enum class Drawn {
  RiderOnHead,   // the camera keeps its distance to the head bone within kRideDrift from frame to frame
  RiderWanders,  // ... and without the attachment it does not
  BonesHeld,     // the chosen bones drawn where the last step left them, as the host draws them
  BonesMoving    // the chosen bones drawn somewhere new in nearly every frame
};

struct PoseCase {
  const char* name;
  std::map<std::string, std::string> features;
  std::vector<std::wstring> args;     // a little over five seconds: one report
  std::vector<std::string> present;   // message prefixes logged at least once
  std::vector<std::string> absent;    // message prefixes never logged
  std::vector<std::string> pieces;    // texts found inside some message
  std::vector<std::string> positive;  // report counters ("Label|name") that moved
  std::vector<std::string> zero;      // report counters that stayed at 0
  Drawn drawn;
  const char* bones = "bone:ragdoll_";  // draw-log "kind:id" prefix the bone judgements look at
  double fromStep = 60;                 // judged in the frames that show this step or a later one
};

const std::map<std::string, std::string> kCameraAndRoots = {
    {"RenderUnlock", "true"}, {"CameraInterpolation", "true"}, {"HandsRootInterpolation", "true"},
    {"WorldRootInterpolation", "true"}};
const std::map<std::string, std::string> kEverything = {
    {"RenderUnlock", "true"},           {"CameraInterpolation", "true"},     {"HandsRootInterpolation", "true"},
    {"WorldRootInterpolation", "true"}, {"HandsPoseInterpolation", "true"}, {"RagdollPoseInterpolation", "true"}};

std::vector<std::wstring> Scenario(const wchar_t* name) {
  return {L"--scenario", name, L"--ticks", L"340", L"--render-hz", L"240"};
}

const std::vector<std::string> kNoPoseFailure = {
    "Skeletal prop pose interpolation|restore-fail", "Body-pose cadence|fail", "Body-pose cadence|restore-fail"};

const std::vector<PoseCase> kPoseCases = {
    {"CameraAloneLetsTheRiderWanderOffTheHead",
     kCameraAndRoots,
     Scenario(L"camera-ride"),
     {"Player-root cadence: "},
     {"Camera-to-skeleton attachment: ", kBodyActive},
     {},
     {"Player-root cadence|render applied"},
     {"Player-root cadence|fail", "Player-root cadence|restore-fail"},
     Drawn::RiderWanders},
    {"RootsAloneLeaveRagdollBonesWhereTheStepPutThem",
     kCameraAndRoots,
     Scenario(L"skeletons"),
     {},
     {"Skeletal prop pose interpolation active: ", kPropsActive},
     {},
     {"Newton rigid-body interpolation|render applied"},
     {},
     Drawn::BonesHeld},
    {"BodyPropAndAgentPosesAreDrawnBetweenSteps",
     kEverything,
     Scenario(L"skeletons"),
     {kBodyActive, kPropsActive, "Skeletal prop pose interpolation active: ragdoll_a (bodies=1, bones=24).",
      "Skeletal prop pose interpolation active: grunt_a (bodies=0, bones=64).",
      "Body bone probe: bones=256, affine=256, uniform-rigid=256, parent-links/known/earlier=255/255/255,",
      "Hands bone probe: bones=40, affine=40, uniform-rigid=40, parent-links/known/earlier=39/39/39,",
      "Agent bone probe: bones=64,"},
     {"Camera-to-skeleton attachment: "},
     {"; props(bodies/bones/changed): ragdoll_a(1b/24j/"},
     {"Skeletal prop pose interpolation|render applied", "Body-pose cadence|render applied",
      "Body-bone read-only cadence|captures", "Hands-bone read-only cadence|captures"},
     {"Skeletal prop pose interpolation|fail", "Skeletal prop pose interpolation|registry-overflow",
      "Skeletal prop pose interpolation|invalid", "Body-bone read-only cadence|invalid"},
     Drawn::BonesMoving},
    {"TheRiderStaysOnTheDrawnHead",
     kEverything,
     Scenario(L"camera-ride"),
     {kBodyActive, "Camera-to-skeleton attachment: "},
     {},
     {", last bone=5, "},
     {"Camera-to-skeleton attachment|frames applied", "Body-pose cadence|render applied"},
     {"Camera-to-skeleton attachment|bone changes"},
     Drawn::RiderOnHead},
    // Every fault ends with the owner drawn the host's way: here the bones the game made
    // read-only, which no frame after step 120 may draw anywhere but where the step left them.
    {"SkeletonFaultsAreRefusedAndCountedWithoutHarm",
     kEverything,
     Scenario(L"skeleton-faults"),
     {kBodyActive, kPropsActive},
     {"Skeletal prop pose interpolation active: ragdoll_257", "Skeletal prop pose interpolation active: ragdoll_33_bodies"},
     {"ticks over former limits=1/0."},
     {"Skeletal prop pose interpolation|registry-overflow", "Skeletal prop pose interpolation|fail",
      "Skeletal prop pose interpolation|reset", "Skeletal prop pose interpolation|render applied",
      "Body-bone read-only cadence|invalid"},
     kNoPoseFailure,
     Drawn::BonesHeld,
     "bone:ragdoll_readonly:",
     121},
    {"ThirtyTwoFullSkeletonsAreDrawnBetweenSteps",
     kEverything,
     Scenario(L"skeleton-load"),
     {kBodyActive, kPropsActive, "Skeletal prop pose interpolation active: ragdoll_31 (bodies=1, bones=256).",
      "Interpolation CPU probe: "},
     {},
     {},
     {"Skeletal prop pose interpolation|render applied"},
     {"Skeletal prop pose interpolation|fail", "Skeletal prop pose interpolation|registry-overflow"},
     Drawn::BonesMoving},
};

// Position of each tracked object ("kind:id") in each presented frame, by frame number.
std::vector<std::map<std::string, std::vector<double>>> Frames(const launcher::CsvTable& draws) {
  std::vector<std::map<std::string, std::vector<double>>> frames;
  for (size_t i = 0; i < draws.rows.size(); ++i) {
    const size_t frame = static_cast<size_t>(draws.Number(i, "frame"));
    if (frame >= frames.size()) frames.resize(frame + 1);
    frames[frame][draws.Text(i, "kind") + ":" + draws.Text(i, "id")] = {draws.Number(i, "x"), draws.Number(i, "y"),
                                                                       draws.Number(i, "z")};
  }
  return frames;
}

// Largest change, from one frame to the next, of the distance between the drawn listener camera
// and the drawn head bone.
double HeadDistanceChange(const GameRunResult& run, double fromStep) {
  const auto frames = Frames(run.drawLog);
  double worst = 0.0, last = -1.0;
  for (size_t f = 0; f < frames.size() && f < run.frames.rows.size(); ++f) {
    if (run.frames.At(f, "steps") < fromStep) continue;
    const auto& frame = frames[f];
    auto camera = frame.find("camera:listener"), head = frame.find(std::string("bone:") + kHead);
    if (camera == frame.end() || head == frame.end()) continue;
    const std::vector<double>& a = camera->second;
    const std::vector<double>& b = head->second;
    const double d = std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
    if (last >= 0.0) worst = std::max(worst, std::fabs(d - last));
    last = d;
  }
  return worst;
}

// Share of frames, from the given step on, in which a chosen bone is drawn exactly where it was
// drawn the frame before; -1 without any.
double RepeatShare(const GameRunResult& run, const std::string& bones, double fromStep) {
  const auto frames = Frames(run.drawLog);
  int repeated = 0, total = 0;
  for (size_t f = 1; f < frames.size() && f < run.frames.rows.size(); ++f) {
    if (run.frames.At(f, "steps") < fromStep) continue;
    for (const auto& [key, xyz] : frames[f]) {
      if (key.rfind(bones, 0) != 0) continue;
      auto before = frames[f - 1].find(key);
      if (before == frames[f - 1].end()) continue;
      ++total;
      repeated += before->second == xyz ? 1 : 0;
    }
  }
  return total ? static_cast<double>(repeated) / total : -1.0;
}

void PrintTo(const PoseCase& c, std::ostream* out) { *out << c.name; }

class PoseE2E : public ::testing::TestWithParam<PoseCase> {};

TEST_P(PoseE2E, Scenario) {
  const PoseCase& c = GetParam();
  GameRunOptions options;
  options.ini = IniText({{"Telemetry", {{"Enabled", "false"}}}, {"Features", c.features}});
  options.args = c.args;
  options.drawLog = true;
  options.frames = true;
  const GameRunResult run = RunGame(options);
  ASSERT_EQ(run.exitCode, 0u) << "the simulation saw an interpolated value or the game failed: " << run.stderrText;
  EXPECT_EQ(run.summary.at("violations"), "0");
  EXPECT_EQ(run.summary.at("bootstrap-exit"), "0") << run.Messages();
  for (const std::string& p : c.present) EXPECT_GE(run.CountMessagePrefix(p), 1) << p << "\n" << run.Messages();
  for (const std::string& p : c.absent) EXPECT_EQ(run.CountMessagePrefix(p), 0) << p;
  for (const std::string& p : c.pieces)
    EXPECT_TRUE(std::any_of(run.logMessages.begin(), run.logMessages.end(),
                            [&](const std::string& m) { return m.find(p) != std::string::npos; }))
        << p << "\n" << run.Messages();
  const std::map<std::string, double> counters = ReportCounters(run);
  for (const std::string& key : c.positive) {
    ASSERT_TRUE(counters.count(key)) << key << " not reported\n" << run.Messages();
    EXPECT_GT(counters.at(key), 0) << key;
  }
  for (const std::string& key : c.zero) {
    ASSERT_TRUE(counters.count(key)) << key << " not reported\n" << run.Messages();
    EXPECT_EQ(counters.at(key), 0) << key;
  }
  const double share = RepeatShare(run, c.bones, c.fromStep);
  switch (c.drawn) {
    case Drawn::RiderOnHead: EXPECT_LE(HeadDistanceChange(run, c.fromStep), kRideDrift); break;
    case Drawn::RiderWanders: EXPECT_GT(HeadDistanceChange(run, c.fromStep), 0.001); break;
    case Drawn::BonesHeld: EXPECT_GT(share, 0.5) << c.bones; break;
    case Drawn::BonesMoving:
      EXPECT_GE(share, 0.0) << c.bones;
      EXPECT_LT(share, 0.15) << c.bones;
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Poses, PoseE2E, ::testing::ValuesIn(kPoseCases),
                         [](const ::testing::TestParamInfo<PoseCase>& p) { return std::string(p.param.name); });

}  // namespace
