#include "pacing/limiter_wait.h"

#include <windows.h>

#include <cmath>

#include "core/perf_counter.h"
#include "pacing/presentation_limiter.h"

void WaitUntil(double deadlineSeconds, int64_t frequency) {
  if (frequency < 1 || !std::isfinite(deadlineSeconds)) {
    return;
  }
  for (;;) {
    int64_t count = 0;
    if (!ReadPerformanceCounter(&count)) {
      return;
    }
    const double remaining = deadlineSeconds - static_cast<double>(count) / static_cast<double>(frequency);
    const WaitStep step = PlanWaitStep(remaining);
    switch (step.kind) {
      case WaitStepKind::Done:
        return;
      case WaitStepKind::Sleep:
        Sleep(step.sleepMilliseconds);
        break;
      case WaitStepKind::Yield:
        // Nobody else ready: stay on the core, but let a sibling hyper-thread run.
        if (!SwitchToThread()) {
          YieldProcessor();
        }
        break;
    }
  }
}
