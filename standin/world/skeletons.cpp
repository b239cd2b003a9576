// The skeletons of each scenario. The game animates them inside fixed steps only: the player's
// body and hands from the game thread, props and agents from their own update functions (sites
// 22 and 23), every bone through cBoneState SetMatrix (site 19). What it wrote in each bone and
// in each skeleton's node matrix goes to the shadow registry; the renderer draws the bones as it
// finds them at draw time.
#include "skeletons.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "draw_log.h"
#include "entities.h"
#include "host_heap.h"
#include "layouts.h"
#include "physics.h"
#include "shadow.h"
#include "world.h"

namespace qv {
namespace {

using BoneSetFn = void (*)(void*, const float*, bool);
using NodeChangedFn = void (*)(void*, bool);
using PropUpdateFn = void (*)(void*, void*, void*, void*);
using AgentUpdateFn = void (*)(void*, float, void*, void*);

constexpr int kMaxSkeletons = 48;
constexpr int kMaxBones = 257;
constexpr int kMaxTracked = 4;
constexpr uint64_t kNever = ~uint64_t{0};
constexpr double kTwoPi = 6.283185307179586;
constexpr double kStride = kTwoPi * 1.1;  // walk cycles per second, in radians
constexpr int kHead = 5;                  // of every humanoid rig
constexpr float kJump = 10.0f;

enum class Owner { Body, Hands, Prop, Agent };

// How one bone moves: rest offset from its parent, then a swing about one axis.
struct Rig {
  int parent = -1;
  int axis = 0;
  float offset[3] = {};
  float amp = 0.0f;
  float rate = 0.0f;
  float phase = 0.0f;
  float cos_phase = 1.0f, sin_phase = 0.0f;
  float bob = 0.0f;  // an up-down of the root at twice the rate
};

// sin and cos of rate * t for the few rates of one skeleton, once per step: thousands of bones
// share them.
struct Beat {
  float rate[8] = {};
  double sin[8] = {}, cos[8] = {};
  int count = 0;
  double t = 0.0;
  void Of(float r, double* s, double* c) {
    for (int i = 0; i < count; ++i)
      if (rate[i] == r) {
        *s = sin[i], *c = cos[i];
        return;
      }
    *s = std::sin(r * t), *c = std::cos(r * t);
    if (count < 8) rate[count] = r, sin[count] = *s, cos[count] = *c, ++count;
  }
};

struct Faults {
  uint64_t grow_from = kNever, grow_until = 0;      // one bone more than the host supports
  uint64_t hollow_from = kNever, hollow_until = 0;  // the bone vector empty
  uint64_t readonly_from = kNever;                  // bone pages read-only between steps
  uint64_t rename_at = kNever;
  uint64_t free_at = kNever;
  uint64_t jump_at = kNever;  // from here on one bone stands kJump units off
  int jump_bone = -1;
  uint64_t skip_at = kNever;  // the game skips the owner's update in this step
  int misorder_bone = -1;     // parented to a bone listed after it
};

struct Skeleton {
  bool live = false;
  Owner owner = Owner::Prop;
  char id[104] = {};
  char alias[104] = {};
  uint8_t* entity = nullptr;
  uint8_t* object = nullptr;
  size_t object_bytes = 0;
  uint8_t* bones = nullptr;
  size_t bone_bytes = 0;
  int count = 0;     // bones in the vector in ordinary life
  int capacity = 0;  // bones allocated
  int active = 0;    // bones in the vector now
  bool readonly = false;
  Rig rig[kMaxBones];
  int bone_shadows[kMaxBones] = {};
  int node_shadow = kShadowNone;  // props and agents: the game writes their node matrix itself
  uint8_t* physics = nullptr;     // a prop's body object: its root bone rides it
  float home[3] = {};             // a prop's place; an agent's circle centre
  float radius = 0.0f, rate = 0.0f;
  Faults faults;
  int tracks[kMaxTracked] = {-1, -1, -1, -1};
  int tracked[kMaxTracked] = {};
  float world[kMaxBones][16] = {};
  uint32_t pass[kMaxBones] = {};
  uint32_t pass_now = 0;
};

struct Skeletons {
  Skeleton list[kMaxSkeletons];
  int count = 0;
  wchar_t labels[kMaxBones][24] = {};
  int body = -1;
};

Skeletons& TheSkeletons() {
  static Skeletons skeletons;
  return skeletons;
}

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

uint8_t* Bone(const Skeleton& s, int i) { return s.bones + static_cast<size_t>(i) * BoneLayout::kSize; }
void** Vector(const Skeleton& s) { return reinterpret_cast<void**>(s.object + SkeletonLayout::kVector); }

void Rotate(float* m, int axis, float c, float s, const float* offset) {
  std::memcpy(m, kIdentity, sizeof kIdentity);
  int a = (axis + 1) % 3, b = (axis + 2) % 3;
  m[a * 4 + a] = c, m[a * 4 + b] = -s;
  m[b * 4 + a] = s, m[b * 4 + b] = c;
  m[3] = offset[0], m[7] = offset[1], m[11] = offset[2];
}

// Swing angles stay within 1 rad, where these series are exact to far below float precision.
double SmallSin(double a) {
  double a2 = a * a;
  return a * (1 - a2 / 6 * (1 - a2 / 20 * (1 - a2 / 42 * (1 - a2 / 72 * (1 - a2 / 110)))));
}
double SmallCos(double a) {
  double a2 = a * a;
  return 1 - a2 / 2 * (1 - a2 / 12 * (1 - a2 / 30 * (1 - a2 / 56 * (1 - a2 / 90 * (1 - a2 / 132)))));
}

// Rotation by angle about one axis, then the offset as translation: rigid by construction.
void Swing(float* m, int axis, double angle, const float* offset) {
  float c = static_cast<float>(std::cos(angle)), s = static_cast<float>(std::sin(angle));
  Rotate(m, axis, c, s, offset);
}

void Translation(float* m, float x, float y, float z) {
  std::memcpy(m, kIdentity, sizeof kIdentity);
  m[3] = x, m[7] = y, m[11] = z;
}

Rig Limb(int parent, float x, float y, float z, int axis, float amp, float phase) {
  Rig r;
  r.parent = parent;
  r.axis = axis;
  r.offset[0] = x, r.offset[1] = y, r.offset[2] = z;
  r.amp = amp;
  r.rate = static_cast<float>(kStride);
  r.phase = phase;
  r.cos_phase = std::cos(phase), r.sin_phase = std::sin(phase);
  return r;
}

// Pelvis, spine, neck and head (kHead), two arms, two legs, then fingers, toes and straps in
// chains hanging off the hands, feet, head and chest: every parent before its children.
void Humanoid(Skeleton& s, int n) {
  const float pi = 3.14159265f;
  Rig* r = s.rig;
  r[0] = Limb(-1, 0, 0.95f, 0, 0, 0.04f, 0);
  r[0].bob = 0.03f;
  r[1] = Limb(0, 0, 0.12f, 0, 1, 0.08f, pi);
  r[2] = Limb(1, 0, 0.12f, 0, 1, 0.05f, pi);
  r[3] = Limb(2, 0, 0.12f, 0, 2, 0.03f, 0);
  r[4] = Limb(3, 0, 0.14f, 0, 0, 0.04f, 0.5f);
  r[5] = Limb(4, 0, 0.1f, 0.02f, 0, 0.07f, 1.0f);
  for (int side = 0; side < 2; ++side) {
    float sx = side ? -1.0f : 1.0f, ph = side ? 0.0f : pi;
    int a = 6 + side * 4, l = 14 + side * 4;
    r[a] = Limb(3, 0.17f * sx, 0.04f, 0, 2, 0.05f, ph);
    r[a + 1] = Limb(a, 0.1f * sx, 0, 0, 0, 0.5f, ph);
    r[a + 2] = Limb(a + 1, 0, -0.28f, 0, 0, 0.3f, ph + 0.6f);
    r[a + 3] = Limb(a + 2, 0, -0.25f, 0.01f, 1, 0.2f, ph);
    r[l] = Limb(0, 0.1f * sx, -0.05f, 0, 1, 0.05f, ph);
    r[l + 1] = Limb(l, 0, -0.1f, 0, 0, 0.6f, pi - ph);
    r[l + 2] = Limb(l + 1, 0, -0.42f, 0, 0, 0.4f, pi - ph + 0.9f);
    r[l + 3] = Limb(l + 2, 0, -0.42f, 0.05f, 0, 0.25f, pi - ph);
  }
  const int bases[6] = {9, 13, 17, 21, kHead, 3};
  for (int i = 22; i < n; ++i) {
    int parent = i - 6 >= 22 ? i - 6 : bases[(i - 22) % 6];
    float fi = static_cast<float>(i);
    r[i] = Limb(parent, 0.01f * std::cos(fi), 0.02f, 0.01f * std::sin(fi), i % 3, 0.15f, 0.37f * fi);
  }
}

// A ragdoll: the root bone rides the physics body; the rest, a binary tree, flops about.
void Ragdoll(Skeleton& s, int n) {
  for (int i = 1; i < n; ++i) {
    float fi = static_cast<float>(i);
    s.rig[i] = Limb((i - 1) / 2, 0.12f * std::cos(fi), 0.1f, 0.12f * std::sin(fi), i % 3, 0.35f, 0.7f * fi);
    s.rig[i].rate = 2.5f + 0.1f * static_cast<float>(i % 7);
  }
}

void PlacementAt(float* m, const float* at) { Translation(m, at[0], at[1], at[2]); }

// The bone-local matrix the game sets at the beat's time.
void Local(const Skeleton& s, int i, Beat& beat, float* m) {
  const Rig& r = s.rig[i];
  if (i == 0 && s.owner == Owner::Prop && s.physics) {
    float node[16], inverse[16], body[16];
    std::memcpy(node, s.object + SkeletonLayout::kNodeMatrix, sizeof node);
    std::memcpy(body, s.physics + BodyLayout::kMatrix, sizeof body);
    RigidInverse(inverse, node);
    MatrixProduct(m, inverse, body);
  } else {
    double sin_rt, cos_rt;
    beat.Of(r.rate, &sin_rt, &cos_rt);
    float offset[3] = {r.offset[0], r.offset[1], r.offset[2]};
    if (r.bob != 0.0f) offset[1] += r.bob * static_cast<float>(2.0 * sin_rt * cos_rt);
    double angle = r.amp * (sin_rt * r.cos_phase + cos_rt * r.sin_phase);
    Rotate(m, r.axis, static_cast<float>(SmallCos(angle)), static_cast<float>(SmallSin(angle)), offset);
  }
  if (i == s.faults.jump_bone && TheWorld().steps + 1 >= s.faults.jump_at) m[3] += kJump;
}

void SetVectorLength(Skeleton& s, int n) {
  void** v = Vector(s);
  Store<void**>(s.object, SkeletonLayout::kBonesBegin, v);
  Store<void**>(s.object, SkeletonLayout::kBonesEnd, v + n);
  s.active = n;
}

void WriteBones(Skeleton& s, double t) {
  auto set = reinterpret_cast<BoneSetFn>(SiteAddress(19));
  float m[16];
  Beat beat;
  beat.t = t;
  for (int i = 0; i < s.active; ++i) {
    Local(s, i, beat, m);
    set(Bone(s, i), m, false);
    ShadowWrote(s.bone_shadows[i], m);
  }
  reinterpret_cast<NodeChangedFn>(SiteAddress(18))(s.object, true);
}

void Track(Skeleton& s, int slot, int bone) {
  if (bone < 0 || bone >= s.count) return;
  char id[128];
  std::snprintf(id, sizeof id, "%s:%d", s.id, bone);
  s.tracked[slot] = bone;
  s.tracks[slot] = DrawLogTrack("bone", id);
}

struct Recipe {
  Owner owner = Owner::Prop;
  const char* name = "";
  const char* root_kind = nullptr;
  int bones = 24;
  int capacity = 0;  // 0: as many as bones
  float at[3] = {};
  int body_nodes = 1;
  float velocity[2] = {};  // a prop's body; an agent's circle: radius, rate
};

// Builds the skeleton object and its bones in pages of their own, then the owning entity.
Skeleton* Spawn(const Recipe& recipe) {
  Skeletons& all = TheSkeletons();
  if (all.count >= kMaxSkeletons) return nullptr;
  Skeleton& s = all.list[all.count];
  uint32_t record = static_cast<uint32_t>(all.count + 1);
  ++all.count;
  s.live = true;
  s.owner = recipe.owner;
  std::snprintf(s.id, sizeof s.id, "%s", recipe.name);
  s.count = recipe.bones;
  s.capacity = recipe.capacity > recipe.bones ? recipe.capacity : recipe.bones;
  std::memcpy(s.home, recipe.at, sizeof s.home);

  s.object_bytes = HostPageBytes(SkeletonLayout::kSize);
  s.object = CommitHostPages(s.object_bytes);
  Store<uint64_t>(s.object, SkeletonLayout::kTag, SkeletonLayout::kSkeletonTag);
  Store<uint8_t>(s.object, SkeletonLayout::kDirty, 1);
  float node[16];
  if (recipe.owner == Owner::Prop) PlacementAt(node, recipe.at);
  else std::memcpy(node, kIdentity, sizeof node);
  std::memcpy(s.object + SkeletonLayout::kNodeMatrix, node, sizeof node);

  s.bone_bytes = HostPageBytes(static_cast<size_t>(s.capacity) * BoneLayout::kSize);
  s.bones = CommitHostPages(s.bone_bytes);
  if (recipe.owner == Owner::Prop) Ragdoll(s, s.capacity);
  else Humanoid(s, s.capacity);
  if (s.faults.misorder_bone >= 0) s.rig[s.faults.misorder_bone].parent = s.faults.misorder_bone + 2;
  void** v = Vector(s);
  for (int i = 0; i < s.capacity; ++i) {
    uint8_t* b = Bone(s, i);
    v[i] = b;
    Store<void*>(b, BoneLayout::kSkeleton, s.object);
    Store<void*>(b, BoneLayout::kParent, s.rig[i].parent >= 0 ? Bone(s, s.rig[i].parent) : nullptr);
    // Empty lists point back at their sentinels; some bones carry a node or a child in theirs.
    uint8_t* attached = b + BoneLayout::kAttachedSentinel;
    uint8_t* children = b + BoneLayout::kChildSentinel;
    Store<void*>(b, BoneLayout::kAttached, attached);
    Store<void*>(b, BoneLayout::kChildren, children);
    Store<void*>(attached, 0, attached), Store<void*>(attached, 8, attached);
    Store<void*>(children, 0, children), Store<void*>(children, 8, children);
    auto link = [](uint8_t* sentinel, uint8_t* element, void* payload) {
      Store<void*>(element, 0, sentinel), Store<void*>(element, 8, sentinel), Store<void*>(element, 16, payload);
      Store<void*>(sentinel, 0, element), Store<void*>(sentinel, 8, element);
    };
    if (i % 4 == 3) link(attached, b + BoneLayout::kAttachedElement, s.object);
    for (int c = i + 1; c < s.capacity; ++c)
      if (s.rig[c].parent == i) {
        link(children, b + BoneLayout::kChildElement, Bone(s, c));
        break;
      }
    s.bone_shadows[i] = ShadowTrackMemory({L"bone", s.id, all.labels[i]}, b + BoneLayout::kMatrix, 64);
  }
  SetVectorLength(s, s.count);

  if (recipe.owner == Owner::Prop) {
    char body[128];
    std::snprintf(body, sizeof body, "%s_pelvis", recipe.name);
    s.physics = AddRagdollBody(body, recipe.at, recipe.velocity[0], recipe.velocity[1], 0.6f);
  }
  if (recipe.owner == Owner::Agent) s.radius = recipe.velocity[0], s.rate = recipe.velocity[1];
  if (recipe.owner == Owner::Prop || recipe.owner == Owner::Agent) {
    s.node_shadow = ShadowTrackMemory({L"skeleton", s.id, L"node matrix"}, s.object + SkeletonLayout::kNodeMatrix, 64);
    ShadowWrote(s.node_shadow, node);
  }

  OwnerSpawn o;
  o.kind = recipe.root_kind;
  o.name = recipe.name;
  o.cls = recipe.owner == Owner::Agent ? OwnerClass::Agent
          : recipe.owner == Owner::Prop ? OwnerClass::Prop : OwnerClass::Player;
  std::memcpy(o.at, recipe.at, sizeof o.at);
  o.body_nodes = recipe.owner == Owner::Prop ? recipe.body_nodes : 0;
  o.skeleton = s.object;
  s.entity = SpawnOwner(o);
  if (s.entity) Store<uint32_t>(s.entity, EntityLayout::kSkeletal, record);
  WriteBones(s, 0.0);
  return &s;
}

Skeleton* FromEntity(void* entity) {
  uint32_t record = Load<uint32_t>(entity, EntityLayout::kSkeletal);
  if (record == 0 || record > static_cast<uint32_t>(TheSkeletons().count)) return nullptr;
  Skeleton& s = TheSkeletons().list[record - 1];
  return s.live && s.entity == entity ? &s : nullptr;
}

void ReadOnly(Skeleton& s, bool on) {
  ProtectHostPages(s.bones, s.bone_bytes, on ? PAGE_READONLY : PAGE_READWRITE);
  s.readonly = on;
}

// The game frees a prop that the plug-in may hold: entity, skeleton and bones.
void Free(Skeleton& s) {
  if (!s.live) return;
  s.live = false;
  for (int i = 0; i < s.capacity; ++i) ShadowForget(s.bone_shadows[i]);
  ShadowForget(s.node_shadow);
  if (s.entity) {
    Store<uint32_t>(s.entity, EntityLayout::kSkeletal, 0);
    FreeOwner(s.entity);
  }
  DecommitHostPages(s.bones, s.bone_bytes);
  DecommitHostPages(s.object, s.object_bytes);
}

Recipe Player(Owner owner, const char* name, const char* kind, int bones, float x, float y, float z) {
  Recipe p;
  p.owner = owner;
  p.name = name;
  p.root_kind = kind;
  p.bones = bones;
  p.at[0] = x, p.at[1] = y, p.at[2] = z;
  return p;
}

Recipe Prop(const char* name, int bones, float x, float z, float vx, float vz) {
  Recipe p;
  p.name = name;
  p.bones = bones;
  p.at[0] = x, p.at[1] = 0.5f, p.at[2] = z;
  p.velocity[0] = vx, p.velocity[1] = vz;
  return p;
}

Recipe Agent(const char* name, float x, float z, float radius, float rate) {
  Recipe p;
  p.owner = Owner::Agent;
  p.name = name;
  p.bones = 64;
  p.at[0] = x, p.at[2] = z;
  p.velocity[0] = radius, p.velocity[1] = rate;
  return p;
}

Skeleton* SpawnBody(const Recipe& recipe) {
  Skeleton* s = Spawn(recipe);
  if (!s) return s;
  TheSkeletons().body = static_cast<int>(s - TheSkeletons().list);
  Track(*s, 0, kHead);
  Track(*s, 1, 9);
  Track(*s, 2, 17);
  Track(*s, 3, s->count - 1);
  return s;
}

void SpawnPlayer(int body_bones, int body_capacity = 0) {
  Recipe body = Player(Owner::Body, "PlayerBody_Model", "body", body_bones, 0.0f, -1.6f, 0.0f);
  body.capacity = body_capacity;
  SpawnBody(body);
  if (Skeleton* hands = Spawn(Player(Owner::Hands, "PlayerHands_Arms", "hands", 40, 0.3f, -0.4f, 0.5f))) {
    Track(*hands, 0, 9);
    Track(*hands, 1, 13);
  }
}

void TrackEnds(Skeleton* s, int head) {
  if (!s) return;
  Track(*s, 0, head);
  Track(*s, 1, s->count - 1);
}

void SpawnSkeletons() {
  SpawnPlayer(256);
  TrackEnds(Spawn(Prop("ragdoll_a", 24, 4, -6, 0.8f, 0.3f)), 0);
  TrackEnds(Spawn(Prop("ragdoll_b", 24, -5, -4, -0.5f, 0.6f)), 0);
  TrackEnds(Spawn(Prop("ragdoll_c", 24, 1, 8, 0.2f, -0.9f)), 0);
  TrackEnds(Spawn(Agent("grunt_a", 6, 6, 3.0f, 0.5f)), kHead);
  TrackEnds(Spawn(Agent("grunt_b", -6, 5, 2.0f, -0.7f)), kHead);
}

void SpawnLoad() {
  SpawnPlayer(256);
  char name[64];
  for (int i = 0; i < 32; ++i) {
    std::snprintf(name, sizeof name, "ragdoll_%02d", i);
    float fi = static_cast<float>(i);
    Recipe p = Prop(name, 256, std::fmod(fi, 8.0f) * 5.0f - 20.0f, std::floor(fi / 8.0f) * 5.0f - 10.0f,
                  0.3f + 0.02f * fi, 0.2f - 0.01f * fi);
    TrackEnds(Spawn(p), 0);
  }
}

Skeleton* SpawnFaulty(Recipe recipe, void (*fault)(Faults&)) {
  // The faults shape the rig, so they are known before the skeleton is built.
  Skeletons& all = TheSkeletons();
  if (all.count < kMaxSkeletons) fault(all.list[all.count].faults);
  Skeleton* s = Spawn(recipe);
  TrackEnds(s, 0);
  return s;
}

void SpawnFaults() {
  Recipe body = Player(Owner::Body, "PlayerBody_Model", "body", 256, 0.0f, -1.6f, 0.0f);
  body.capacity = 257;
  Skeletons& all = TheSkeletons();
  all.list[all.count].faults.grow_from = 60, all.list[all.count].faults.grow_until = 70;
  all.list[all.count].faults.jump_at = 200, all.list[all.count].faults.jump_bone = 9;
  SpawnBody(body);
  Spawn(Player(Owner::Hands, "PlayerHands_Arms", "hands", 40, 0.3f, -0.4f, 0.5f));

  SpawnFaulty(Prop("ragdoll_257", 257, 0, -6, 0.2f, 0.1f), [](Faults&) {});
  Recipe many = Prop("ragdoll_33_bodies", 16, 2, -6, 0.1f, 0.2f);
  many.body_nodes = 33;
  SpawnFaulty(many, [](Faults&) {});
  SpawnFaulty(Prop("ragdoll_hollow", 24, 4, -6, 0.3f, 0.1f), [](Faults& f) { f.hollow_from = 80, f.hollow_until = 100; });
  SpawnFaulty(Prop("ragdoll_misordered", 24, 6, -6, 0.2f, 0.3f), [](Faults& f) { f.misorder_bone = 2; });
  SpawnFaulty(Prop("ragdoll_readonly", 24, 8, -6, 0.4f, 0.1f), [](Faults& f) { f.readonly_from = 120; });
  Skeleton* renamed = SpawnFaulty(Prop("ragdoll_renamed", 24, 10, -6, 0.1f, 0.1f), [](Faults& f) { f.rename_at = 140; });
  if (renamed) std::snprintf(renamed->alias, sizeof renamed->alias, "ragdoll_renamed_later");
  SpawnFaulty(Prop("ragdoll_freed", 24, 12, -6, 0.3f, 0.3f), [](Faults& f) { f.free_at = 160; });
  SpawnFaulty(Prop("ragdoll_jump", 24, 14, -6, 0.2f, 0.2f), [](Faults& f) { f.jump_at = 180, f.jump_bone = 3; });
  SpawnFaulty(Prop("ragdoll_gap", 24, 16, -6, 0.3f, 0.2f), [](Faults& f) { f.skip_at = 220; });
  TrackEnds(Spawn(Agent("grunt_a", 6, 6, 3.0f, 0.5f)), kHead);
  TrackEnds(Spawn(Agent("grunt_b", -6, 5, 2.0f, -0.7f)), kHead);
  // Nine owners above register; 24 more make 33, one past the plug-in's table.
  char name[64];
  for (int i = 0; i < 24; ++i) {
    std::snprintf(name, sizeof name, "ragdoll_filler_%02d", i);
    float fi = static_cast<float>(i);
    TrackEnds(Spawn(Prop(name, 12, fi * 2.0f - 24.0f, 10, 0.2f, 0.05f * fi)), 0);
  }
}

// The game's faults that take effect at the start of step k.
void StepFaults(Skeleton& s, uint64_t k) {
  const Faults& f = s.faults;
  if (k == f.free_at) {
    Free(s);
    return;
  }
  if (k == f.rename_at && s.entity) RenameOwner(s.entity, s.alias);
  int n = s.count;
  if (k >= f.grow_from && k < f.grow_until && s.capacity > s.count) n = s.count + 1;
  if (k >= f.hollow_from && k < f.hollow_until) n = 0;
  if (n != s.active) SetVectorLength(s, n);
}

// Where the game's CameraSocket script puts the camera: a fixed offset from the head bone.
void RideHead(const Skeleton& body, double t) {
  float chain[kHead + 1][16];
  Beat beat;
  beat.t = t;
  for (int i = 0; i <= kHead; ++i) {
    float local[16];
    Local(body, i, beat, local);
    if (body.rig[i].parent < 0) std::memcpy(chain[i], local, sizeof local);
    else MatrixProduct(chain[i], chain[body.rig[i].parent], local);
  }
  float node[16], head[16], socket[16], camera[16];
  std::memcpy(node, body.object + SkeletonLayout::kNodeMatrix, sizeof node);
  MatrixProduct(head, node, chain[kHead]);
  const float offset[3] = {0.0f, 0.25f, 0.45f};
  Swing(socket, 0, -0.12, offset);
  MatrixProduct(camera, head, socket);
  WriteListenerMatrixCamera(camera);
}

// The host's own order: a bone's world transform is its parent's times its local matrix, found
// by walking the parent pointers (whatever order the vector lists them in).
void Place(Skeleton& s, int i, const float* node, int depth) {
  if (s.pass[i] == s.pass_now) return;
  s.pass[i] = s.pass_now;
  uint8_t* b = Bone(s, i);
  float local[16];
  std::memcpy(local, b + BoneLayout::kMatrix, sizeof local);
  auto* parent = Load<uint8_t*>(b, BoneLayout::kParent);
  ptrdiff_t p = parent ? (parent - s.bones) / static_cast<ptrdiff_t>(BoneLayout::kSize) : -1;
  if (p < 0 || p >= s.capacity || depth >= kMaxBones) {
    MatrixProduct(s.world[i], node, local);
    return;
  }
  Place(s, static_cast<int>(p), node, depth + 1);
  MatrixProduct(s.world[i], s.world[p], local);
}

void Recompute(Skeleton& s) {
  auto** begin = Load<uint8_t**>(s.object, SkeletonLayout::kBonesBegin);
  auto** end = Load<uint8_t**>(s.object, SkeletonLayout::kBonesEnd);
  float node[16];
  std::memcpy(node, s.object + SkeletonLayout::kNodeMatrix, sizeof node);
  ++s.pass_now;
  for (auto** b = begin; b != end; ++b) {
    ptrdiff_t i = (*b - s.bones) / static_cast<ptrdiff_t>(BoneLayout::kSize);
    if (i >= 0 && i < s.capacity) Place(s, static_cast<int>(i), node, 0);
  }
  Store<uint8_t>(s.object, SkeletonLayout::kDirty, 0);
}

}  // namespace

void CreateSkeletons() {
  Skeletons& all = TheSkeletons();
  for (int i = 0; i < kMaxBones; ++i) std::swprintf(all.labels[i], 24, L"bone %d local matrix", i);
  switch (TheWorld().options.scenario) {
    case Scenario::Skeletons: SpawnSkeletons(); break;
    case Scenario::SkeletonLoad: SpawnLoad(); break;
    case Scenario::CameraRide:
      SpawnPlayer(256);
      // Scripted, the player looks about hard: the head turns by a rad within a few steps.
      if (all.body >= 0) {
        all.list[all.body].rig[4] = Limb(3, 0, 0.14f, 0, 0, 0.3f, 0.5f);
        all.list[all.body].rig[kHead] = Limb(4, 0, 0.1f, 0.02f, 1, 0.9f, 1.0f);
        all.list[all.body].rig[4].rate = all.list[all.body].rig[kHead].rate = 7.0f;
      }
      break;
    case Scenario::SkeletonFaults: SpawnFaults(); break;
    default: return;
  }
  TrackListenerCamera();
}

void SkeletonsBeforeCheck() {
  Skeletons& all = TheSkeletons();
  for (int i = 0; i < all.count; ++i)
    if (all.list[i].live && all.list[i].readonly) ReadOnly(all.list[i], false);
}

void StepSkeletons(uint64_t k, double t) {
  Skeletons& all = TheSkeletons();
  const float dt = static_cast<float>(1.0 / TheWorld().options.tick_hz);
  for (int i = 0; i < all.count; ++i) {
    Skeleton& s = all.list[i];
    if (!s.live) continue;
    StepFaults(s, k);
    if (!s.live || k == s.faults.skip_at) continue;
    switch (s.owner) {
      case Owner::Body:
      case Owner::Hands: WriteBones(s, t); break;
      case Owner::Prop: reinterpret_cast<PropUpdateFn>(SiteAddress(22))(s.entity, nullptr, nullptr, nullptr); break;
      case Owner::Agent: reinterpret_cast<AgentUpdateFn>(SiteAddress(23))(s.entity, dt, nullptr, nullptr); break;
    }
  }
  if (TheWorld().options.scenario == Scenario::CameraRide && all.body >= 0) RideHead(all.list[all.body], t);
}

void SkeletonsAfterStep(uint64_t k) {
  Skeletons& all = TheSkeletons();
  if (k == TheWorld().options.tamper_bone_tick && all.body >= 0) {
    // Outside any step: what a leaked render-time bone would look like.
    uint8_t* head = Bone(all.list[all.body], kHead);
    Store<float>(head, BoneLayout::kMatrix + 12, Load<float>(head, BoneLayout::kMatrix + 12) + 0.5f);
  }
  for (int i = 0; i < all.count; ++i)
    if (all.list[i].live && k >= all.list[i].faults.readonly_from) ReadOnly(all.list[i], true);
}

void DrawSkeletons() {
  Skeletons& all = TheSkeletons();
  for (int i = 0; i < all.count; ++i) {
    Skeleton& s = all.list[i];
    if (!s.live) continue;
    if (Load<uint8_t>(s.object, SkeletonLayout::kDirty)) Recompute(s);
    for (int t = 0; t < kMaxTracked; ++t) {
      if (s.tracks[t] < 0 || s.tracked[t] >= s.active) continue;
      const float* m = s.world[s.tracked[t]];
      const float xyz[3] = {m[3], m[7], m[11]};
      DrawLogRow(s.tracks[t], xyz);
    }
  }
}

void SkeletonMarkDirty(void* skeleton) {
  if (skeleton && Load<uint64_t>(skeleton, SkeletonLayout::kTag) == SkeletonLayout::kSkeletonTag)
    Store<uint8_t>(skeleton, SkeletonLayout::kDirty, 1);
}

void PropUpdate(void* prop) {
  if (Skeleton* s = FromEntity(prop)) WriteBones(*s, TheWorld().sim_seconds);
}

// The agent walks its circle on its own clock (kept at +3F0h by its update's prologue).
void AgentUpdate(void* agent) {
  Skeleton* s = FromEntity(agent);
  if (!s) return;
  double t = Load<float>(agent, EntityLayout::kAgentTime);
  double a = s->rate * t;
  float mesh[16];
  const float at[3] = {s->home[0] + s->radius * static_cast<float>(std::cos(a)), s->home[1],
                       s->home[2] + s->radius * static_cast<float>(std::sin(a))};
  Swing(mesh, 1, -a, at);
  std::memcpy(s->object + SkeletonLayout::kNodeMatrix, mesh, sizeof mesh);
  ShadowWrote(s->node_shadow, mesh);
  WriteBones(*s, t);
}

}  // namespace qv
