#pragma once
// Delay from the render-time clock sample to the present that shows it, in counter ticks.
// The render thread records; the reporter thread takes frames and sum and reads min and max.
// Pure logic: no Windows headers.
#include <atomic>
#include <cstdint>
#include <string>

struct SampleToPresentStats {
  std::atomic<uint32_t> frames{0};
  std::atomic<int64_t> sum{0};
  // Written only by the render thread; atomic so the reporter's read is well defined.
  std::atomic<int64_t> min{0};
  std::atomic<int64_t> max{0};
};

// Negative delays (a sample from after the present) are not measurements and are dropped.
void RecordSampleToPresent(SampleToPresentStats& stats, int64_t delayCounts);
std::wstring FormatSampleToPresentLine(uint32_t frames, int64_t sum, int64_t min, int64_t max, int64_t frequency);
// One report period: takes frames and sum; min and max stay until the next sample overwrites them.
// False when there is nothing to report.
bool TakeSampleToPresentReport(SampleToPresentStats& stats, int64_t frequency, std::wstring& line);
