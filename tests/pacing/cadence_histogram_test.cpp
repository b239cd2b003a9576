#include "pacing/cadence_histogram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "pacing/sample_to_present.h"

namespace {

constexpr int64_t kTenMegahertz = 10000000;  // 0.1 µs per count, as Windows reports it today

std::unique_ptr<CadenceHistogram> NewHistogram() { return std::make_unique<CadenceHistogram>(); }

// Adds whole-microsecond intervals the way presents would produce them.
void PresentIntervals(CadenceHistogram& histogram, const std::vector<uint64_t>& microseconds) {
  int64_t now = 5000;
  RecordPresentInterval(histogram, now, kTenMegahertz);
  for (const uint64_t us : microseconds) {
    now += static_cast<int64_t>(us) * 10;
    RecordPresentInterval(histogram, now, kTenMegahertz);
  }
}

TEST(CadenceHistogram, RoundsHalfUp) {
  struct Case {
    double value;
    uint64_t expected;
  };
  for (const Case c : {Case{0.0, 0}, Case{0.4, 0}, Case{0.5, 1}, Case{1.49, 1}, Case{1.5, 2}, Case{99999.5, 100000},
                       Case{-3.0, 0}, Case{1e30, UINT64_MAX}}) {
    EXPECT_EQ(RoundHalfUp(c.value), c.expected) << c.value;
  }
}

TEST(CadenceHistogram, BinsIntervalsByRoundedMicroseconds) {
  struct Case {
    int64_t counts;  // at 10 MHz
    int bin;         // -1: no bin
    uint32_t from100To250;
    uint32_t over250;
    uint32_t invalid;
  };
  const Case cases[] = {
      {4, -1, 0, 0, 1},              // 0.4 µs rounds to 0: not a measurement
      {5, 0, 0, 0, 0},               // 0.5 µs rounds up to 1
      {94, 0, 0, 0, 0},              // 9.4 µs
      {95, 1, 0, 0, 0},              // 9.5 µs rounds to 10
      {999990, 9999, 0, 0, 0},       // 99,999 µs
      {1000000, 10000, 0, 0, 0},     // 100,000 µs: last bin, not yet "100 to 250"
      {1000010, 10000, 1, 0, 0},     // 100,001 µs
      {2500004, 10000, 1, 0, 0},     // 250,000.4 µs rounds down into range
      {2500000, 10000, 1, 0, 0},     // 250,000 µs
      {2500010, -1, 0, 1, 0},        // 250,001 µs: only over 250 ms
      {5000000000, -1, 0, 1, 0},     // 500 s
  };
  for (const Case& c : cases) {
    auto histogram = NewHistogram();
    RecordPresentInterval(*histogram, 1000, kTenMegahertz);
    RecordPresentInterval(*histogram, 1000 + c.counts, kTenMegahertz);
    for (size_t i = 0; i < kCadenceBinCount; ++i) {
      EXPECT_EQ(histogram->bins[i].load(), static_cast<int>(i) == c.bin ? 1u : 0u) << c.counts << " bin " << i;
    }
    EXPECT_EQ(histogram->from100To250Ms.load(), c.from100To250) << c.counts;
    EXPECT_EQ(histogram->over250Ms.load(), c.over250) << c.counts;
    EXPECT_EQ(histogram->invalid.load(), c.invalid) << c.counts;
  }
}

TEST(CadenceHistogram, FirstPresentOnlyStartsAndUnmeasurableIntervalsCountInvalid) {
  auto histogram = NewHistogram();
  RecordPresentInterval(*histogram, 7000, kTenMegahertz);
  EXPECT_EQ(SnapshotAndResetCadence(*histogram).invalid, 0u);
  EXPECT_EQ(histogram->lastCount, 7000);

  RecordPresentInterval(*histogram, 7000, kTenMegahertz);  // no time passed
  RecordPresentInterval(*histogram, 6000, kTenMegahertz);  // counter went backwards
  RecordPresentInterval(*histogram, 0, kTenMegahertz);     // counter unreadable
  RecordPresentInterval(*histogram, 8000, 0);              // no frequency
  EXPECT_EQ(histogram->lastCount, 6000);
  RecordPresentInterval(*histogram, 6100, kTenMegahertz);  // measures from the backwards present
  const CadenceStats stats = SnapshotAndResetCadence(*histogram);
  EXPECT_EQ(stats.invalid, 4u);
  EXPECT_EQ(stats.samples, 1u);
  EXPECT_DOUBLE_EQ(stats.maxMs, 0.015);  // 10 µs: bin 1
}

TEST(CadenceHistogram, PercentilesOfAMostlySteadyDistribution) {
  auto histogram = NewHistogram();
  std::vector<uint64_t> intervals(90, 16667);
  intervals.insert(intervals.end(), 9, 33333);
  intervals.push_back(50000);
  PresentIntervals(*histogram, intervals);
  const CadenceStats stats = SnapshotAndResetCadence(*histogram);
  EXPECT_EQ(stats.samples, 100u);
  EXPECT_DOUBLE_EQ(stats.p50Ms, 16.665);
  EXPECT_DOUBLE_EQ(stats.p95Ms, 33.335);
  EXPECT_DOUBLE_EQ(stats.p99Ms, 33.335);
  EXPECT_DOUBLE_EQ(stats.maxMs, 50.005);
  EXPECT_DOUBLE_EQ(stats.meanMs, (90 * 16.665 + 9 * 33.335 + 50.005) / 100);
}

TEST(CadenceHistogram, PercentilesOfAUniformDistribution) {
  auto histogram = NewHistogram();
  std::vector<uint64_t> intervals;
  for (uint64_t i = 0; i < 100; ++i) {
    intervals.push_back(1000 + 10 * i);  // one in each bin 100..199
  }
  PresentIntervals(*histogram, intervals);
  const CadenceStats stats = SnapshotAndResetCadence(*histogram);
  EXPECT_EQ(stats.samples, 100u);
  EXPECT_DOUBLE_EQ(stats.meanMs, 1.5);
  EXPECT_DOUBLE_EQ(stats.p50Ms, 1.495);
  EXPECT_DOUBLE_EQ(stats.p95Ms, 1.945);
  EXPECT_DOUBLE_EQ(stats.p99Ms, 1.985);
  EXPECT_DOUBLE_EQ(stats.maxMs, 1.995);
}

TEST(CadenceHistogram, PercentileRefusesFractionsOutsideZeroToOne) {
  std::vector<uint32_t> bins(kCadenceBinCount, 0);
  bins[3] = 2;
  struct Case {
    uint64_t samples;
    double q;
    bool accepted;
    double ms;
  };
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {2, 0.0, true, 0.035},  {2, 1.0, true, 0.035},      {3, 1.0, true, 100.0},  // more wanted than held
      {2, 1e300, false, 0},   {2, 1.0000001, false, 0},   {2, -1e-9, false, 0},   {2, kNaN, false, 0},
      {UINT64_MAX, 1.0, true, 100.0},  // 2^64 as a double, one past what converts
  };
  for (const Case& c : cases) {
    double ms = -7.0;
    EXPECT_EQ(CadencePercentileMs(bins, c.samples, c.q, ms), c.accepted) << c.samples << " q=" << c.q;
    EXPECT_DOUBLE_EQ(ms, c.accepted ? c.ms : -7.0) << c.samples << " q=" << c.q;
  }
}

