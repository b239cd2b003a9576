// The scripted entities of each scenario. The game moves an entity only inside a fixed step, by
// calling cLuxEntity::SetMatrix (site 12), which calls the entity's virtual SetMatrix (slot 44,
// site 15), which places every body node; its root is read back through entity GetMatrix
// (site 14), derived from the reference node. What the game expects in every node and root goes
// to the shadow registry, and the renderer's draw log reads the nodes as they are at draw time.
#include "entities.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "draw_log.h"
#include "host_heap.h"
#include "layouts.h"
#include "shadow.h"
#include "world.h"
#include "world_exports.h"

namespace qv {
namespace {

using SetMatrixFn = void (*)(void*, const float*);
using GetMatrixFn = float* (*)(void*, float*);
using SetVarBoolFn = void (*)(void*, const HostString*, bool);

constexpr int kMaxEntities = 720;
constexpr int kMaxNodes = 33;
constexpr size_t kVectorAt = 0xB00;    // the body-node vector's storage, in the entity's page
constexpr size_t kLongNameAt = 0xD00;  // a long name's text, in the entity's page
constexpr size_t kEntityBytes = 0x1000;
constexpr uint64_t kNever = ~uint64_t{0};

enum class Move { Still, Player, Linear, Orbit, Swing, Lift };

struct Motion {
  Move kind = Move::Still;
  float origin[3] = {};  // also the offset from the player
  float velocity[3] = {};
  float radius = 0.0f;
  float rate = 0.0f;  // orbit, swing and lift angular rate; yaw rate of a linear mover
  float phase = 0.0f;
};

// Faults the game itself causes for one entity.
struct Faults {
  uint64_t guard_from = kNever;     // the entity's page guarded between steps from this step on
  uint64_t readonly_from = kNever;  // node pages read-only between steps from this step on
  uint64_t flicker_every = 0;       // renamed back and forth every this many steps
  uint64_t quirk_from = kNever;     // GetMatrix answers from the entity's own matrix
  uint64_t nan_from = kNever, nan_until = 0;
  uint64_t skew_from = kNever, skew_until = 0;
};

// The player picks the item up to look at it: the game sets its "IsHUDVersion" at this step.
constexpr uint64_t kInspectAt = 5;

struct Entity {
  bool live = false;
  bool moving = true;  // set again at every step
  bool guarded = false;        // the entity's own page, until the next step
  bool readonly_nodes = false;  // its node pages, until the next step
  const char* kind = nullptr;  // draw-log kind; null: not tracked
  char id[104] = {};
  char alias[104] = {};  // the other name of a flickering entity
  uint8_t* page = nullptr;
  uint8_t* nodes = nullptr;
  size_t node_bytes = 0;  // 0: the node belongs to a skeleton, not to the entity
  int node_count = 0;
  int reference = 0;  // index of the node the root derives from
  float teleport[3] = {};
  Motion motion;
  Faults faults;
  bool inspected = false;  // "IsHUDVersion" set true at kInspectAt
  int track = -1;
  int node_shadows[kMaxNodes] = {};
  int root_shadow = kShadowNone;
};

struct Entities {
  Entity list[kMaxEntities];
  int count = 0;
  void* class_a[EntityLayout::kVtableSlots] = {};
  void* class_b[EntityLayout::kVtableSlots] = {};      // another recognised class
  void* class_other[EntityLayout::kVtableSlots] = {};  // a class of the game's own setters
  void* class_agent[EntityLayout::kVtableSlots] = {};
  wchar_t node_labels[kMaxNodes][24] = {};
  size_t tracks = 0;
};

Entities& TheEntities() {
  static Entities entities;
  return entities;
}

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

void Pose(float* m, float x, float y, float z, float yaw) {
  float c = std::cos(yaw), s = std::sin(yaw);
  const float v[16] = {c, 0, s, x, 0, 1, 0, y, -s, 0, c, z, 0, 0, 0, 1};
  std::memcpy(m, v, sizeof v);
}

uint8_t* Node(const Entity& e, int i) { return e.nodes + static_cast<size_t>(i) * NodeLayout::kSize; }

void RootAt(const Entity& e, double t, float* m) {
  const Motion& mo = e.motion;
  float p[3] = {mo.origin[0], mo.origin[1], mo.origin[2]};
  float yaw = 0.0f;
  float ft = static_cast<float>(t);
  switch (mo.kind) {
    case Move::Still:
      break;
    case Move::Player: {
      float eye[3];
      PlayerEye(t, eye, &yaw);
      for (int i = 0; i < 3; ++i) p[i] += eye[i];
      break;
    }
    case Move::Linear:
      for (int i = 0; i < 3; ++i) p[i] += mo.velocity[i] * ft;
      yaw = mo.rate * ft;
      break;
    case Move::Orbit:
      p[0] += mo.radius * std::cos(mo.rate * ft + mo.phase);
      p[2] += mo.radius * std::sin(mo.rate * ft + mo.phase);
      yaw = mo.rate * ft;
      break;
    case Move::Swing:  // a door on its hinge
      yaw = 1.2f * std::sin(mo.rate * ft + mo.phase);
      break;
    case Move::Lift:
      p[1] += 2.0f * (1.0f - std::cos(mo.rate * ft + mo.phase));
      break;
  }
  for (int i = 0; i < 3; ++i) p[i] += e.teleport[i];
  Pose(m, p[0], p[1], p[2], yaw);
}

HostString* NameField(const Entity& e) { return reinterpret_cast<HostString*>(At(e.page, EntityLayout::kName)); }

void SetName(const Entity& e, const char* name) {
  MakeHostStringAt(NameField(e), name, reinterpret_cast<char*>(e.page + kLongNameAt));
}

bool ReadRootForCheck(void* entity, void* out) {
  float buffer[16];
  float* got = reinterpret_cast<GetMatrixFn>(SiteAddress(14))(entity, buffer);
  std::memcpy(out, got, sizeof buffer);
  return true;
}

// What the host's SetMatrix leaves in every node and what GetMatrix then reports: the same
// products the host computes, so a match is bitwise.
void ExpectPlacement(const Entity& e, const float* root) {
  float world[16], local[16], reference[16] = {};
  for (int i = 0; i < e.node_count; ++i) {
    std::memcpy(local, Node(e, i) + NodeLayout::kLocal, sizeof local);
    MatrixProduct(world, root, local);
    ShadowWrote(e.node_shadows[i], world);
    if (i == e.reference) std::memcpy(reference, world, sizeof reference);
  }
  float inverse[16], derived[16];
  std::memcpy(inverse, Node(e, e.reference) + NodeLayout::kLocalInverse, sizeof inverse);
  MatrixProduct(derived, reference, inverse);
  ShadowWrote(e.root_shadow, derived);
}

void Place(const Entity& e, const float* root) {
  reinterpret_cast<SetMatrixFn>(SiteAddress(12))(e.page, root);
  ExpectPlacement(e, root);
}

void SetVar(const Entity& e, const char* name, bool value) {
  HostString var;
  MakeHostString(&var, name);
  reinterpret_cast<SetVarBoolFn>(SiteAddress(13))(e.page, &var, value);
}

// Node i sits a little above and beside the root, turned a little: rigid, never the identity.
void Local(int i, float* m) {
  float f = static_cast<float>(i);
  Pose(m, 0.05f * f, 0.3f + 0.25f * f, 0.1f * f, 0.2f * f);
}

struct SpawnShape {
  int nodes = 4;
  bool fallback_only = false;  // no body-node vector: the one node is the fallback node
  bool no_reference = false;   // reference pointer null: the first node is the reference
  uint8_t* node = nullptr;     // with fallback_only: this object (a skeleton) is the node, unplaced
  void** vtable = nullptr;     // null: the common entity class
};

void Track(Entity& e) {
  if (e.kind) e.track = DrawLogTrack(e.kind, e.id);
}

// Builds an entity in pages it owns (or reuses the pages of a freed one) and places it.
int Spawn(const char* kind, const char* name, Motion motion, SpawnShape shape = {}, uint8_t* reuse_page = nullptr) {
  Entities& s = TheEntities();
  if (s.count >= kMaxEntities) return -1;
  int index = s.count++;
  Entity& e = s.list[index];
  e = Entity{};
  e.live = true;
  e.kind = kind;
  std::snprintf(e.id, sizeof e.id, "%s", name);
  e.motion = motion;
  e.node_count = shape.nodes < 1 ? 1 : (shape.nodes > kMaxNodes ? kMaxNodes : shape.nodes);
  if (shape.fallback_only) e.node_count = 1;
  if (reuse_page) {
    RecommitHostPages(reuse_page, kEntityBytes);
    e.page = reuse_page;
  } else {
    e.page = CommitHostPages(kEntityBytes);
  }
  if (shape.fallback_only && shape.node) {
    e.nodes = shape.node;
  } else {
    e.node_bytes = HostPageBytes(static_cast<size_t>(e.node_count) * NodeLayout::kSize);
    e.nodes = CommitHostPages(e.node_bytes);
  }

  Store<void**>(e.page, EntityLayout::kVtable, shape.vtable ? shape.vtable : s.class_a);
  SetName(e, name);
  auto* vars = reinterpret_cast<HostString*>(At(e.page, EntityLayout::kVars));
  MakeHostString(vars, "IsHUDVersion");
  MakeHostString(reinterpret_cast<HostString*>(At(e.page, EntityLayout::kVars + EntityLayout::kVarStride)), "IsOpen");

  void** vector = reinterpret_cast<void**>(e.page + kVectorAt);
  for (int i = 0; i < e.node_count; ++i) {
    uint8_t* node = Node(e, i);
    float local[16], inverse[16];
    if (shape.node) std::memcpy(local, kIdentity, sizeof local);  // a mesh sits on its root
    else Local(i, local);
    RigidInverse(inverse, local);
    std::memcpy(node + NodeLayout::kLocal, local, sizeof local);
    std::memcpy(node + NodeLayout::kLocalInverse, inverse, sizeof inverse);
    vector[i] = node;
  }
  if (shape.fallback_only) {
    Store<void*>(e.page, EntityLayout::kFallbackNode, Node(e, 0));
    e.reference = 0;
  } else {
    Store<void**>(e.page, EntityLayout::kNodesBegin, vector);
    Store<void**>(e.page, EntityLayout::kNodesEnd, vector + e.node_count);
    // The reference node is not the first one, so a root taken from the wrong node shows.
    e.reference = shape.no_reference ? 0 : e.node_count - 1;
    if (!shape.no_reference) Store<void*>(e.page, EntityLayout::kReferenceNode, Node(e, e.reference));
  }

  for (int i = 0; i < e.node_count; ++i)
    e.node_shadows[i] = ShadowTrackMemory({L"entity", e.id, s.node_labels[i]}, Node(e, i) + NodeLayout::kMatrix, 64);
  e.root_shadow = ShadowTrackReader({L"entity", e.id, L"root (GetMatrix)"}, ReadRootForCheck, e.page, 64);
  Track(e);
  float root[16];
  RootAt(e, 0.0, root);
  Place(e, root);
  return index;
}

void Free(Entity& e) {
  if (!e.live) return;
  for (int i = 0; i < e.node_count; ++i) ShadowForget(e.node_shadows[i]);
  ShadowForget(e.root_shadow);
  e.live = false;
  if (e.node_bytes) DecommitHostPages(e.nodes, e.node_bytes);
  DecommitHostPages(e.page, kEntityBytes);
}

// The game's own between-step protections: a guarded entity page (its host code never runs on
// the entity meanwhile) and read-only node pages (its renderer only reads them).
void Guard(Entity& e, bool on) {
  ProtectHostPages(e.page, kEntityBytes, on ? PAGE_READWRITE | PAGE_GUARD : PAGE_READWRITE);
  e.guarded = on;
}

void ReadOnlyNodes(Entity& e, bool on) {
  ProtectHostPages(e.nodes, e.node_bytes, on ? PAGE_READONLY : PAGE_READWRITE);
  e.readonly_nodes = on;
}

Motion Follow(float x, float y, float z) {
  Motion m;
  m.kind = Move::Player;
  m.origin[0] = x, m.origin[1] = y, m.origin[2] = z;
  return m;
}

Motion Linear(float x, float y, float z, float vx, float vy, float vz, float yaw_rate = 0.3f) {
  Motion m;
  m.kind = Move::Linear;
  m.origin[0] = x, m.origin[1] = y, m.origin[2] = z;
  m.velocity[0] = vx, m.velocity[1] = vy, m.velocity[2] = vz;
  m.rate = yaw_rate;
  return m;
}

Motion Orbit(float x, float y, float z, float radius, float rate, float phase = 0.0f) {
  Motion m;
  m.kind = Move::Orbit;
  m.origin[0] = x, m.origin[1] = y, m.origin[2] = z;
  m.radius = radius;
  m.rate = rate;
  m.phase = phase;
  return m;
}

Motion Swing(float x, float y, float z, float rate) {
  Motion m;
  m.kind = Move::Swing;
  m.origin[0] = x, m.origin[1] = y, m.origin[2] = z;
  m.rate = rate;
  return m;
}

Motion Lift(float x, float y, float z, float rate) {
  Motion m;
  m.kind = Move::Lift;
  m.origin[0] = x, m.origin[1] = y, m.origin[2] = z;
  m.rate = rate;
  return m;
}

void Inspected(int index) {
  if (index >= 0) TheEntities().list[index].inspected = true;
}

Entity* Find(const char* id) {
  Entities& s = TheEntities();
  for (int i = s.count - 1; i >= 0; --i)
    if (std::strcmp(s.list[i].id, id) == 0) return &s.list[i];
  return nullptr;
}

void Name(char* out, size_t n, const char* format, int i) { std::snprintf(out, n, format, i); }

// Scenario steady-world: every kind in steady motion, for judder figures.
void SpawnSteady() {
  Spawn("hands", "PlayerHands_Arms", Follow(0.3f, -0.4f, 0.5f));
  Spawn("body", "PlayerBody_Model", Follow(0.0f, -1.6f, 0.0f), {4, false, true});
  Spawn("held", "Lantern_Held", Follow(0.4f, -0.3f, 0.6f), {2});
  Spawn("held", "Satchel_Accessory", Follow(-0.3f, -0.9f, 0.1f), {2});
  Spawn("scripted", "cart_mine", Linear(-10, 0, 5, 2.5f, 0, 0.5f));
  Spawn("scripted", "lift_cabin", Linear(4, 0, -6, 0, 1.5f, 0), {1, true});
  Spawn("scripted", "ferris_car", Orbit(0, 6, 10, 5.0f, 0.6f), {3});
  Spawn("scripted", "carousel_horse", Orbit(8, 0.5f, 4, 3.0f, 1.1f, 1.0f), {3});
  Inspected(Spawn("inspection", "note_letter", Orbit(2, 1.5f, -3, 0.8f, 1.4f), {2}));
}

// Scenario full-load: 282 roots of 4 nodes, all in steady motion.
void SpawnFullLoad() {
  char name[104];
  Spawn("hands", "PlayerHands_Arms", Follow(0.3f, -0.4f, 0.5f));
  Spawn("body", "PlayerBody_Model", Follow(0.0f, -1.6f, 0.0f));
  for (int i = 0; i < 16; ++i) {
    Name(name, sizeof name, i % 2 ? "gear_%02d_Accessory" : "tool_%02d_Held", i);
    Spawn("held", name, Follow(0.1f * static_cast<float>(i % 4) - 0.2f, -0.5f, 0.1f * static_cast<float>(i / 4)));
  }
  for (int i = 0; i < 256; ++i) {
    Name(name, sizeof name, "mover_%03d", i);
    float fi = static_cast<float>(i);
    Spawn("scripted", name, Orbit(std::fmod(fi, 16.0f) * 6.0f - 48.0f, 1.0f, std::floor(fi / 16.0f) * 6.0f - 48.0f,
                                  2.0f, 0.5f + 0.01f * fi, fi));
  }
  for (int i = 0; i < 8; ++i) {
    Name(name, sizeof name, "exhibit_%d", i);
    Inspected(Spawn("inspection", name, Orbit(static_cast<float>(i) * 2.0f, 1.5f, -4, 0.6f, 1.2f, static_cast<float>(i))));
  }
}

// Scenario stress: one past every table the plug-in keeps.
void SpawnStress() {
  char name[104];
  Spawn("hands", "PlayerHands_Arms", Follow(0.3f, -0.4f, 0.5f));
  Spawn("body", "PlayerBody_Model", Follow(0.0f, -1.6f, 0.0f));
  for (int i = 0; i < 17; ++i) {
    Name(name, sizeof name, "item_%02d_Held", i);
    Spawn("held", name, Follow(0.05f * static_cast<float>(i), -0.5f, 0.4f), {2});
  }
  // Ahead of the 257 others, so that it holds a scripted slot.
  Spawn("scripted", "bell_tower_33_nodes", Lift(-20, 0, -20, 0.8f), {33});
  for (int i = 0; i < 257; ++i) {
    Name(name, sizeof name, "prop_%03d", i);
    float fi = static_cast<float>(i);
    Spawn("scripted", name, Orbit(std::fmod(fi, 16.0f) * 5.0f, 0.5f, std::floor(fi / 16.0f) * 5.0f, 1.5f, 0.7f, fi),
          {1, true});
  }
  for (int i = 0; i < 9; ++i) {
    Name(name, sizeof name, "curio_%d", i);
    Inspected(Spawn("inspection", name, Orbit(static_cast<float>(i), 1.5f, -5, 0.5f, 1.0f, static_cast<float>(i)), {2}));
  }
  std::memset(name, 'n', 97);
  name[97] = '\0';
  std::memcpy(name, "banner_", 7);
  Spawn("scripted", name, Linear(0, 3, 0, 0.5f, 0, 0));
}

// Scenario world: every kind the player meets, and the game's own life-cycle events.
void SpawnWorld() {
  Spawn("hands", "PlayerHands_Arms", Follow(0.3f, -0.4f, 0.5f));
  Spawn("body", "PlayerBody_Model", Follow(0.0f, -1.6f, 0.0f), {4, false, true});
  Spawn("held", "Lantern_Held", Follow(0.4f, -0.3f, 0.6f), {2});
  Spawn("held", "Backpack_Accessory", Follow(-0.2f, -0.8f, -0.2f), {2});
  Spawn("scripted", "door_cellar", Swing(6, 0, 2, 1.5f), {3});
  Spawn("scripted", "lift_shaft", Lift(-4, 0, 3, 1.0f), {1, true});
  Spawn("scripted", "cart_mine", Linear(-10, 0, 5, 2.0f, 0, 0.5f));
  Spawn("inspection", "note_letter", Orbit(2, 1.5f, -3, 0.8f, 1.4f), {2});
  Spawn(nullptr, "", Linear(0, 0, -8, 0.5f, 0, 0));  // unnamed
  int statue = Spawn(nullptr, "statue_still", Motion{}, {2});
  if (statue >= 0) TheEntities().list[statue].moving = false;  // placed once, never moved
}

// Scenario faults: what a running game does to objects the plug-in may hold.
void SpawnFaults() {
  Spawn("hands", "PlayerHands_Arms", Follow(0.3f, -0.4f, 0.5f));
  Spawn("body", "PlayerBody_Model", Follow(0.0f, -1.6f, 0.0f));
  Spawn("held", "Torch_Held", Follow(0.4f, -0.3f, 0.6f), {2});
  int e = Spawn("held", "guarded_chest_Held", Follow(-0.4f, -0.3f, 0.6f), {2});
  if (e >= 0) TheEntities().list[e].faults.guard_from = 60;
  e = Spawn("scripted", "readonly_gate", Swing(5, 0, 5, 1.0f), {3});
  if (e >= 0) TheEntities().list[e].faults.readonly_from = 60;
  e = Spawn("held", "flicker_Held", Follow(0.0f, -0.2f, 0.8f), {2});
  if (e >= 0) {
    TheEntities().list[e].faults.flicker_every = 15;
    std::snprintf(TheEntities().list[e].alias, sizeof TheEntities().list[e].alias, "flicker_prop");
  }
  e = Spawn("scripted", "mirror_door", Swing(-5, 0, 5, 1.3f), {3});
  if (e >= 0) TheEntities().list[e].faults.quirk_from = 60;
  e = Spawn("scripted", "nan_lift", Lift(-6, 0, -2, 1.0f), {1, true});
  if (e >= 0) TheEntities().list[e].faults.nan_from = 90, TheEntities().list[e].faults.nan_until = 100;
  e = Spawn("scripted", "skew_crate", Linear(3, 0, -6, 1.0f, 0, 0));
  if (e >= 0) TheEntities().list[e].faults.skew_from = 100, TheEntities().list[e].faults.skew_until = 120;
  Inspected(Spawn("inspection", "note_letter", Orbit(2, 1.5f, -3, 0.8f, 1.4f), {2}));
  Spawn("scripted", "cart_mine", Linear(-10, 0, 5, 2.0f, 0, 0.5f));
}

// Step events of scenario world.
void WorldEvents(uint64_t k) {
  Entities& s = TheEntities();
  if (k == 20) {
    if (Entity* e = Find("note_letter")) SetVar(*e, "IsHUDVersion", true);
    if (Entity* e = Find("door_cellar")) SetVar(*e, "IsOpen", true);
    if (Entity* e = Find("cart_mine")) SetVar(*e, "IsHUDVersion", false);
  }
  if (k == 90)
    if (Entity* e = Find("cart_mine")) e->teleport[0] += 30.0f;
  if (k == 120)
    if (Entity* e = Find("lift_shaft")) SetName(*e, "lift_shaft_upper");
  if (k == 150)
    if (Entity* e = Find("door_cellar")) Store<void**>(e->page, EntityLayout::kVtable, s.class_b);
  if (k == 170)
    if (Entity* e = Find("cart_mine")) Store<void**>(e->page, EntityLayout::kVtable, s.class_other);
  if (k == 180) {
    if (Entity* e = Find("Backpack_Accessory")) Free(*e);
    if (Entity* e = Find("door_cellar")) Free(*e);
  }
  if (k == 190)
    if (Entity* door = Find("door_cellar")) Spawn("scripted", "crate_reused", Linear(6, 0, 2, -1.0f, 0, 0), {}, door->page);
}

// Step events of scenario faults that are not per-entity faults.
void FaultEvents(uint64_t k) {
  if (k == 150)
    if (Entity* e = Find("Torch_Held")) Free(*e);
  if (k == 160)
    if (Entity* torch = Find("Torch_Held")) Spawn("held", "torch_reborn_Held", Follow(0.4f, -0.3f, 0.6f), {2}, torch->page);
  if (k == 170)
    if (Entity* e = Find("note_letter")) Free(*e);
  if (k == 200)
    if (Entity* e = Find("PlayerHands_Arms")) Free(*e);
}

void ApplyMatrixFaults(const Entity& e, uint64_t k, float* m) {
  if (k >= e.faults.nan_from && k < e.faults.nan_until) m[3] = std::nanf("");
  if (k >= e.faults.skew_from && k < e.faults.skew_until) {
    if (k % 2) {
      for (int i = 0; i < 3; ++i) m[i] *= 1.5f;  // stretched along one axis
    } else {
      m[1] += 0.4f;  // sheared
    }
  }
}

}  // namespace

void CreateEntities() {
  Entities& s = TheEntities();
  s.class_a[EntityLayout::kSlotGetMatrix] = SiteAddress(14);
  s.class_a[EntityLayout::kSlotSetMatrix] = SiteAddress(15);
  s.class_b[EntityLayout::kSlotGetMatrix] = SiteAddress(14);
  s.class_b[EntityLayout::kSlotSetMatrix] = SiteAddress(15);
  s.class_other[EntityLayout::kSlotGetMatrix] = reinterpret_cast<void*>(&QvEntityGetMatrix);
  s.class_other[EntityLayout::kSlotSetMatrix] = reinterpret_cast<void*>(&QvEntitySetMatrix);
  s.class_agent[EntityLayout::kSlotGetMatrix] = SiteAddress(14);
  s.class_agent[EntityLayout::kSlotSetMatrix] = SiteAddress(15);
  s.class_agent[EntityLayout::kSlotAgentMesh] = SiteAddress(24);
  s.class_agent[EntityLayout::kSlotAgentUpdate] = SiteAddress(23);
  for (int i = 0; i < kMaxNodes; ++i) std::swprintf(s.node_labels[i], 24, L"node %d matrix", i);
  switch (TheWorld().options.scenario) {
    case Scenario::SteadyWorld: SpawnSteady(); break;
    case Scenario::FullLoad: SpawnFullLoad(); break;
    case Scenario::Stress: SpawnStress(); break;
    case Scenario::World: SpawnWorld(); break;
    case Scenario::Faults: SpawnFaults(); break;
    case Scenario::Full:
    case Scenario::Steady:
    case Scenario::Particles:
    case Scenario::ParticleCost:
    case Scenario::Skeletons:
    case Scenario::SkeletonLoad:
    case Scenario::CameraRide:
    case Scenario::SkeletonFaults: break;  // skeletons.cpp spawns their owners
  }
}

uint8_t* SpawnOwner(const OwnerSpawn& o) {
  Entities& s = TheEntities();
  SpawnShape shape;
  Motion motion;
  motion.origin[0] = o.at[0], motion.origin[1] = o.at[1], motion.origin[2] = o.at[2];
  switch (o.cls) {
    case OwnerClass::Player:
      motion.kind = Move::Player;
      shape.fallback_only = true;
      shape.node = o.skeleton;
      break;
    case OwnerClass::Prop:
      shape.nodes = o.body_nodes;
      shape.fallback_only = o.body_nodes == 0;
      shape.node = o.body_nodes == 0 ? o.skeleton : nullptr;
      break;
    case OwnerClass::Agent:
      shape.fallback_only = true;
      shape.vtable = s.class_agent;
      break;
  }
  int index = Spawn(o.kind, o.name, motion, shape);
  if (index < 0) return nullptr;
  uint8_t* page = s.list[index].page;
  Store<void*>(page, o.cls == OwnerClass::Agent ? EntityLayout::kMesh : EntityLayout::kFallbackNode, o.skeleton);
  return page;
}

void RenameOwner(uint8_t* page, const char* name) {
  Entities& s = TheEntities();
  for (int i = 0; i < s.count; ++i)
    if (s.list[i].live && s.list[i].page == page) SetName(s.list[i], name);
}

void FreeOwner(uint8_t* page) {
  Entities& s = TheEntities();
  for (int i = 0; i < s.count; ++i)
    if (s.list[i].live && s.list[i].page == page) Free(s.list[i]);
}

void EntitiesBeforeCheck() {
  Entities& s = TheEntities();
  for (int i = 0; i < s.count; ++i) {
    Entity& e = s.list[i];
    if (e.live && e.guarded) Guard(e, false);
    if (e.live && e.readonly_nodes) ReadOnlyNodes(e, false);
  }
}

void StepEntities(uint64_t k, double t) {
  Entities& s = TheEntities();
  Scenario scenario = TheWorld().options.scenario;
  if (scenario == Scenario::World) WorldEvents(k);
  if (scenario == Scenario::Faults) FaultEvents(k);
  for (int i = 0; i < s.count; ++i) {
    Entity& e = s.list[i];
    if (!e.live || !e.moving) continue;
    if (e.faults.flicker_every && k % e.faults.flicker_every == 0)
      SetName(e, (k / e.faults.flicker_every) % 2 ? e.alias : e.id);
    if (k == e.faults.quirk_from) Store<uint8_t>(e.page, EntityLayout::kGetterQuirk, 1);
    if (k == kInspectAt && e.inspected) SetVar(e, "IsHUDVersion", true);
    float root[16];
    RootAt(e, t, root);
    ApplyMatrixFaults(e, k, root);
    Place(e, root);
  }
}

void EntitiesAfterStep(uint64_t k) {
  Entities& s = TheEntities();
  if (k == TheWorld().options.tamper_node_tick && s.count > 0 && s.list[0].live) {
    // Outside any step: what a leaked render-time node would look like.
    uint8_t* node = Node(s.list[0], s.list[0].reference);
    Store<float>(node, NodeLayout::kMatrix + 12, Load<float>(node, NodeLayout::kMatrix + 12) + 0.5f);
  }
  for (int i = 0; i < s.count; ++i) {
    Entity& e = s.list[i];
    if (!e.live) continue;
    if (k >= e.faults.guard_from) Guard(e, true);
    if (k >= e.faults.readonly_from) ReadOnlyNodes(e, true);
  }
}

// The renderer places each entity where its reference node says its root is.
void DrawEntities() {
  Entities& s = TheEntities();
  for (int i = 0; i < s.count; ++i) {
    const Entity& e = s.list[i];
    if (!e.live || e.track < 0) continue;
    const uint8_t* node = Node(e, e.reference);
    float matrix[16], inverse[16], root[16];
    std::memcpy(matrix, node + NodeLayout::kMatrix, sizeof matrix);
    std::memcpy(inverse, node + NodeLayout::kLocalInverse, sizeof inverse);
    MatrixProduct(root, matrix, inverse);
    const float xyz[3] = {root[3], root[7], root[11]};
    DrawLogRow(e.track, xyz);
  }
}

}  // namespace qv
