#include "particles/particle_interpolation.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/log.h"
#include "core/perf_counter.h"
#include "core/text.h"
#include "frame/tick_detour.h"
#include "host/hook_install.h"
#include "host/host_memory.h"
#include "host/host_validation.h"
#include "interp/render_hooks.h"
#include "particles/emitter_layout.h"
#include "particles/emitter_registry.h"
#include "particles/particle_blend.h"

namespace {

using MotionFn = void (*)(void* emitter, void* a, void* b, void* c);
using GraphicsFn = void* (*)(void* emitter, void* target, float value);

constexpr uint64_t kReportIntervalMs = 5000;
// Draws that may run at once (several host threads, or a draw nested in another); one more is
// drawn the host's way.
constexpr size_t kScratchCount = 8;

// Interval counters of the report; updated from any host thread.
struct ParticleCounters {
  std::atomic<uint64_t> ticks{0};
  std::atomic<uint64_t> motionUpdates{0};
  std::atomic<uint64_t> draws{0};
  std::atomic<uint64_t> interpolatedDraws{0};
  std::atomic<uint64_t> notRecentDraws{0};
  std::atomic<uint64_t> particlesInterpolated{0};
  std::atomic<uint64_t> largeSteps{0};
  std::atomic<uint64_t> oversized{0};
  std::atomic<uint64_t> registryOverflow{0};
  std::atomic<uint32_t> mostLive{0};
  std::atomic<uint64_t> ownTicks{0};
};

struct ParticleState {
  MotionFn motionOriginal = nullptr;
  GraphicsFn graphicsOriginal = nullptr;
  HMODULE host = nullptr;
  bool diagnostics = false;
  int64_t frequency = 0;
  std::atomic<bool> enabled{false};
  std::atomic<bool> active{false};
  std::atomic<float> alpha{0.0f};
  std::atomic<uint64_t> particleTick{0};
  uint64_t reportTimeMs = 0;   // written by the tick hook only
  std::atomic<bool> activeLogged{false};
  std::atomic<bool> scratchBusy[kScratchCount] = {};
  ParticleCounters counters;
  EmitterRegistry registry;
};

ParticleState g_particles;
ParticleScratch g_scratch[kScratchCount];

void Add(std::atomic<uint64_t>& counter, uint64_t amount = 1) { counter.fetch_add(amount, std::memory_order_relaxed); }

void RaiseMostLive(uint32_t live) {
  uint32_t most = g_particles.counters.mostLive.load(std::memory_order_relaxed);
  while (live > most && !g_particles.counters.mostLive.compare_exchange_weak(most, live, std::memory_order_relaxed)) {
  }
}

int64_t CounterNow() {
  int64_t now = 0;
  return ReadPerformanceCounter(&now) ? now : 0;
}

// One draw's scratch, claimed for the draw and given back after the restore. A pool rather than
// thread_local: the compiler runtime would allocate a thread's copy on its first draw.
class ScratchClaim {
 public:
  ScratchClaim() {
    for (size_t i = 0; i < kScratchCount; ++i) {
      bool busy = false;
      if (!g_particles.scratchBusy[i].load(std::memory_order_relaxed) &&
          g_particles.scratchBusy[i].compare_exchange_strong(busy, true, std::memory_order_acquire)) {
        index_ = i;
        return;
      }
    }
  }
  ~ScratchClaim() {
    if (index_ < kScratchCount) g_particles.scratchBusy[index_].store(false, std::memory_order_release);
  }
  ScratchClaim(const ScratchClaim&) = delete;
  ScratchClaim& operator=(const ScratchClaim&) = delete;
  ParticleScratch* get() const { return index_ < kScratchCount ? &g_scratch[index_] : nullptr; }

