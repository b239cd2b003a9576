#include "frame/tick_detour.h"

#include <atomic>

#include "core/log.h"
#include "core/text.h"
#include "frame/frame_clock.h"
#include "host/hook_install.h"
#include "host/host_memory.h"
#include "host/host_validation.h"

namespace {

using RunMessageFn = void (*)(void* updater, int message, float value);

struct TickDetourState {
  RunMessageFn original = nullptr;
  std::atomic<TickHookFn> hooks[static_cast<size_t>(TickHook::Count)] = {};
  std::atomic<bool> clockActiveLogged{false};
};

TickDetourState g_tick;

void CallTickHook(TickHook hook, uint64_t tick, uint64_t generation) {
  if (TickHookFn fn = g_tick.hooks[static_cast<size_t>(hook)].load(std::memory_order_acquire)) fn(tick, generation);
}

// What every subsystem does with a completed step, in this order.
void RunTickHooks(uint64_t tick, uint64_t generation) {
  CallTickHook(TickHook::EntityCapture, tick, generation);  // entity and world roots, skeletal poses
  CallTickHook(TickHook::MouseLook, tick, generation);
  CallTickHook(TickHook::Particles, tick, generation);
  CallTickHook(TickHook::GuiCursor, tick, generation);
}

void RunMessageDetour(void* updater, int message, float value) {
  const GatePass pass(FrameDetourGate());
  ForwardOf(g_tick.original)(updater, message, value);
  if (!pass.Open() || !IsCompletedStep(message, value)) return;
  // Host memory seen before this step is looked at afresh: the step may have freed it.
  AdvanceRegionCacheEpoch();
  double now = 0.0;
  if (!NowSeconds(&now)) return;
  PresentationClock& clock = FrameClock();
  if (!ConfigureClock(clock, static_cast<double>(value), kDefaultClockMaxGap)) return;
  const uint64_t tick = CountCompletedTick();
  if (!PublishTick(clock, tick, now, false).accepted) {
    ResetInterpolationState();
    return;
  }
  RunTickHooks(tick, clock.generation);
  if (LatchOnce(g_tick.clockActiveLogged)) {
    LogWrite(LogLevel::Info, FormatBounded(256, L"Camera interpolation clock active: fixed step=%f ms, completed-step message=5.",
                                           static_cast<double>(value) * 1000.0));
  }
}

}  // namespace

void SetTickHook(TickHook hook, TickHookFn fn) {
  g_tick.hooks[static_cast<size_t>(hook)].store(fn, std::memory_order_release);
}

DetourSite TickDetourSite(HMODULE host) {
  return {SiteAddress(host, SiteId::UpdaterRunMessage), reinterpret_cast<void*>(&RunMessageDetour),
          reinterpret_cast<void**>(&g_tick.original), L"MH_CreateHook(cUpdater::RunMessage)"};
}
