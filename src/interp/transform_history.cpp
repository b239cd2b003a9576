#include "interp/transform_history.h"

#include <initializer_list>

#include "interp/history_ring.h"

namespace {

// Within one tick, differences below this are float noise from the host's own recomputation.
constexpr float kSameTickTolerance = 1e-5f;

// A matrix ValidateRigid accepted, with the rotation and scale taken from it.
struct RigidParts {
  const RigidMatrix& matrix;
  Quaternion rotation;
  float scale;
};

void PushTransform(TransformHistory& history, uint64_t tick, const RigidParts& parts) {
  TransformHistoryEntry& slot = PushHistorySlot(history);
  slot.tick = tick;
  slot.matrix = parts.matrix;
  slot.rotation = parts.rotation;
  slot.scale = parts.scale;
}

// IsDiscontinuous, with both rotations already known.
bool IsCut(const TransformHistoryEntry& older, const RigidParts& newer) {
  const float dx = newer.matrix.m[3] - older.matrix.m[3];
  const float dy = newer.matrix.m[7] - older.matrix.m[7];
  const float dz = newer.matrix.m[11] - older.matrix.m[11];
  if (!(dx * dx + dy * dy + dz * dz <= kDiscontinuityDistanceSquared)) return true;
  return QuaternionAngleBetween(older.rotation, newer.rotation) > kDiscontinuityAngle;
}

HistoryPublishResult RestartWith(TransformHistory& history, uint64_t tick, uint64_t generation,
                                 const RigidParts& parts, HistoryPublishResult result) {
  RestartHistory(history, generation);
  PushTransform(history, tick, parts);
  return result;
}

// What InterpolateRigid gives for the two entries' matrices, from their stored rotations and scales.
bool BlendEntries(const TransformHistoryEntry& a, const TransformHistoryEntry& b, float t, RigidMatrix* out) {
  *out = RigidMatrix{};
  if (!(t >= 0.0f && t <= 1.0f)) return false;
  const float s = a.scale + (b.scale - a.scale) * t;
  RigidMatrix r = UniformScaleMatrix(s);
  QuaternionToMatrix(Slerp(a.rotation, b.rotation, t), s, &r);
  for (int i : {3, 7, 11}) r.m[i] = a.matrix.m[i] + (b.matrix.m[i] - a.matrix.m[i]) * t;
  if (!ValidateRigid(r, nullptr)) return false;
  *out = r;
  return true;
}

}  // namespace

void ResetTransformHistory(TransformHistory& history) noexcept { ClearHistory(history); }

const RigidMatrix* NewestTransform(const TransformHistory& history) noexcept {
  return history.count == 0 ? nullptr : &HistoryNewest(history).matrix;
}

HistoryPublishResult PublishTransformHistory(TransformHistory& history, uint64_t tick, uint64_t generation,
                                             const RigidMatrix& matrix) noexcept {
  float scale = 0.0f;
  if (!ValidateRigid(matrix, &scale)) {
    ClearHistory(history);
    return HistoryPublishResult::Invalid;
  }
  const RigidParts parts{matrix, MatrixToQuaternion(matrix, scale), scale};
  if (!history.valid || history.generation != generation) {
    return RestartWith(history, tick, generation, parts, HistoryPublishResult::Generation);
  }
  if (history.count == 0) {
    PushTransform(history, tick, parts);
    return HistoryPublishResult::Appended;
  }

  const TransformHistoryEntry& newest = HistoryNewest(history);
  if (tick < newest.tick) {
    return RestartWith(history, tick, generation, parts, HistoryPublishResult::NonMonotonic);
  }
  if (tick == newest.tick) {
    if (NearlyEqual(newest.matrix, matrix, kSameTickTolerance)) return HistoryPublishResult::Unchanged;
    return RestartWith(history, tick, generation, parts, HistoryPublishResult::SameTickUpdate);
  }
  if (tick == newest.tick + 1 && !IsCut(newest, parts)) {
    PushTransform(history, tick, parts);
    return HistoryPublishResult::Appended;
  }
  return RestartWith(history, tick, generation, parts, HistoryPublishResult::Discontinuity);
}

TransformSample SampleTransformHistory(const TransformHistory& history, const ClockSample& sample) noexcept {
  TransformSample out{};
  const TransformHistoryEntry* older = nullptr;
  const TransformHistoryEntry* newer = nullptr;
  out.result = LocateHistoryPair(history, sample, &older, &newer);
  if (out.result != TransformSampleResult::Interpolated) return out;

  if (BytewiseEqual(older->matrix, newer->matrix)) {
    out.result = TransformSampleResult::Unchanged;
    out.matrix = newer->matrix;
    return out;
  }
  if (!BlendEntries(*older, *newer, SampleBlendFactor(sample), &out.matrix)) {
    out.result = TransformSampleResult::Invalid;
  }
  return out;
}

bool FindTransformPair(const TransformHistory& history, const ClockSample& sample, RigidMatrix* older,
                       RigidMatrix* newer) noexcept {
  const TransformHistoryEntry* o = nullptr;
  const TransformHistoryEntry* n = nullptr;
  if (LocateHistoryPair(history, sample, &o, &n) != TransformSampleResult::Interpolated) {
    *older = RigidMatrix{};
    *newer = RigidMatrix{};
    return false;
  }
  *older = o->matrix;
  *newer = n->matrix;
  return true;
}