 private:
  size_t index_ = kScratchCount;
};

void MotionDetour(void* emitter, void* a, void* b, void* c) {
  g_particles.motionOriginal(emitter, a, b, c);
  if (!g_particles.enabled.load(std::memory_order_acquire) || emitter == nullptr) return;
  Add(g_particles.counters.motionUpdates);
  if (!RegisterEmitter(g_particles.registry, reinterpret_cast<uint64_t>(emitter),
                       g_particles.particleTick.load(std::memory_order_acquire)))
    Add(g_particles.counters.registryOverflow);
}

void* GraphicsDetour(void* emitter, void* target, float value) {
  const GraphicsFn original = g_particles.graphicsOriginal;
  if (!g_particles.enabled.load(std::memory_order_acquire) || emitter == nullptr) return original(emitter, target, value);
  ParticleCounters& counters = g_particles.counters;
  Add(counters.draws);
  if (!g_particles.active.load(std::memory_order_acquire)) return original(emitter, target, value);

  // The three fields in one guarded read.
  uint8_t fields[emitter_layout::kCapacity + sizeof(uint32_t) - emitter_layout::kParticles];
  if (!ReadHostMemory(static_cast<const uint8_t*>(emitter) + emitter_layout::kParticles, fields, sizeof fields))
    return original(emitter, target, value);
  uint64_t array = 0;
  uint32_t live = 0;
  uint32_t capacity = 0;
  std::memcpy(&array, fields, sizeof array);
  std::memcpy(&live, fields + (emitter_layout::kLiveCount - emitter_layout::kParticles), sizeof live);
  std::memcpy(&capacity, fields + (emitter_layout::kCapacity - emitter_layout::kParticles), sizeof capacity);
  if (array == 0 || live == 0 || live > capacity) return original(emitter, target, value);
  if (live > kMaxBlendedParticles) {
    Add(counters.oversized);
    return original(emitter, target, value);
  }
  if (!EmitterRecentlyUpdated(g_particles.registry, reinterpret_cast<uint64_t>(emitter),
                              g_particles.particleTick.load(std::memory_order_acquire))) {
    Add(counters.notRecentDraws);
    return original(emitter, target, value);
  }

  const int64_t t0 = g_particles.diagnostics && g_particles.frequency >= 1 ? CounterNow() : 0;
  const float alpha = g_particles.alpha.load(std::memory_order_relaxed);
  ScratchClaim claim;
  ParticleScratch* scratch = claim.get();
  // The guarded test of the host's array, then one pass that copies its pointers and blends.
  const auto* particleArray = reinterpret_cast<const void*>(array);
  if (scratch == nullptr || !CheckHostRange(particleArray, live * sizeof(scratch->particles[0]), false))
    return original(emitter, target, value);
  const ParticleBlendResult blend =
      BlendParticlePositions(particleArray, live, alpha, *scratch, &CheckHostRangeAndRemember);
  if (!blend.blended) return original(emitter, target, value);
  const uint32_t largeSteps = blend.leftAlone;

  const int64_t t1 = t0 > 0 ? CounterNow() : 0;
  void* result = original(emitter, target, value);
  const int64_t t2 = t0 > 0 ? CounterNow() : 0;

  // Particles whose pages went away during the draw are not written.
  RestoreParticlePositions(*scratch, live, blend, &CheckHostRangeAndRemember);
  if (t0 > 0) {
    const int64_t own = CounterNow() - t0 - (t2 - t1);
    if (own > 0) Add(counters.ownTicks, static_cast<uint64_t>(own));
  }
  Add(counters.interpolatedDraws);
  Add(counters.particlesInterpolated, live - largeSteps);
  Add(counters.largeSteps, largeSteps);
  RaiseMostLive(live);
  if (LatchOnce(g_particles.activeLogged))
    LogWrite(LogLevel::Info, L"Particle interpolation active on the camera presentation clock.");
  return result;
}

uint64_t Take(std::atomic<uint64_t>& counter) { return counter.exchange(0, std::memory_order_relaxed); }

void ReportCheck() {
  ParticleCounters& counters = g_particles.counters;
  Add(counters.ticks);
  const uint64_t now = GetTickCount64();
  if (g_particles.reportTimeMs == 0) g_particles.reportTimeMs = now;
  if (now - g_particles.reportTimeMs < kReportIntervalMs) return;

  const uint64_t ticks = Take(counters.ticks);
  const uint64_t motion = Take(counters.motionUpdates);
  const uint64_t draws = Take(counters.draws);
  const uint64_t interpolated = Take(counters.interpolatedDraws);
  const uint64_t notRecent = Take(counters.notRecentDraws);
  const uint64_t particles = Take(counters.particlesInterpolated);
  const uint64_t large = Take(counters.largeSteps);
  const uint64_t oversized = Take(counters.oversized);
  const uint64_t overflow = Take(counters.registryOverflow);
  const uint32_t most = counters.mostLive.exchange(0, std::memory_order_relaxed);
  const uint64_t own = Take(counters.ownTicks);
  const double ownMs =
      g_particles.frequency > 0 ? static_cast<double>(own) * 1000.0 / static_cast<double>(g_particles.frequency) : 0.0;
  LogWrite(LogLevel::Info,
           L"Particle interpolation: ticks=" + FormatUnsigned(ticks) + L", emitter motion updates=" + FormatUnsigned(motion) +
               L", emitter draws total/interpolated/not-recently-updated=" + FormatUnsigned(draws) + L"/" +
               FormatUnsigned(interpolated) + L"/" + FormatUnsigned(notRecent) + L", particles interpolated=" +
               FormatUnsigned(particles) + L", large steps left alone=" + FormatUnsigned(large) +
               L", oversized emitters=" + FormatUnsigned(oversized) + L", registry overflow=" + FormatUnsigned(overflow) +
               L", most live particles=" + FormatUnsigned(most) + L", own CPU total=" + FormatBounded(64, L"%f", ownMs) +
               L" ms.");
  g_particles.reportTimeMs = now;
}

void ParticleTickHook(uint64_t, uint64_t) {
  if (!g_particles.enabled.load(std::memory_order_acquire)) return;
  g_particles.particleTick.fetch_add(1, std::memory_order_acq_rel);
  if (g_particles.diagnostics) ReportCheck();
}

void ParticleRenderApply(const ClockSample& sample) {
  if (!g_particles.enabled.load(std::memory_order_acquire)) return;
  if (sample.status != ClockSampleStatus::Interpolated || !std::isfinite(sample.alpha) || sample.alpha < 0.0 ||
      sample.alpha > 1.0)
    return;
  g_particles.alpha.store(static_cast<float>(sample.alpha), std::memory_order_relaxed);
  g_particles.active.store(true, std::memory_order_release);
}

void ParticleRenderRestore() { g_particles.active.store(false, std::memory_order_release); }

DetourSite MotionSite(HMODULE host) {
  return {SiteAddress(host, SiteId::ParticleUpdateMotion), reinterpret_cast<void*>(&MotionDetour),
          reinterpret_cast<void**>(&g_particles.motionOriginal), L"MH_CreateHook(particle motion)"};
}

DetourSite GraphicsSite(HMODULE host) {
  return {SiteAddress(host, SiteId::ParticleGraphicsUpdate), reinterpret_cast<void*>(&GraphicsDetour),
          reinterpret_cast<void**>(&g_particles.graphicsOriginal), L"MH_CreateHook(particle graphics)"};
}

void ClearParticleState() {
  g_particles.enabled.store(false, std::memory_order_release);
  g_particles.active.store(false, std::memory_order_release);
  g_particles.host = nullptr;
  ClearEmitterRegistry(g_particles.registry);
}

}  // namespace

