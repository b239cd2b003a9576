#include "interp/transform_history.h"

#include "interp/history_ring.h"

namespace {

// Within one tick, differences below this are float noise from the host's own recomputation.
constexpr float kSameTickTolerance = 1e-5f;

void PushTransform(TransformHistory& history, uint64_t tick, const RigidMatrix& matrix) {
  TransformHistoryEntry& slot = PushHistorySlot(history);
  slot.tick = tick;
  slot.matrix = matrix;
}

HistoryPublishResult RestartWith(TransformHistory& history, uint64_t tick, uint64_t generation,
                                 const RigidMatrix& matrix, HistoryPublishResult result) {
  RestartHistory(history, generation);
  PushTransform(history, tick, matrix);
  return result;
}

}  // namespace

void ResetTransformHistory(TransformHistory& history) noexcept { ClearHistory(history); }

HistoryPublishResult PublishTransformHistory(TransformHistory& history, uint64_t tick, uint64_t generation,
                                             const RigidMatrix& matrix) noexcept {
  if (!ValidateRigid(matrix, nullptr)) {
    ClearHistory(history);
    return HistoryPublishResult::Invalid;
  }
  if (!history.valid || history.generation != generation) {
    return RestartWith(history, tick, generation, matrix, HistoryPublishResult::Generation);
  }
  if (history.count == 0) {
    PushTransform(history, tick, matrix);
    return HistoryPublishResult::Appended;
  }

  const TransformHistoryEntry& newest = HistoryNewest(history);
  if (tick < newest.tick) {
    return RestartWith(history, tick, generation, matrix, HistoryPublishResult::NonMonotonic);
  }
  if (tick == newest.tick) {
    if (NearlyEqual(newest.matrix, matrix, kSameTickTolerance)) return HistoryPublishResult::Unchanged;
    return RestartWith(history, tick, generation, matrix, HistoryPublishResult::SameTickUpdate);
  }
  if (tick == newest.tick + 1 && !IsDiscontinuous(newest.matrix, matrix)) {
    PushTransform(history, tick, matrix);
    return HistoryPublishResult::Appended;
  }
  return RestartWith(history, tick, generation, matrix, HistoryPublishResult::Discontinuity);
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
  if (!InterpolateRigid(older->matrix, newer->matrix, SampleBlendFactor(sample), &out.matrix)) {
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
