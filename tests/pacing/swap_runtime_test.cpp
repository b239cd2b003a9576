#include "pacing/swap_runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "core/perf_counter.h"
#include "frame/frame_clock.h"
#include "pacing/limiter_wait.h"
#include "support/fake_pe_image.h"

namespace {

// Exact time for the runtime: each read returns the current value, then advances it by a step.
std::atomic<int64_t> g_fakeNow{0};
std::atomic<int64_t> g_fakeStep{0};
std::atomic<int> g_counterReads{0};
std::atomic<bool> g_counterFails{false};

bool FakeCounter(int64_t* count) {
  g_counterReads.fetch_add(1);
  if (g_counterFails.load()) {
    return false;
  }
  *count = g_fakeNow.fetch_add(g_fakeStep.load());
  return true;
}

std::atomic<int> g_sdlSwapCalls{0};
std::atomic<void*> g_sdlLastWindow{nullptr};
std::atomic<int64_t> g_sdlSeenAt{0};

void FakeSdlSwap(void* window) {
  g_sdlSwapCalls.fetch_add(1);
  g_sdlSeenAt.store(g_fakeNow.load());
  g_sdlLastWindow.store(window);
}

// Another hooker that chained onto whatever the slot held when it arrived: our detour.
void ChainedHook(void* window) { SwapWindowDetour(window); }
void UnrelatedHook(void*) {}

uint64_t AddressOf(SwapWindowFunction function) { return reinterpret_cast<uint64_t>(function); }

bool ReporterStarts() { return true; }
bool ReporterFails() { return false; }
void OverwriteSlotWithUnrelatedHook(uint64_t* slot) { *slot = AddressOf(&UnrelatedHook); }

FakeImportModule SdlImports(uint64_t swapValue) {
  return {"SDL2.dll", {{"SDL_Init", 0, 0x1111}, {"SDL_GL_SwapWindow", 0, swapValue}, {"SDL_Quit", 0, 0x2222}}};
}

class SwapRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ReadPerformanceFrequency(&frequency_));
    // Whole microseconds in counts keep every expected figure exact.
    ASSERT_EQ(frequency_ % 1000000, 0) << "performance frequency " << frequency_;
    hooks_.startReporter = &ReporterStarts;
    SetSwapRuntimeTestHooksForTest(&hooks_);
    g_fakeNow = 50 * frequency_;
    g_fakeStep = 0;
    g_counterReads = 0;
    g_counterFails = false;
    g_sdlSwapCalls = 0;
    g_sdlLastWindow = nullptr;
    SetPerformanceCounterSourceForTest(&FakeCounter);
    TakeSwapReport();
  }

  void TearDown() override {
    FrameClock() = PresentationClock{};
    UninstallSwapRuntime();
    TakeSwapReport();
    SetPerformanceCounterSourceForTest(nullptr);
    SetSwapRuntimeTestHooksForTest(nullptr);
  }

  int64_t Microseconds(int64_t us) const { return us * (frequency_ / 1000000); }
  void Present(uint64_t* slot, void* window = nullptr) { reinterpret_cast<SwapWindowFunction>(*slot)(window); }

  int64_t frequency_ = 0;
  SwapRuntimeTestHooks hooks_;
};

TEST_F(SwapRuntimeTest, PresentsPassThroughTheDetourUntilRemoval) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message = L"stale";
  // TargetFPS 0 is fine while the limiter is off.
  ASSERT_TRUE(InstallSwapRuntime(image.module(), false, 5, false, 0, message));
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(*slot, AddressOf(&SwapWindowDetour));
  EXPECT_EQ(*image.slot(0, 0), 0x1111u);
  EXPECT_EQ(SwapRuntimeOriginal(), &FakeSdlSwap);

  int window = 0;
  Present(slot, &window);
  EXPECT_EQ(g_sdlSwapCalls, 1);
  EXPECT_EQ(g_sdlLastWindow, &window);

  UninstallSwapRuntime();
  EXPECT_EQ(*slot, AddressOf(&FakeSdlSwap));
  EXPECT_EQ(SwapRuntimeOriginal(), nullptr);
  // A present already on its way into the detour is still forwarded, once, unmeasured.
  g_counterReads = 0;
  SwapWindowDetour(&window);
  EXPECT_EQ(g_sdlSwapCalls, 2);
  EXPECT_EQ(g_counterReads, 0);
  UninstallSwapRuntime();  // removing twice is harmless
  EXPECT_EQ(*slot, AddressOf(&FakeSdlSwap));
}

