// The cadence histogram over arbitrary counter values, frequencies, intervals and fractions,
// against a count kept beside it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "pacing/cadence_histogram.h"

namespace {

CadenceHistogram g_histogram;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "cadence check failed: %s\n", what);
  std::abort();
}

struct Expected {
  uint64_t binned = 0;
  uint32_t over250 = 0;
  uint32_t from100 = 0;
  uint32_t invalid = 0;
  uint64_t lowest = UINT64_MAX;  // in microseconds, of the binned ones
  uint64_t highest = 0;
};

void ExpectAdd(Expected& e, uint64_t us) {
  if (us == 0) {
    ++e.invalid;
  } else if (us > 250000) {
    ++e.over250;
  } else {
    if (us > 100000) ++e.from100;
    ++e.binned;
    const uint64_t clipped = us < 100000 ? us : 100000;
    if (clipped < e.lowest) e.lowest = clipped;
    if (clipped > e.highest) e.highest = clipped;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  SnapshotAndResetCadence(g_histogram);
  g_histogram.lastCount = 0;
  Expected e;
  int64_t last = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: {
        const uint64_t us = in.ConsumeIntegral<uint64_t>() >> in.ConsumeIntegralInRange<int>(0, 63);
        AddCadenceMicroseconds(g_histogram, us);
        ExpectAdd(e, us);
        break;
      }
      case 1: {
        const int64_t now = in.ConsumeIntegral<int64_t>();
        const int64_t frequency = in.ConsumeBool() ? 10000000 : in.ConsumeIntegral<int64_t>();
        RecordPresentInterval(g_histogram, now, frequency);
        if (now >= 1 && frequency >= 1) {
          const int64_t previous = last;
          last = now;
          if (previous != 0) {
            const double us = now > previous ? static_cast<double>(now - previous) * 1e6 / static_cast<double>(frequency) : 0;
            ExpectAdd(e, us > 0 && std::isfinite(us) ? RoundHalfUp(us) : 0);
          }
        } else {
          ++e.invalid;
        }
        break;
      }
      case 2: {
        const double v = in.ConsumeFloatingPoint<double>();
        const uint64_t r = RoundHalfUp(v);
        if (!(v > 0) && r != 0) Fail("round of a non-positive value");
        if (v > 0 && v < 1e18 && r != static_cast<uint64_t>(std::floor(v + 0.5))) Fail("round half up");
        break;
      }
      case 3: {
        const double q = in.ConsumeFloatingPoint<double>();
        const uint64_t samples = in.ConsumeIntegral<uint64_t>();
        // Mostly a short span: walking all 10001 bins for every fraction would starve the search.
        static uint32_t bins[kCadenceBinCount];
        const size_t span = in.ConsumeBool() ? kCadenceBinCount : in.ConsumeIntegralInRange<size_t>(1, 64);
        bins[in.ConsumeIntegralInRange<size_t>(0, span - 1)] = in.ConsumeIntegral<uint32_t>();
        double ms = -1;
        const bool ok = CadencePercentileMs(std::span<const uint32_t>(bins, span), samples, q, ms);
        if (ok != (q >= 0.0 && q <= 1.0)) Fail("fraction refusal");
        if (ok && !(ms > 0 && ms <= 100.0)) Fail("percentile out of range");
        break;
      }
    }
  }
  const CadenceStats s = SnapshotAndResetCadence(g_histogram);
  if (s.samples != e.binned || s.over250Ms != e.over250 || s.from100To250Ms != e.from100 || s.invalid != e.invalid)
    Fail("counts");
  if (s.samples > 0) {
    const double lo = static_cast<double>(e.lowest / 10 * 10 + 5) / 1000.0;
    const double hi = static_cast<double>(e.highest / 10 * 10 + 5) / 1000.0;
    if (!(s.maxMs == hi && s.p50Ms >= lo && s.p50Ms <= s.p95Ms && s.p95Ms <= s.p99Ms && s.p99Ms <= hi))
      Fail("percentiles");
    if (!(s.meanMs >= lo - 1e-9 && s.meanMs <= hi + 1e-9)) Fail("mean");
  }
  const std::wstring line = FormatCadenceLine(s);
  if (line.rfind(L"Swap cadence: samples=", 0) != 0) Fail("line");
  return 0;
}
