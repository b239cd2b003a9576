#pragma once
// Waits on the calling thread until a performance-counter deadline: sleeps while that is safe,
// then yields. Returns early only when the counter cannot be read.
#include <cstdint>

// Looks for a sleep finer than a millisecond; without one the wait sleeps in whole milliseconds.
void InitLimiterWait();
// Asks for 1 ms system timer ticks while the limiter runs, as timeBeginPeriod(1) would: at the
// default 15.6 ms tick no sleep ends near its deadline. Once per hold; false when not granted.
bool HoldFineTimer();
void ReleaseFineTimer();
// The render thread's waits only: the learned sleep overshoot is its own. A wait for a present
// yields through its last millisecond; one that ends ahead of the present (WaitUntilNear) sleeps
// as close to its end as the system allows.
void WaitUntil(double deadlineSeconds, int64_t frequency);
void WaitUntilNear(double deadlineSeconds, int64_t frequency);