TEST_F(SwapRuntimeTest, RefusedInstallLeavesTheSlotUntouched) {
  struct Case {
    const char* name;
    FakeImportModule imports;
    bool useModule;
    bool limiterOn;
    uint32_t targetFps;
    std::wstring message;
  };
  const Case cases[] = {
      {"limiter at 0 FPS", SdlImports(AddressOf(&FakeSdlSwap)), true, true, 0,
       L"PresentationLimiter requires TargetFPS in the range 1..1000."},
      {"limiter at 1001 FPS", SdlImports(AddressOf(&FakeSdlSwap)), true, true, 1001,
       L"PresentationLimiter requires TargetFPS in the range 1..1000."},
      {"function not imported", {"SDL2.dll", {{"SDL_GL_GetProcAddress", 0, AddressOf(&FakeSdlSwap)}}}, true, false, 0,
       L"Could not locate SDL_GL_SwapWindow: Function was not present in the requested import module."},
      {"null slot value", SdlImports(0), true, false, 0, L"Could not locate SDL_GL_SwapWindow: "},
      {"no module", SdlImports(AddressOf(&FakeSdlSwap)), false, false, 0,
       L"Could not locate SDL_GL_SwapWindow: Invalid import lookup argument."},
  };
  for (const Case& c : cases) {
    FakePeImage image({c.imports});
    uint64_t* slot = image.slot(0, c.imports.functions.size() > 1 ? 1 : 0);
    const uint64_t before = *slot;
    std::wstring message;
    EXPECT_FALSE(InstallSwapRuntime(c.useModule ? image.module() : nullptr, true, 5, c.limiterOn, c.targetFps, message))
        << c.name;
    EXPECT_EQ(message, c.message) << c.name;
    EXPECT_EQ(*slot, before) << c.name;
    EXPECT_EQ(SwapRuntimeOriginal(), nullptr) << c.name;
  }
}

TEST_F(SwapRuntimeTest, SlotChangedBetweenLookupAndReplacementFailsAndKeepsTheirValue) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  hooks_.afterLookup = &OverwriteSlotWithUnrelatedHook;
  std::wstring message;
  EXPECT_FALSE(InstallSwapRuntime(image.module(), true, 5, true, 60, message));
  EXPECT_EQ(message, L"Import slot changed before hook installation.");
  EXPECT_EQ(*image.slot(0, 1), AddressOf(&UnrelatedHook));
  EXPECT_EQ(SwapRuntimeOriginal(), nullptr);
  // Nothing is left running: a stray call into the detour neither waits nor records.
  g_counterReads = 0;
  SwapWindowDetour(nullptr);
  EXPECT_EQ(g_counterReads, 0);
  EXPECT_FALSE(TakeSwapReport().hasCadence);
}

TEST_F(SwapRuntimeTest, ReporterThreadFailurePutsTheSlotBack) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  hooks_.startReporter = &ReporterFails;
  std::wstring message;
  EXPECT_FALSE(InstallSwapRuntime(image.module(), true, 5, false, 0, message));
  EXPECT_EQ(message, L"Swap hook installed, but the telemetry reporter thread could not start.");
  EXPECT_EQ(*image.slot(0, 1), AddressOf(&FakeSdlSwap));
  EXPECT_EQ(SwapRuntimeOriginal(), nullptr);

  // Without telemetry no reporter is needed; and a paced frame then records no delay.
  ASSERT_TRUE(InstallSwapRuntime(image.module(), false, 5, true, 60, message));
  EXPECT_EQ(*image.slot(0, 1), AddressOf(&SwapWindowDetour));
  PaceBeforeSample();
  g_fakeNow += Microseconds(2000);
  g_fakeStep = Microseconds(1000);
  Present(image.slot(0, 1));
  EXPECT_EQ(g_sdlSwapCalls, 1);
  EXPECT_FALSE(TakeSwapReport().hasDelay);
}

TEST_F(SwapRuntimeTest, SecondInstallOverItselfIsRefused) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), false, 5, false, 0, message));
  EXPECT_FALSE(InstallSwapRuntime(image.module(), false, 5, false, 0, message));
  EXPECT_EQ(message, L"SDL_GL_SwapWindow already passes through the swap runtime.");
  EXPECT_EQ(SwapRuntimeOriginal(), &FakeSdlSwap);
  Present(image.slot(0, 1));
  EXPECT_EQ(g_sdlSwapCalls, 1);
}

