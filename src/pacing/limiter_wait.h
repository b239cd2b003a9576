#pragma once
// Waits on the calling thread until a performance-counter deadline: sleeps while that is safe,
// then yields. Returns early only when the counter cannot be read.
#include <cstdint>

void WaitUntil(double deadlineSeconds, int64_t frequency);
