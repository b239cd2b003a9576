#pragma once
// The two-tick ring shared by the transform, pose and camera histories. Internal to interp/:
// each history struct has entries[2] (each with a tick), head, count, generation and valid.
#include <cstdint>
#include <limits>

#include "interp/history_results.h"
#include "frame/presentation_clock.h"

template <typename History>
auto& HistoryEntryAt(History& history, uint64_t index) {
  return history.entries[(history.head + index) % 2];
}

template <typename History>
auto& HistoryNewest(History& history) {
  return HistoryEntryAt(history, history.count - 1);
}

template <typename History>
void ClearHistory(History& history) {
  history.head = 0;
  history.count = 0;
  history.generation = 0;
  history.valid = false;
}

// Empties the ring but keeps it valid under generation: the next entry starts a fresh history.
template <typename History>
void RestartHistory(History& history, uint64_t generation) {
  ClearHistory(history);
  history.generation = generation;
  history.valid = true;
}

// The slot the next entry goes into: over the oldest when two are held, else appended.
template <typename History>
auto& PushHistorySlot(History& history) {
  if (history.count >= 2) {
    auto& slot = history.entries[history.head % 2];
    history.head = (history.head + 1) % 2;
    history.count = 2;
    return slot;
  }
  auto& slot = history.entries[(history.head + history.count) % 2];
  ++history.count;
  return slot;
}

template <typename History>
auto* FindHistoryTick(const History& history, uint64_t tick) {
  decltype(&history.entries[0]) found = nullptr;
  for (uint64_t i = 0; i < history.count && i < 2; ++i) {
    const auto& entry = history.entries[(history.head + i) % 2];
    if (entry.tick == tick) found = &entry;
  }
  return found;
}

// The shared part of every Sample and FindPair: the sample must name two distinct ticks of this
// history's generation, and both must be held. Interpolated means both entries were found.
template <typename History, typename Entry>
TransformSampleResult LocateHistoryPair(const History& history, const ClockSample& sample,
                                        const Entry** older, const Entry** newer) {
  *older = nullptr;
  *newer = nullptr;
  if (!ClockSampleHasPair(sample)) return TransformSampleResult::ClockUnavailable;
  if (!history.valid || history.generation != sample.generation) {
    return TransformSampleResult::GenerationMismatch;
  }
  const Entry* o = FindHistoryTick(history, sample.previousTick);
  const Entry* n = FindHistoryTick(history, sample.currentTick);
  if (o == nullptr || n == nullptr) return TransformSampleResult::SnapshotsMissing;
  *older = o;
  *newer = n;
  return TransformSampleResult::Interpolated;
}

// The sample's f64 alpha as the f32 blend factor. Anything outside [0, 1] (NaN included) becomes
// NaN, which every interpolation refuses, instead of an out-of-range float conversion.
inline float SampleBlendFactor(const ClockSample& sample) {
  if (sample.alpha >= 0.0 && sample.alpha <= 1.0) return static_cast<float>(sample.alpha);
  return std::numeric_limits<float>::quiet_NaN();
}