TEST_F(SwapRuntimeTest, RemovalLeavesASlotThatNoLongerHoldsTheDetour) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 5, true, 60, message));
  *slot = AddressOf(&ChainedHook);
  UninstallSwapRuntime();
  EXPECT_EQ(*slot, AddressOf(&ChainedHook));
  // Their chain still ends in SDL, now as a plain pass-through: no wait, no measurement.
  g_counterReads = 0;
  Present(slot);
  Present(slot);
  EXPECT_EQ(g_sdlSwapCalls, 2);
  EXPECT_EQ(g_counterReads, 0);
  EXPECT_FALSE(TakeSwapReport().hasCadence);
}

TEST_F(SwapRuntimeTest, TelemetryMeasuresEveryIntervalAfterTheFirstPresent) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 5, false, 0, message));
  for (int frame = 0; frame < 4; ++frame) {
    Present(slot);
    g_fakeNow += Microseconds(16667);
  }
  EXPECT_EQ(g_sdlSwapCalls, 4);
  SwapReport report = TakeSwapReport();
  ASSERT_TRUE(report.hasCadence);
  EXPECT_EQ(report.cadence,
            L"Swap cadence: samples=3 mean=16.665 ms (60.0 FPS), p50=16.665 ms, p95=16.665 ms, p99=16.665 ms, "
            L"max=16.665 ms, 100-250ms=0, >250ms=0, invalid=0");
  EXPECT_FALSE(report.hasDelay);  // nothing was paced before a sample

  // Installed again later: its first present has no previous one to measure from.
  UninstallSwapRuntime();
  g_fakeNow += Microseconds(1000000);
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 5, false, 0, message));
  Present(slot);
  report = TakeSwapReport();
  EXPECT_FALSE(report.hasCadence) << std::string(report.cadence.begin(), report.cadence.end());
}

TEST_F(SwapRuntimeTest, PacedSampleTakesTheWaitAndThePresentMeasuresTheDelay) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(ConfigureClock(FrameClock(), 1.0 / 60.0, kDefaultClockMaxGap));  // 60 Hz steps
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 5, true, 144, message));

  const int64_t start = g_fakeNow.load();
  PaceBeforeSample();  // first frame: the cadence starts now, nothing to wait for
  // From here a wrong wait ends (and shows in the reads) instead of hanging on a frozen clock.
  g_fakeStep = Microseconds(1000);
  g_counterReads = 0;
  PaceBeforeSample();  // a second viewport in the same frame does not pace again
  EXPECT_EQ(g_counterReads, 0);
  g_fakeNow = start + Microseconds(2000);
  g_fakeStep = Microseconds(20);
  Present(slot);
  EXPECT_EQ(g_sdlSwapCalls, 1);
  EXPECT_LT(g_sdlSeenAt.load(), start + Microseconds(2100)) << "presented at once, the wait comes after";
  SwapReport report = TakeSwapReport();
  ASSERT_TRUE(report.hasDelay);
  EXPECT_EQ(report.delay, L"Sample-to-present delay: frames=1 mean=2.000 ms, min=2.000 ms, max=2.000 ms");

  // Frames faster than steps: the bulk of the next frame's wait follows the present and ends a
  // little ahead of its deadline, one interval after the first; the next frame's pace waits for
  // the rest.
  const int64_t deadline = start + frequency_ / 144;
  EXPECT_LT(g_fakeNow.load(), deadline);
  EXPECT_GT(g_fakeNow.load(), deadline - Microseconds(2000));
  PaceBeforeSample();
  EXPECT_GE(g_fakeNow.load(), deadline);
  EXPECT_LT(g_fakeNow.load(), deadline + Microseconds(100));
}

TEST_F(SwapRuntimeTest, AtTheStepRateTheWholeWaitStaysBeforeTheSample) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(ConfigureClock(FrameClock(), 1.0 / 60.0, kDefaultClockMaxGap));
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 5, true, 60, message));
  const int64_t start = g_fakeNow.load();
  PaceBeforeSample();
  g_fakeStep = Microseconds(20);
  Present(slot);
  EXPECT_LT(g_fakeNow.load(), start + Microseconds(200)) << "no wait after the present";
  PaceBeforeSample();
  EXPECT_GE(g_fakeNow.load(), start + frequency_ / 60);
  EXPECT_LT(g_fakeNow.load(), start + frequency_ / 60 + Microseconds(100));
}

