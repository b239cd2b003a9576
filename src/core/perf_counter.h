#pragma once
// The performance counter, behind one seam so a test can supply exact time.
#include <cstdint>

bool ReadPerformanceCounter(int64_t* count);
bool ReadPerformanceFrequency(int64_t* frequency);

using PerformanceCounterSource = bool (*)(int64_t* count);
// Replaces the counter source (nullptr restores the real one). Tests only.
void SetPerformanceCounterSourceForTest(PerformanceCounterSource source);