bool InstallParticleInterpolation(HMODULE host, bool diagnostics, std::wstring& message) {
  if (host == nullptr) {
    message = L"Host module is null while installing particle hooks.";
    return false;
  }
  if (!SiteMatches(host, SiteId::ParticleUpdateMotion) || !SiteMatches(host, SiteId::ParticleGraphicsUpdate)) {
    message = L"Particle emitter entry bytes do not match the supported build.";
    return false;
  }
  g_particles.host = host;
  g_particles.diagnostics = diagnostics;
  int64_t frequency = 0;
  g_particles.frequency = ReadPerformanceFrequency(&frequency) ? frequency : 0;
  g_particles.enabled.store(true, std::memory_order_release);

  const DetourSite sites[] = {MotionSite(host), GraphicsSite(host)};
  if (!InstallDetours(sites, 2, L"MH_EnableHook(particles)", message)) {
    ClearParticleState();
    return false;
  }
  SetTickHook(TickHook::Particles, &ParticleTickHook);
  RenderHooks hooks;
  hooks.particleApply = &ParticleRenderApply;
  hooks.particleRestore = &ParticleRenderRestore;
  SetRenderHooks(RenderHookOwner::Particles, hooks);
  return true;
}

void UninstallParticleInterpolation() {
  SetRenderHooks(RenderHookOwner::Particles, RenderHooks{});
  SetTickHook(TickHook::Particles, nullptr);
  g_particles.enabled.store(false, std::memory_order_release);
  g_particles.active.store(false, std::memory_order_release);
  if (g_particles.host != nullptr) {
    const DetourSite sites[] = {GraphicsSite(g_particles.host), MotionSite(g_particles.host)};
    RemoveDetours(sites, 2);
  }
  ClearParticleState();
}