// Removal while the render thread waits for its deadline: the limiter is reset only after the
// wait has ended, and later calls leave it alone.
TEST_F(SwapRuntimeTest, RemovalWaitsForThePaceInFlightBeforeResettingTheLimiter) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), false, 5, true, 60, message));
  PaceBeforeSample();  // starts the cadence
  Present(slot);
  std::atomic<bool> paceDone{false};
  std::atomic<bool> removed{false};
  std::atomic<bool> removedBeforePaceEnded{false};
  g_counterReads = 0;
  std::thread render([&] {
    PaceBeforeSample();  // the clock stands still: waits until the test moves it
    paceDone = true;
  });
  while (g_counterReads.load() < 3) Sleep(1);  // now, then the wait's own looks
  std::thread bootstrap([&] {
    UninstallSwapRuntime();
    removedBeforePaceEnded = !paceDone.load();
    removed = true;
  });
  Sleep(50);
  EXPECT_FALSE(removed.load());
  g_fakeNow += frequency_;
  render.join();
  bootstrap.join();
  EXPECT_FALSE(removedBeforePaceEnded.load());
  EXPECT_EQ(*slot, AddressOf(&FakeSdlSwap));
  g_counterReads = 0;
  PaceBeforeSample();
  SwapWindowDetour(nullptr);
  EXPECT_EQ(g_counterReads, 0) << "nothing paces or measures once removed";
  EXPECT_EQ(g_sdlSwapCalls, 2);
}

TEST_F(SwapRuntimeTest, UnpacedPresentWaitsForItsDeadline) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 5, true, 100, message));
  const int64_t start = g_fakeNow.load();
  Present(slot);  // starts the cadence
  g_fakeNow += Microseconds(3000);
  g_fakeStep = Microseconds(250);
  Present(slot);
  EXPECT_GE(g_fakeNow.load(), start + Microseconds(10000));
  EXPECT_EQ(g_sdlSwapCalls, 2);
  // The interval is measured after the wait, so it shows the paced cadence.
  const SwapReport report = TakeSwapReport();
  ASSERT_TRUE(report.hasCadence);
  EXPECT_NE(report.cadence.find(L"samples=1 mean=10."), std::wstring::npos)
      << std::string(report.cadence.begin(), report.cadence.end());
  EXPECT_FALSE(report.hasDelay);
}

TEST_F(SwapRuntimeTest, ThousandFpsWithASlowLoopNeverWaits) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), false, 5, true, 1000, message));
  g_fakeStep = 1;
  for (int frame = 0; frame < 20; ++frame) {
    g_counterReads = 0;
    Present(slot);
    // The present's time, one look at the deadline (already past), the time after the wait.
    EXPECT_EQ(g_counterReads, 3) << frame;
    g_fakeNow += Microseconds(1500 + 100 * (frame % 4));
  }
  EXPECT_EQ(g_sdlSwapCalls, 20);
}

TEST_F(SwapRuntimeTest, UnreadableCounterStillForwardsEveryPresent) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  uint64_t* slot = image.slot(0, 1);
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 5, true, 60, message));
  g_counterFails = true;
  PaceBeforeSample();
  Present(slot);
  Present(slot);
  EXPECT_EQ(g_sdlSwapCalls, 2);
  const SwapReport report = TakeSwapReport();
  EXPECT_FALSE(report.hasCadence);
  EXPECT_FALSE(report.hasDelay);
}

TEST(LimiterWait, NeverReturnsBeforeTheDeadline) {
  int64_t frequency = 0;
  ASSERT_TRUE(ReadPerformanceFrequency(&frequency));
  int64_t start = 0;
  ASSERT_TRUE(ReadPerformanceCounter(&start));
  const double deadline = static_cast<double>(start) / static_cast<double>(frequency) + 0.015;
  WaitUntil(deadline, frequency);
  int64_t end = 0;
  ASSERT_TRUE(ReadPerformanceCounter(&end));
  EXPECT_GE(static_cast<double>(end) / static_cast<double>(frequency), deadline);

  // A deadline already behind, or no frequency, returns at once (bounded loosely: no timing test).
  WaitUntil(deadline - 10.0, frequency);
  WaitUntil(deadline + 10.0, 0);
  int64_t after = 0;
  ASSERT_TRUE(ReadPerformanceCounter(&after));
  EXPECT_LT(after - end, frequency / 2);
}

// Last in this file: the real reporter sleeps its interval and would then drain the counters.
TEST(SwapRuntimeReporter, RealReporterThreadStarts) {
  FakePeImage image({SdlImports(AddressOf(&FakeSdlSwap))});
  std::wstring message;
  ASSERT_TRUE(InstallSwapRuntime(image.module(), true, 60, false, 0, message)) << std::string(message.begin(), message.end());
  UninstallSwapRuntime();
  EXPECT_EQ(*image.slot(0, 1), AddressOf(&FakeSdlSwap));
}

}  // namespace
