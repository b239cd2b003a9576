#include "particles.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "draw_log.h"
#include "layouts.h"
#include "shadow.h"
#include "world.h"

namespace qv {
namespace {

namespace EmitterLayout {
inline constexpr size_t kParticles = 0x1E0;  // fixed: particle pointer array
inline constexpr size_t kLiveCount = 0x1F8;  // fixed: u32
inline constexpr size_t kCapacity = 0x1FC;   // fixed: u32
inline constexpr size_t kSize = 0x400;       // room for the site counters at 0x340, 0x348
}  // namespace EmitterLayout

namespace ParticleLayout {
inline constexpr size_t kCurrent = 0x00;   // fixed: 3 f32
inline constexpr size_t kPrevious = 0x0C;  // fixed: 3 f32
inline constexpr size_t kSize = 0x30;      // the rest: the game's own
}  // namespace ParticleLayout

constexpr size_t kPositionFloats = 6;      // current, previous: what the leak check compares
constexpr size_t kMaxEmitters = 24;
constexpr int kMaxTracked = 2;
constexpr uint64_t kCrowdSize = 9;
constexpr uint64_t kCrowdStride = 0x8000;  // (address >> 4) mod 2048 repeats every 32 KiB
constexpr uint64_t kBurstSteps = 60;
constexpr uint64_t kFrozenAfterStep = 30;

enum class Motion { Fountain, Burst, Drift };

struct Emitter {
  char name[16];
  Motion motion;
  uint32_t count;
  float origin[3];
  bool worker_drawn;
  bool freeable;     // its memory is the game's to release and take again
  bool frozen;       // stops simulating after kFrozenAfterStep, still drawn
  bool nan_particle; // particle 1 moves to NaN
  void* object;
  uint8_t* pool;
  float* wrote;      // kPositionFloats per particle: what UpdateMotion wrote last
  float* velocity;   // 3 per particle
  uint64_t leaks;    // particles found holding something UpdateMotion did not write
  uint32_t tracked[kMaxTracked];
  int tracks[kMaxTracked];
  int tracked_count;
  float drawn[kMaxTracked][3];
  bool drawn_now[kMaxTracked];
};

struct ParticleWorld {
  Emitter emitters[kMaxEmitters];
  size_t count = 0;
  HANDLE worker_go = nullptr;
  HANDLE worker_done = nullptr;
  float step_seconds = 0.0f;
  bool drawing = false;
};

ParticleWorld& ThePW() {
  static ParticleWorld pw;
  return pw;
}

uint8_t* ParticleAt(const Emitter& e, uint32_t i) { return e.pool + static_cast<size_t>(i) * ParticleLayout::kSize; }

// Host memory for an emitter and its particles. The freeable one is released whole and taken anew.
void AllocateHostSide(Emitter& e, void* object) {
  const size_t pool_bytes = static_cast<size_t>(e.count) * ParticleLayout::kSize;
  const size_t array_bytes = static_cast<size_t>(e.count) * sizeof(void*);
  if (e.freeable) {
    auto* block = static_cast<uint8_t*>(VirtualAlloc(nullptr, EmitterLayout::kSize + array_bytes + pool_bytes,
                                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (block == nullptr) std::abort();
    e.object = block;
    e.pool = block + EmitterLayout::kSize + array_bytes;
  } else {
    e.object = object != nullptr ? object : NewHostObject(EmitterLayout::kSize);
    e.pool = static_cast<uint8_t*>(NewHostObject(pool_bytes + array_bytes));
  }
  auto** array = reinterpret_cast<uint8_t**>(e.freeable ? static_cast<uint8_t*>(e.object) + EmitterLayout::kSize
                                                         : e.pool + pool_bytes);
  for (uint32_t i = 0; i < e.count; ++i) array[i] = ParticleAt(e, i);
  Store<uint8_t**>(e.object, EmitterLayout::kParticles, array);
  Store<uint32_t>(e.object, EmitterLayout::kLiveCount, e.count);
  Store<uint32_t>(e.object, EmitterLayout::kCapacity, e.count);
}

// A fresh particle sits at the origin and has not moved yet.
void Spawn(Emitter& e) {
  for (uint32_t i = 0; i < e.count; ++i) {
    float* w = e.wrote + kPositionFloats * i;
    for (int k = 0; k < 3; ++k) w[k] = w[3 + k] = e.origin[k];
    std::memcpy(ParticleAt(e, i), w, kPositionFloats * sizeof(float));
  }
}

void SetVelocities(Emitter& e) {
  for (uint32_t i = 0; i < e.count; ++i) {
    float* v = e.velocity + 3 * i;
    const float a = 0.37f * static_cast<float>(i);
    switch (e.motion) {
      case Motion::Fountain:  // a couple of units a second: steady and small
        v[0] = 2.0f * std::cos(a);
        v[1] = 1.5f + 0.01f * static_cast<float>(i % 50);
        v[2] = 2.0f * std::sin(a);
        break;
      case Motion::Burst:  // even particles 420 units/s (7 units a 60 Hz step), odd ones 60 units/s
        v[0] = (i % 2 == 0 ? 420.0f : 60.0f) * std::cos(a);
        v[1] = 0.0f;
        v[2] = (i % 2 == 0 ? 420.0f : 60.0f) * std::sin(a);
        break;
      case Motion::Drift:
        v[0] = 1.0f + 0.001f * static_cast<float>(i % 100);
        v[1] = 0.25f;
        v[2] = -0.5f;
        break;
    }
  }
  if (e.nan_particle && e.count > 1) e.velocity[3] = std::numeric_limits<float>::quiet_NaN();
}

Emitter& AddEmitter(const char* name, Motion motion, uint32_t count, float x) {
  ParticleWorld& pw = ThePW();
  Emitter& e = pw.emitters[pw.count++];
  std::snprintf(e.name, sizeof e.name, "%s", name);
  e.motion = motion;
  e.count = count;
  e.origin[0] = x;
  e.origin[1] = 2.0f;
  e.origin[2] = -6.0f;
  e.wrote = static_cast<float*>(NewHostObject(kPositionFloats * sizeof(float) * count));
  e.velocity = static_cast<float*>(NewHostObject(3 * sizeof(float) * count));
  for (int& t : e.tracks) t = -1;
  return e;
}

void Track(Emitter& e, uint32_t index) {
  char id[64];
  std::snprintf(id, sizeof id, "%s:%u", e.name, index);
  e.tracked[e.tracked_count] = index;
  e.tracks[e.tracked_count++] = DrawLogTrack("particle", id);
}

// Particles holding something other than what UpdateMotion wrote last.
uint64_t CountLeaks(const Emitter& e) {
  uint64_t leaks = 0;
  for (uint32_t i = 0; i < e.count; ++i)
    leaks += std::memcmp(ParticleAt(e, i), e.wrote + kPositionFloats * i, kPositionFloats * sizeof(float)) != 0;
  return leaks;
}

bool ReadLeaks(void* object, void* out) {
  const auto* e = static_cast<const Emitter*>(object);
  const uint64_t leaks = e->leaks + CountLeaks(*e);
  std::memcpy(out, &leaks, sizeof leaks);
  return true;
}

Emitter* FindEmitter(void* object) {
  ParticleWorld& pw = ThePW();
  for (size_t i = 0; i < pw.count; ++i)
    if (pw.emitters[i].object == object && object != nullptr) return &pw.emitters[i];
  return nullptr;
}

void DrawThroughSite(Emitter& e) {
  using GraphicsFn = void* (*)(void* emitter, void* target, float value);
  reinterpret_cast<GraphicsFn>(SiteAddress(11))(e.object, TheWorld().engine.scene, ThePW().step_seconds);
}

DWORD WINAPI RenderWorker(void*) {
  ParticleWorld& pw = ThePW();
  for (;;) {
    WaitForSingleObject(pw.worker_go, INFINITE);
    for (size_t i = 0; i < pw.count; ++i)
      if (pw.emitters[i].worker_drawn) DrawThroughSite(pw.emitters[i]);
    SetEvent(pw.worker_done);
  }
}

// At the first draw: the render worker, started only once the plug-in's start-up is over (the
// game watches the threads that start meanwhile).
void StartDrawing() {
  ParticleWorld& pw = ThePW();
  pw.drawing = true;
  pw.worker_go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  pw.worker_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = pw.worker_go && pw.worker_done ? CreateThread(nullptr, 0, &RenderWorker, nullptr, 0, nullptr) : nullptr;
  if (thread != nullptr) CloseHandle(thread);
  else pw.worker_go = nullptr;
}

void Finish(Emitter& e, void* object = nullptr) {
  AllocateHostSide(e, object);
  SetVelocities(e);
  Spawn(e);
}

Emitter* Named(const char* name) {
  ParticleWorld& pw = ThePW();
  for (size_t i = 0; i < pw.count; ++i)
    if (std::strcmp(pw.emitters[i].name, name) == 0) return &pw.emitters[i];
  return nullptr;
}

// Every emitter takes part in the leak check.
void ShadowEveryEmitter() {
  ParticleWorld& pw = ThePW();
  for (size_t i = 0; i < pw.count; ++i) {
    Emitter& e = pw.emitters[i];
    static const wchar_t kKind[] = L"particle";
    static const wchar_t kField[] = L"positions";
    const uint64_t none = 0;
    ShadowWrote(ShadowTrackReader({kKind, e.name, kField}, &ReadLeaks, &e, sizeof none), &none);
  }
}

}  // namespace

void CreateParticles() {
  const Scenario scenario = TheWorld().options.scenario;
  if (scenario == Scenario::ParticleCost) {
    // One emitter of the most particles a draw may blend, drawn on the game thread: what one draw costs.
    Emitter& big = AddEmitter("big4096", Motion::Drift, 4096, 20.0f);
    Finish(big);
    Track(big, 4095);
    ShadowEveryEmitter();
    return;
  }
  if (scenario != Scenario::Particles) return;
  Emitter& fountain = AddEmitter("fountain", Motion::Fountain, 64, 0.0f);
  Emitter& burst = AddEmitter("burst", Motion::Burst, 32, 10.0f);
  Emitter& frozen = AddEmitter("frozen", Motion::Drift, 16, -10.0f);
  frozen.frozen = true;
  Emitter& big = AddEmitter("big4096", Motion::Drift, 4096, 20.0f);
  Emitter& bigger = AddEmitter("big4097", Motion::Drift, 4097, -20.0f);
  Emitter& worker = AddEmitter("worker", Motion::Fountain, 64, 30.0f);
  worker.worker_drawn = true;
  Emitter& overfull = AddEmitter("overfull", Motion::Drift, 16, -30.0f);
  Emitter& noarray = AddEmitter("noarray", Motion::Drift, 16, 40.0f);
  Emitter& respawn = AddEmitter("respawn", Motion::Drift, 16, -40.0f);
  respawn.freeable = true;
  Emitter& nan = AddEmitter("nan", Motion::Drift, 16, 50.0f);
  nan.nan_particle = true;
  for (Emitter* e : {&fountain, &burst, &frozen, &big, &bigger, &worker, &overfull, &noarray, &respawn, &nan}) Finish(*e);

  // Nine emitters whose addresses share one home slot of the plug-in's registry.
  auto* crowd_block = static_cast<uint8_t*>(NewHostObject(kCrowdSize * kCrowdStride));
  for (uint64_t i = 0; i < kCrowdSize; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "crowd%llu", static_cast<unsigned long long>(i));
    Finish(AddEmitter(name, Motion::Drift, 8, 60.0f + static_cast<float>(i)), crowd_block + i * kCrowdStride);
  }

  Track(fountain, 0);
  Track(fountain, 1);
  Track(burst, 0);
  Track(burst, 1);
  Track(frozen, 0);
  Track(big, 4095);
  Track(bigger, 4096);
  Track(worker, 0);
  Track(*Named("crowd0"), 0);
  Track(*Named("crowd8"), 0);
  Track(nan, 0);
  Track(overfull, 0);
  Track(noarray, 0);
  Track(respawn, 0);
  ShadowEveryEmitter();
}


void ParticlesBeforeCheck() {
  ParticleWorld& pw = ThePW();
  for (size_t i = 0; i < pw.count; ++i) {
    Emitter& e = pw.emitters[i];
    auto** array = reinterpret_cast<uint8_t**>(e.freeable ? static_cast<uint8_t*>(e.object) + EmitterLayout::kSize
                                                           : e.pool + static_cast<size_t>(e.count) * ParticleLayout::kSize);
    Store<uint8_t**>(e.object, EmitterLayout::kParticles, array);
    Store<uint32_t>(e.object, EmitterLayout::kLiveCount, e.count);
  }
}

void StepParticles(uint64_t step, double step_seconds) {
  ParticleWorld& pw = ThePW();
  pw.step_seconds = static_cast<float>(step_seconds);
  using MotionFn = void (*)(void* emitter, const void* a, void* b, void* c);
  for (size_t i = 0; i < pw.count; ++i) {
    Emitter& e = pw.emitters[i];
    if (e.frozen && step > kFrozenAfterStep) continue;
    if (e.motion == Motion::Burst && step % kBurstSteps == 0) Spawn(e);
    reinterpret_cast<MotionFn>(SiteAddress(10))(e.object, &pw.step_seconds, nullptr, nullptr);
  }
}

void ParticlesAfterStep(uint64_t step) {
  if (TheWorld().options.scenario != Scenario::Particles) return;
  // The game's own bugs, each for one step now and then.
  if (step % 40 == 10) Store<uint32_t>(Named("overfull")->object, EmitterLayout::kLiveCount, 16 + 3);
  if (step % 40 == 20) Store<uint8_t**>(Named("noarray")->object, EmitterLayout::kParticles, nullptr);
  if (step % 60 == 30) {
    // Freed while the plug-in may still have it registered; the next one often gets its address.
    Emitter& e = *Named("respawn");
    VirtualFree(e.object, 0, MEM_RELEASE);
    Finish(e);
  }
}

void ParticleUpdateMotion(void* object, const void* step_seconds) {
  Emitter* e = FindEmitter(object);
  if (e == nullptr || step_seconds == nullptr) return;
  const float dt = *static_cast<const float*>(step_seconds);
  // The leak check: the particles must hold exactly what this function wrote last.
  e->leaks += CountLeaks(*e);
  for (uint32_t i = 0; i < e->count; ++i) {
    float* w = e->wrote + kPositionFloats * i;
    const float* v = e->velocity + 3 * i;
    float next[kPositionFloats];
    std::memcpy(next, ParticleAt(*e, i), sizeof next);
    for (int k = 0; k < 3; ++k) {
      next[3 + k] = next[k];
      next[k] = next[k] + v[k] * dt;
    }
    std::memcpy(w, next, sizeof next);
    std::memcpy(ParticleAt(*e, i), next, sizeof next);
  }
}

void ParticleGraphicsUpdate(void* object) {
  Emitter* e = FindEmitter(object);
  if (e == nullptr) return;
  // The host's way: what the array and the live count say, never past the capacity.
  auto** array = Load<uint8_t**>(object, EmitterLayout::kParticles);
  uint32_t live = Load<uint32_t>(object, EmitterLayout::kLiveCount);
  const uint32_t capacity = Load<uint32_t>(object, EmitterLayout::kCapacity);
  if (array == nullptr) return;
  if (live > capacity) live = capacity;
  volatile float touched = 0.0f;
  for (uint32_t i = 0; i < live; ++i) touched = touched + Load<float>(array[i], ParticleLayout::kCurrent);
  for (int t = 0; t < e->tracked_count; ++t) {
    if (e->tracked[t] >= live) continue;
    std::memcpy(e->drawn[t], array[e->tracked[t]] + ParticleLayout::kCurrent, sizeof e->drawn[t]);
    e->drawn_now[t] = true;
  }
}

void DrawParticles() {
  ParticleWorld& pw = ThePW();
  if (pw.count == 0) return;
  if (!pw.drawing) StartDrawing();
  // The render worker draws its share while this thread draws the rest.
  const bool worker = pw.worker_go != nullptr;
  if (worker) SetEvent(pw.worker_go);
  for (size_t i = 0; i < pw.count; ++i)
    if (!pw.emitters[i].worker_drawn || !worker) DrawThroughSite(pw.emitters[i]);
  if (worker) WaitForSingleObject(pw.worker_done, INFINITE);
  for (size_t i = 0; i < pw.count; ++i) {
    Emitter& e = pw.emitters[i];
    for (int t = 0; t < e.tracked_count; ++t) {
      if (!e.drawn_now[t]) continue;
      DrawLogRow(e.tracks[t], e.drawn[t]);
      e.drawn_now[t] = false;
    }
  }
}

}  // namespace qv
