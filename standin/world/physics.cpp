// The physics world of each scenario. Each loose body is a Newton body whose user data is the
// game's body object (name at +16, matrix at +72, Newton body at +688); Newton's worker threads
// report moved bodies to the host's transform callback (site 21), which copies the matrix into
// the body object. The game expects every body object to hold Newton's matrix of the last step.
#include "physics.h"

#include <cstdio>
#include <cstring>

#include "draw_log.h"
#include "host_heap.h"
#include "layouts.h"
#include "newton_api.h"
#include "shadow.h"
#include "world.h"

namespace qv {
namespace {

constexpr int kMaxBodies = 300;
constexpr float kGravity = 9.8f;

struct Body {
  bool live = false;
  char id[104] = {};
  uint8_t* object = nullptr;  // its own page
  NewtonBody* newton = nullptr;
  int track = -1;
  int shadow = kShadowNone;
};

struct Physics {
  NewtonWorld* world = nullptr;
  Body list[kMaxBodies];
  int count = 0;
};

Physics& ThePhysics() {
  static Physics physics;
  return physics;
}

void Pose(float* m, float x, float y, float z) {
  const float v[16] = {1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, z, 0, 0, 0, 1};
  std::memcpy(m, v, sizeof v);
}

void SetBodyName(const Body& b, const char* name) {
  MakeHostStringAt(reinterpret_cast<HostString*>(b.object + BodyLayout::kName), name,
                   reinterpret_cast<char*>(b.object + BodyLayout::kLongName));
}

struct Launch {
  float position[3];
  float velocity[3];
  float omega;
  float gravity;
  float friction;
};

int AddBody(const char* name, const Launch& l) {
  Physics& p = ThePhysics();
  if (p.count >= kMaxBodies) return -1;
  int index = p.count++;
  Body& b = p.list[index];
  b.live = true;
  std::snprintf(b.id, sizeof b.id, "%s", name);
  b.object = CommitHostPages(BodyLayout::kSize);
  float m[16];
  Pose(m, l.position[0], l.position[1], l.position[2]);
  b.newton = NewtonCreateDynamicBody(p.world, nullptr, m);
  NewtonBodySetUserData(b.newton, b.object);
  NewtonBodySetTransformCallback(b.newton, reinterpret_cast<NewtonSetTransform>(SiteAddress(21)));
  NewtonBodySetMaterial(b.newton, l.gravity, l.friction, 0.0f);
  NewtonBodySetVelocity(b.newton, l.velocity);
  const float omega[3] = {0, l.omega, 0};
  NewtonBodySetOmega(b.newton, omega);
  SetBodyName(b, name);
  std::memcpy(b.object + BodyLayout::kMatrix, m, sizeof m);
  Store<NewtonBody*>(b.object, BodyLayout::kNewtonBody, b.newton);
  b.shadow = ShadowTrackMemory({L"physics body", b.id, L"matrix"}, b.object + BodyLayout::kMatrix, 64);
  ShadowWrote(b.shadow, m);
  b.track = DrawLogTrack("newton", b.id);
  return index;
}

// Sliding forever at a steady speed, turning steadily: judder figures and full load.
Launch Glide(float x, float z, float vx, float vz) { return {{x, 0.5f, z}, {vx, 0, vz}, 0.8f, 0.0f, 0.0f}; }

void AddGliders(int n, const char* format) {
  char name[104];
  for (int i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, format, i);
    float fi = static_cast<float>(i);
    AddBody(name, Glide(static_cast<float>(i % 16) * 4.0f - 32.0f, static_cast<float>(i / 16) * 4.0f - 32.0f,
                        1.0f + 0.01f * fi, 0.5f - 0.005f * fi));
  }
}

Body* Find(const char* id) {
  Physics& p = ThePhysics();
  for (int i = 0; i < p.count; ++i)
    if (std::strcmp(p.list[i].id, id) == 0) return &p.list[i];
  return nullptr;
}

// The game destroys the body and frees its object; the plug-in may still hold either.
void Destroy(Body* b) {
  if (!b || !b->live) return;
  b->live = false;
  ShadowForget(b->shadow);
  NewtonDestroyBody(b->newton);
  DecommitHostPages(b->object, BodyLayout::kSize);
}

}  // namespace