TEST(CadenceHistogram, SnapshotEmptiesEveryCounter) {
  auto histogram = NewHistogram();
  PresentIntervals(*histogram, {4000, 120000, 300000});
  RecordPresentInterval(*histogram, 1, kTenMegahertz);  // backwards: invalid
  const CadenceStats first = SnapshotAndResetCadence(*histogram);
  EXPECT_EQ(first.samples, 2u);
  EXPECT_EQ(first.from100To250Ms, 1u);
  EXPECT_EQ(first.over250Ms, 1u);
  EXPECT_EQ(first.invalid, 1u);
  std::wstring line;
  EXPECT_FALSE(TakeCadenceReport(*histogram, line));
  EXPECT_TRUE(line.empty());
}

TEST(CadenceHistogram, ReportLineHasTheExactFormat) {
  auto histogram = NewHistogram();
  PresentIntervals(*histogram, {16667, 16667, 120000});
  std::wstring line;
  ASSERT_TRUE(TakeCadenceReport(*histogram, line));
  EXPECT_EQ(line,
            L"Swap cadence: samples=3 mean=44.445 ms (22.5 FPS), p50=16.665 ms, p95=100.005 ms, p99=100.005 ms, "
            L"max=100.005 ms, 100-250ms=1, >250ms=0, invalid=0");
}

TEST(CadenceHistogram, PeriodWithOnlyLongOrInvalidIntervalsStillReports) {
  auto histogram = NewHistogram();
  PresentIntervals(*histogram, {250001, 400000});
  std::wstring line;
  ASSERT_TRUE(TakeCadenceReport(*histogram, line));
  EXPECT_EQ(line,
            L"Swap cadence: samples=0 mean=0.000 ms (0.0 FPS), p50=0.000 ms, p95=0.000 ms, p99=0.000 ms, "
            L"max=0.000 ms, 100-250ms=0, >250ms=2, invalid=0");

  RecordPresentInterval(*histogram, 0, kTenMegahertz);
  ASSERT_TRUE(TakeCadenceReport(*histogram, line));
  EXPECT_EQ(line,
            L"Swap cadence: samples=0 mean=0.000 ms (0.0 FPS), p50=0.000 ms, p95=0.000 ms, p99=0.000 ms, "
            L"max=0.000 ms, 100-250ms=0, >250ms=0, invalid=1");
}

TEST(SampleToPresentStats, ReportsMeanMinMaxAndRestartsThePeriod) {
  SampleToPresentStats stats;
  RecordSampleToPresent(stats, 20000);  // 2 ms at 10 MHz
  RecordSampleToPresent(stats, -5);     // sample after the present: dropped
  RecordSampleToPresent(stats, 40000);
  RecordSampleToPresent(stats, 30000);
  std::wstring line;
  ASSERT_TRUE(TakeSampleToPresentReport(stats, kTenMegahertz, line));
  EXPECT_EQ(line, L"Sample-to-present delay: frames=3 mean=3.000 ms, min=2.000 ms, max=4.000 ms");

  EXPECT_FALSE(TakeSampleToPresentReport(stats, kTenMegahertz, line));
  // Min and max are not reset, but the first sample of the new period replaces both.
  RecordSampleToPresent(stats, 50000);
  ASSERT_TRUE(TakeSampleToPresentReport(stats, kTenMegahertz, line));
  EXPECT_EQ(line, L"Sample-to-present delay: frames=1 mean=5.000 ms, min=5.000 ms, max=5.000 ms");

  RecordSampleToPresent(stats, 100);
  EXPECT_FALSE(TakeSampleToPresentReport(stats, 0, line));  // no frequency: nothing to convert with
}

}  // namespace
