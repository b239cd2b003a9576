#include "core/perf_counter.h"

#include <windows.h>

#include <atomic>

namespace {

bool RealCounter(int64_t* count) {
  LARGE_INTEGER value;
  if (!QueryPerformanceCounter(&value)) return false;
  *count = value.QuadPart;
  return true;
}

std::atomic<PerformanceCounterSource> g_counterSource{&RealCounter};

}  // namespace

bool ReadPerformanceCounter(int64_t* count) { return g_counterSource.load(std::memory_order_relaxed)(count); }

bool ReadPerformanceFrequency(int64_t* frequency) {
  LARGE_INTEGER value;
  if (!QueryPerformanceFrequency(&value)) return false;
  *frequency = value.QuadPart;
  return true;
}

void SetPerformanceCounterSourceForTest(PerformanceCounterSource source) {
  g_counterSource.store(source != nullptr ? source : &RealCounter, std::memory_order_relaxed);
}