// Distinct threads the transform callback ran on (the game thread would be a fault of Newton's).
void NoteCallbackThread() {
  static volatile LONG seen[8] = {};
  LONG id = static_cast<LONG>(GetCurrentThreadId());
  for (volatile LONG& slot : seen) {
    LONG old = InterlockedCompareExchange(&slot, id, 0);
    if (old == 0) {
      InterlockedIncrement(&TheWorld().callback_threads);
      return;
    }
    if (old == id) return;
  }
}

void CreatePhysics() {
  Physics& p = ThePhysics();
  Scenario scenario = TheWorld().options.scenario;
  if (scenario == Scenario::Full || scenario == Scenario::Steady) return;
  p.world = NewtonCreate();
  switch (scenario) {
    case Scenario::SteadyWorld:
      AddGliders(4, "crate_glide_%d");
      break;
    case Scenario::FullLoad:
      AddGliders(256, "debris_%03d");
      break;
    case Scenario::Stress:
      AddGliders(257, "rubble_%03d");
      break;
    case Scenario::World:
      AddBody("barrel_falling", {{2, 6, -4}, {0, 0, 0}, 0, kGravity, 3.0f});
      AddBody("box_sliding", {{-3, 0, -5}, {4, 0, 1}, 1.5f, kGravity, 2.0f});
      AddBody("rock_resting", {{1, 0, -7}, {0, 0, 0}, 0, kGravity, 2.0f});
      AddBody("ball_rolling", {{-6, 0.3f, 2}, {1.0f, 0, 1.0f}, 2.0f, 0, 0});
      break;
    case Scenario::Faults:
      AddGliders(8, "shard_%d");
      break;
    case Scenario::Full:
    case Scenario::Steady:
    case Scenario::Particles:
    case Scenario::ParticleCost:
    case Scenario::Skeletons:
    case Scenario::SkeletonLoad:
    case Scenario::CameraRide:
    case Scenario::SkeletonFaults:
      break;  // ragdoll bodies come with their props (skeletons.cpp)
  }
}

uint8_t* AddRagdollBody(const char* name, const float* at, float vx, float vz, float omega) {
  if (!ThePhysics().world) ThePhysics().world = NewtonCreate();
  int index = AddBody(name, {{at[0], at[1], at[2]}, {vx, 0, vz}, omega, 0.0f, 0.0f});
  return index < 0 ? nullptr : ThePhysics().list[index].object;
}

void StepPhysics(uint64_t k, double step_seconds) {
  Physics& p = ThePhysics();
  if (!p.world) return;
  NewtonUpdate(p.world, static_cast<float>(step_seconds));
  for (int i = 0; i < p.count; ++i) {
    Body& b = p.list[i];
    if (!b.live) continue;
    float m[16];
    NewtonBodyGetMatrix(b.newton, m);
    ShadowWrote(b.shadow, m);
  }
  if (TheWorld().options.scenario != Scenario::Faults) return;
  // Within the step, after the callback: the plug-in saw the body move, and it is gone by the tick.
  if (k == 115) Destroy(Find("shard_1"));
  if (k == 140) SetBodyName(*Find("shard_2"), "shard_2_split");
  if (k == 160) {
    // The object now belongs to another Newton body: not the one that moved it.
    Body* a = Find("shard_3");
    Body* other = Find("shard_4");
    if (a && other && a->live && other->live) Store<NewtonBody*>(a->object, BodyLayout::kNewtonBody, other->newton);
  }
}

void PhysicsAfterStep(uint64_t k) {
  Scenario scenario = TheWorld().options.scenario;
  Physics& p = ThePhysics();
  if (k == TheWorld().options.tamper_body_tick && p.count > 0 && p.list[0].live)
    Store<float>(p.list[0].object, BodyLayout::kMatrix + 12, Load<float>(p.list[0].object, BodyLayout::kMatrix + 12) + 0.5f);
  // Between the tick and the frames drawn after it.
  if (scenario == Scenario::World && k == 200) Destroy(Find("ball_rolling"));
  if (scenario == Scenario::Faults && (k == 100 || k == 130)) Destroy(Find(k == 100 ? "shard_0" : "shard_5"));
}

void DrawBodies() {
  Physics& p = ThePhysics();
  for (int i = 0; i < p.count; ++i) {
    const Body& b = p.list[i];
    if (!b.live || b.track < 0) continue;
    const float xyz[3] = {Load<float>(b.object, BodyLayout::kMatrix + 12), Load<float>(b.object, BodyLayout::kMatrix + 28),
                          Load<float>(b.object, BodyLayout::kMatrix + 44)};
    DrawLogRow(b.track, xyz);
  }
}

}  // namespace qv
