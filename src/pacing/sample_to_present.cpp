#include "pacing/sample_to_present.h"

#include "core/text.h"

namespace {

constexpr size_t kDelayLineCapacity = 256;

}  // namespace

void RecordSampleToPresent(SampleToPresentStats& stats, int64_t delayCounts) {
  if (delayCounts < 0) {
    return;
  }
  // The first frame of a period (frames just taken to 0) overwrites min and max.
  const uint32_t before = stats.frames.fetch_add(1, std::memory_order_relaxed);
  stats.sum.fetch_add(delayCounts, std::memory_order_relaxed);
  if (before == 0 || delayCounts < stats.min.load(std::memory_order_relaxed)) {
    stats.min.store(delayCounts, std::memory_order_relaxed);
  }
  if (before == 0 || delayCounts > stats.max.load(std::memory_order_relaxed)) {
    stats.max.store(delayCounts, std::memory_order_relaxed);
  }
}

std::wstring FormatSampleToPresentLine(uint32_t frames, int64_t sum, int64_t min, int64_t max, int64_t frequency) {
  const double msPerCount = 1000.0 / static_cast<double>(frequency);
  return FormatBounded(kDelayLineCapacity, L"Sample-to-present delay: frames=%u mean=%.3f ms, min=%.3f ms, max=%.3f ms",
                       frames, static_cast<double>(sum) * msPerCount / static_cast<double>(frames),
                       static_cast<double>(min) * msPerCount, static_cast<double>(max) * msPerCount);
}

bool TakeSampleToPresentReport(SampleToPresentStats& stats, int64_t frequency, std::wstring& line) {
  const uint32_t frames = stats.frames.exchange(0, std::memory_order_relaxed);
  const int64_t sum = stats.sum.exchange(0, std::memory_order_relaxed);
  if (frames == 0 || frequency < 1) {
    return false;
  }
  line = FormatSampleToPresentLine(frames, sum, stats.min.load(std::memory_order_relaxed),
                                   stats.max.load(std::memory_order_relaxed), frequency);
  return true;
}
