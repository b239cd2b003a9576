#pragma once
// Present-to-present intervals in 10 µs bins, filled by the render thread and drained by the
// reporter thread. Every counter is exchanged atomically, so each sample lands in one report.
// Pure logic: no Windows headers.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr size_t kCadenceBinCount = 10001;
inline constexpr uint64_t kCadenceBinWidthMicroseconds = 10;
inline constexpr uint64_t kCadenceLastBinMicroseconds = 100000;  // this and longer share the last bin
inline constexpr uint64_t kCadenceLongestBinnedMicroseconds = 250000;

struct CadenceHistogram {
  std::atomic<uint32_t> bins[kCadenceBinCount] = {};
  std::atomic<uint32_t> over250Ms{0};       // 250,001 µs or more, kept out of the bins
  std::atomic<uint32_t> from100To250Ms{0};  // 100,001..250,000 µs, also counted in the last bin
  std::atomic<uint32_t> invalid{0};         // intervals that could not be measured
  int64_t lastCount = 0;                    // counter value of the previous present; render thread only
};

struct CadenceStats {
  uint64_t samples = 0;  // sum of all bins
  double meanMs = 0.0;
  double p50Ms = 0.0;
  double p95Ms = 0.0;
  double p99Ms = 0.0;
  double maxMs = 0.0;
  uint32_t over250Ms = 0;
  uint32_t from100To250Ms = 0;
  uint32_t invalid = 0;
};

// Half-up rounding of a non-negative value; saturates instead of overflowing.
uint64_t RoundHalfUp(double value);
// Counts one interval of the given whole microseconds (0 counts as invalid).
void AddCadenceMicroseconds(CadenceHistogram& histogram, uint64_t microseconds);
// Records the interval since the previous present; the first present only starts the count.
void RecordPresentInterval(CadenceHistogram& histogram, int64_t nowCount, int64_t frequency);

// Bin centre, in ms, of the q-th quantile of a snapshot of the bins (100 ms when the bins hold
// fewer than the quantile needs). False, and ms untouched, for a fraction outside [0, 1].
bool CadencePercentileMs(std::span<const uint32_t> bins, uint64_t samples, double q, double& ms);
CadenceStats SnapshotAndResetCadence(CadenceHistogram& histogram);
std::wstring FormatCadenceLine(const CadenceStats& stats);
// One report period: false when nothing at all was recorded (no line to log).
bool TakeCadenceReport(CadenceHistogram& histogram, std::wstring& line);
