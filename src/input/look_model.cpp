#include "input/look_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr float kPi = 3.14159265358979323846f;
constexpr float kRatioMinLook = 0.0002f;
constexpr float kRatioMin = 0.02f;
constexpr float kRatioMax = 20.0f;
constexpr float kExplainedShare = 0.03f;
constexpr float kExplainedFloor = 0.00015f;
constexpr float kAgreeShare = 0.03f;
constexpr uint32_t kMinScaleCount = 4;
constexpr float kMinScale = 1e-7f;
constexpr float kMaxScale = 0.1f;
constexpr double kWeightSnap = 1e-6;

struct Ratio {
  bool valid = false;
  float value = 0.0f;
};

Ratio LookRatio(float look, float delta) {
  Ratio r;
  if (!(std::fabs(look) >= kRatioMinLook)) return r;
  r.value = delta / look;
  const float magnitude = std::fabs(r.value);
  r.valid = std::isfinite(r.value) && magnitude >= kRatioMin && magnitude <= kRatioMax;
  return r;
}

bool Explained(float gain, float look, float delta) {
  const float predicted = gain * look;
  return std::fabs(delta - predicted) <= std::fabs(predicted) * kExplainedShare + kExplainedFloor;
}

bool Agree(float a, float b) { return std::fabs(a - b) <= std::max(std::fabs(a), std::fabs(b)) * kAgreeShare; }

AxesExplained ExplainWith(const LookGainEstimator& e, float lookYaw, float lookPitch, float dYaw, float dPitch) {
  if (!e.hasGain) return {};
  return {Explained(e.gain, lookYaw, dYaw), Explained(e.gain, lookPitch, dPitch)};
}

}  // namespace

SmoothingSums ModelSmoothing(const SmoothingRecord& record) noexcept {
  SmoothingSums sums;
  if (!record.present) {
    sums.ok = true;
    return sums;
  }
  if (record.window < 1 || record.size > kSmoothingSampleCapacity || !std::isfinite(record.weight) ||
      record.weight < 0.0f || record.weight > 4.0f)
    return sums;
  const uint64_t terms = static_cast<uint64_t>(record.window) > record.size ? record.size + 1 : record.size;
  float factor = 1.0f;
  for (uint64_t i = 1; i < terms; ++i) {
    const float x = record.x[i - 1];
    const float y = record.y[i - 1];
    if (!std::isfinite(x) || !std::isfinite(y)) return SmoothingSums{};
    factor *= record.weight;
    sums.total += factor;
    sums.sumX += x * factor;
    sums.sumY += y * factor;
  }
  if (!std::isfinite(sums.total) || !(sums.total > 0.0f) || !std::isfinite(sums.sumX) || !std::isfinite(sums.sumY))
    return SmoothingSums{};
  sums.ok = true;
  return sums;
}

float WrapAngle(float angle) noexcept {
  if (!std::isfinite(angle)) return 0.0f;
  const double twoPi = 2.0 * static_cast<double>(kPi);
  double wrapped = std::fmod(static_cast<double>(angle) + static_cast<double>(kPi), twoPi);
  if (wrapped < 0.0) wrapped += twoPi;
  float result = static_cast<float>(wrapped - static_cast<double>(kPi));
  // Rounding may land exactly on +pi.
  if (result >= kPi) result = -kPi;
  return result;
}

AxesExplained UpdateLookGain(LookGainEstimator& e, float lookYaw, float lookPitch, float dYaw, float dPitch) noexcept {
  const Ratio rY = LookRatio(lookYaw, dYaw);
  const Ratio rP = LookRatio(lookPitch, dPitch);
  if (e.hasGain) {
    const bool eY = Explained(e.gain, lookYaw, dYaw);
    const bool eP = Explained(e.gain, lookPitch, dPitch);
    if (eY && rY.valid) {
      e.gain = rY.value;
      e.candidatePending = false;
      return {eY, eP};
    }
    if (eP && rP.valid && !rY.valid) {
      e.gain = rP.value;
      e.candidatePending = false;
      return {eY, eP};
    }
    if ((eP && rP.valid) || (!rY.valid && !rP.valid)) {
      e.candidatePending = false;
      return {eY, eP};
    }
  }
  // No gain yet, or a valid ratio that the gain does not explain.
  if (rY.valid && rP.valid && Agree(rY.value, rP.value)) {
    e.gain = (rY.value + rP.value) * 0.5f;
    e.hasGain = true;
    e.candidatePending = false;
  } else if (rY.valid || rP.valid) {
    const float r = rY.valid ? rY.value : rP.value;
    if (e.candidatePending && Agree(r, e.candidate)) {
      e.gain = r;
      e.hasGain = true;
      e.candidatePending = false;
    } else {
      e.candidate = r;
      e.candidatePending = true;
    }
  }
  return ExplainWith(e, lookYaw, lookPitch, dYaw, dPitch);
}

bool LearnCountScale(int32_t countX, int32_t countY, float valueX, float valueY, float* scale) noexcept {
  const int64_t magX = std::llabs(static_cast<int64_t>(countX));
  const int64_t magY = std::llabs(static_cast<int64_t>(countY));
  const bool useX = magX >= magY;
  const int64_t magnitude = useX ? magX : magY;
  if (magnitude < kMinScaleCount) return false;
  const float value = (useX ? valueX : valueY) / static_cast<float>(useX ? countX : countY);
  if (!std::isfinite(value) || value < kMinScale || value > kMaxScale) return false;
  *scale = value;
  return true;
}

bool JudgeAxis(AxisTrust& axis, bool explained) noexcept {
  axis.explained = explained;
  axis.streak = explained ? axis.streak + 1 : 0;
  axis.trusted = axis.streak >= kTrustStreak;
  return explained && !axis.trusted;
}

void StepAxisWeight(AxisTrust& axis, double step) noexcept {
  const double target = axis.trusted ? step : -step;
  double weight = std::clamp(static_cast<double>(axis.weight) + target, 0.0, 1.0);
  // Frame times are differences of rounded clock readings: 50 ms of them may sum a hair short.
  if (weight < kWeightSnap) weight = 0.0;
  if (weight > 1.0 - kWeightSnap) weight = 1.0;
  axis.weight = static_cast<float>(weight);
}

double FadeStep(double last, double now) noexcept {
  if (!(last > 0.0) || !(now > last)) return 0.0;
  return std::min(now - last, kTrustFadeSeconds) / kTrustFadeSeconds;
}

Lead ComputeLead(const LeadInputs& in) noexcept {
  Lead lead;
  const double c = std::clamp(std::isfinite(in.alpha) ? in.alpha : 0.0, 0.0, 1.0);
  const double total = static_cast<double>(in.sums.total);
  const double lx = (c * in.sums.sumX + static_cast<double>(in.pendingX) * in.countScale) / total;
  double ly = (c * in.sums.sumY + static_cast<double>(in.pendingY) * in.countScale) / total;
  if (in.invert) ly = -ly;
  float yaw = static_cast<float>(((1.0 - c) * in.lookYaw + lx) * in.gain);
  float pitch = static_cast<float>(((1.0 - c) * in.lookPitch + ly) * in.gain);
  if (!std::isfinite(yaw) || !std::isfinite(pitch)) {
    yaw = 0.0f;
    pitch = 0.0f;
  }
  lead.yaw = yaw * in.yawWeight;
  lead.pitch = pitch * in.pitchWeight;
  if (std::fabs(lead.yaw) > kMaxLead || std::fabs(lead.pitch) > kMaxLead) return Lead{};
  lead.result = LeadResult::Lead;
  return lead;
}
