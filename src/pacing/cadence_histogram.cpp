#include "pacing/cadence_histogram.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/text.h"

namespace {

constexpr size_t kCadenceLineCapacity = 512;
constexpr double kPercentileFallbackMs = 100.0;

double BinCentreMs(size_t bin) {
  return static_cast<double>(kCadenceBinWidthMicroseconds * bin + kCadenceBinWidthMicroseconds / 2) / 1000.0;
}

}  // namespace

uint64_t RoundHalfUp(double value) {
  if (!(value > 0.0)) {
    return 0;
  }
  const double rounded = std::floor(value + 0.5);
  // 2^64 as a double; anything at or above it would overflow the conversion.
  if (rounded >= 18446744073709551616.0) {
    return UINT64_MAX;
  }
  return static_cast<uint64_t>(rounded);
}

void AddCadenceMicroseconds(CadenceHistogram& histogram, uint64_t microseconds) {
  if (microseconds == 0) {
    histogram.invalid.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (microseconds > kCadenceLongestBinnedMicroseconds) {
    histogram.over250Ms.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (microseconds > kCadenceLastBinMicroseconds) {
    histogram.from100To250Ms.fetch_add(1, std::memory_order_relaxed);
  }
  const uint64_t bin = std::min(microseconds, kCadenceLastBinMicroseconds) / kCadenceBinWidthMicroseconds;
  histogram.bins[bin].fetch_add(1, std::memory_order_relaxed);
}

void RecordPresentInterval(CadenceHistogram& histogram, int64_t nowCount, int64_t frequency) {
  if (nowCount >= 1 && frequency >= 1) {
    const int64_t previous = histogram.lastCount;
    histogram.lastCount = nowCount;
    if (previous == 0) {
      return;
    }
    const int64_t delta = nowCount - previous;
    if (delta > 0) {
      const double microseconds = static_cast<double>(delta) * 1000000.0 / static_cast<double>(frequency);
      if (std::isfinite(microseconds) && microseconds > 0.0) {
        AddCadenceMicroseconds(histogram, RoundHalfUp(microseconds));
        return;
      }
    }
  }
  histogram.invalid.fetch_add(1, std::memory_order_relaxed);
}

bool CadencePercentileMs(std::span<const uint32_t> bins, uint64_t samples, double q, double& ms) {
  if (!(q >= 0.0 && q <= 1.0)) {
    return false;
  }
  const double wanted = std::ceil(static_cast<double>(samples) * q);
  // samples near 2^64 round up to 2^64 as a double, one past what converts.
  const uint64_t target = wanted >= 18446744073709551616.0 ? UINT64_MAX
                          : wanted > 1.0                   ? static_cast<uint64_t>(wanted)
                                                           : 1;
  uint64_t running = 0;
  for (size_t i = 0; i < bins.size(); ++i) {
    running += bins[i];
    if (running >= target) {
      ms = BinCentreMs(i);
      return true;
    }
  }
  ms = kPercentileFallbackMs;
  return true;
}

CadenceStats SnapshotAndResetCadence(CadenceHistogram& histogram) {
  std::array<uint32_t, kCadenceBinCount> local{};
  CadenceStats stats;
  uint64_t weightedMicroseconds = 0;
  size_t highest = 0;
  for (size_t i = 0; i < kCadenceBinCount; ++i) {
    const uint32_t count = histogram.bins[i].exchange(0, std::memory_order_relaxed);
    local[i] = count;
    if (count != 0) {
      stats.samples += count;
      highest = i;
      weightedMicroseconds += (kCadenceBinWidthMicroseconds * i + kCadenceBinWidthMicroseconds / 2) * count;
    }
  }
  stats.over250Ms = histogram.over250Ms.exchange(0, std::memory_order_relaxed);
  stats.from100To250Ms = histogram.from100To250Ms.exchange(0, std::memory_order_relaxed);
  stats.invalid = histogram.invalid.exchange(0, std::memory_order_relaxed);
  if (stats.samples > 0) {
    stats.meanMs = static_cast<double>(weightedMicroseconds) / static_cast<double>(stats.samples) / 1000.0;
    CadencePercentileMs(local, stats.samples, 0.50, stats.p50Ms);
    CadencePercentileMs(local, stats.samples, 0.95, stats.p95Ms);
    CadencePercentileMs(local, stats.samples, 0.99, stats.p99Ms);
    stats.maxMs = BinCentreMs(highest);
  }
  return stats;
}

std::wstring FormatCadenceLine(const CadenceStats& stats) {
  const double fps = stats.meanMs > 0.0 ? 1000.0 / stats.meanMs : 0.0;
  return FormatBounded(kCadenceLineCapacity,
                       L"Swap cadence: samples=%llu mean=%.3f ms (%.1f FPS), p50=%.3f ms, p95=%.3f ms, "
                       L"p99=%.3f ms, max=%.3f ms, 100-250ms=%u, >250ms=%u, invalid=%u",
                       static_cast<unsigned long long>(stats.samples), stats.meanMs, fps, stats.p50Ms,
                       stats.p95Ms, stats.p99Ms, stats.maxMs, stats.from100To250Ms, stats.over250Ms,
                       stats.invalid);
}

bool TakeCadenceReport(CadenceHistogram& histogram, std::wstring& line) {
  const CadenceStats stats = SnapshotAndResetCadence(histogram);
  if (stats.samples == 0 && stats.over250Ms == 0 && stats.invalid == 0) {
    return false;
  }
  line = FormatCadenceLine(stats);
  return true;
}
