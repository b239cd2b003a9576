// The game's remaining host functions (input, GUI, particles, entities, matrices,
// bones, physics), and a check that calls every host function once through its
// RVA and verifies what it did.
#include <cmath>
#include <cstdio>

#include "gui.h"
#include "input.h"
#include "layouts.h"
#include "newton_api.h"
#include "particles.h"
#include "physics.h"
#include "skeletons.h"
#include "world.h"
#include "world_exports.h"

namespace qv {
namespace {

// Physics worker threads count too.
void Count(int site) {
  InterlockedIncrement64(reinterpret_cast<volatile LONG64*>(&TheWorld().engine.site_calls[site]));
}

bool NameEquals(const HostString* s, const char* text) {
  if (!s) return false;
  size_t n = std::strlen(text);
  if (s->size != n) return false;
  const char* data = s->capacity > 15 ? s->text : s->inline_text;
  return std::memcmp(data, text, n) == 0;
}

// Entities the name resolver knows; the resolver's global points here.
struct EntityTable {
  void* entities[8];
  int count;
};

template <class Fn>
Fn SiteFn(int site) {
  return reinterpret_cast<Fn>(SiteAddress(site));
}

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

void TestMatrix(float* m, float yaw, float x, float y, float z) {
  float c = std::cos(yaw), s = std::sin(yaw);
  const float v[16] = {c, 0, s, x, 0, 1, 0, y, -s, 0, c, z, 0, 0, 0, 1};
  std::memcpy(m, v, sizeof v);
}

bool Near(const float* a, const float* b, int n, float tolerance) {
  for (int i = 0; i < n; ++i)
    if (!(std::fabs(a[i] - b[i]) <= tolerance)) return false;
  return true;
}

// An entity whose one body node is its fallback node, placed at the root.
void* NewEntity(void** vtable, const char* name) {
  void* e = NewHostObject(EntityLayout::kSize);
  Store<void**>(e, EntityLayout::kVtable, vtable);
  MakeHostString(reinterpret_cast<HostString*>(At(e, EntityLayout::kName)), name);
  void* node = NewHostObject(NodeLayout::kSize);
  std::memcpy(At(node, NodeLayout::kMatrix), kIdentity, sizeof kIdentity);
  std::memcpy(At(node, NodeLayout::kLocal), kIdentity, sizeof kIdentity);
  std::memcpy(At(node, NodeLayout::kLocalInverse), kIdentity, sizeof kIdentity);
  Store<void*>(e, EntityLayout::kFallbackNode, node);
  return e;
}

void* FallbackNode(void* entity) { return Load<void*>(entity, EntityLayout::kFallbackNode); }

// The node the entity's root is derived from: the reference node, else the first body node,
// else the fallback node.
void* ReferenceNode(void* entity) {
  if (void* ref = Load<void*>(entity, EntityLayout::kReferenceNode)) return ref;
  void** begin = Load<void**>(entity, EntityLayout::kNodesBegin);
  void** end = Load<void**>(entity, EntityLayout::kNodesEnd);
  return begin != end ? begin[0] : FallbackNode(entity);
}

bool Report(int site, bool ok) {
  if (!ok) TheWorld().engine.failed_sites += (TheWorld().engine.failed_sites.empty() ? L"" : L" ") + std::to_wstring(site);
  return ok;
}

}  // namespace

void* NewHostObject(size_t size) {
  void* p = _aligned_malloc((size + 15) & ~size_t{15}, 16);
  if (!p) std::abort();
  std::memset(p, 0, size);
  return p;
}

void MakeHostStringAt(HostString* out, const char* text, char* heap) {
  std::memset(out, 0, sizeof *out);
  out->size = std::strlen(text);
  if (out->size <= 15) {
    std::memcpy(out->inline_text, text, out->size);
    out->capacity = 15;
  } else {
    std::memcpy(heap, text, out->size);
    heap[out->size] = '\0';
    out->text = heap;
    out->capacity = out->size;
  }
}

void MakeHostString(HostString* out, const char* text) {
  size_t n = std::strlen(text);
  MakeHostStringAt(out, text, n <= 15 ? nullptr : static_cast<char*>(NewHostObject(n + 1)));
}

// Sites 0 to 2 are counted while the engine runs; this calls the others once.
int CheckSites() {
  World& w = TheWorld();
  int ok = 0;
  for (int site = 0; site <= 2; ++site) ok += Report(site, w.engine.site_calls[site] > 0);

  void* camera = NewHostObject(CameraLayout::kSize);
  const float xyz[3] = {1.5f, -2.25f, 3.125f};
  SiteFn<void (*)(void*, const float*)>(3)(camera, xyz);
  ok += Report(3, std::memcmp(At(camera, CameraLayout::kPosition), xyz, sizeof xyz) == 0);

  float m[16];
  TestMatrix(m, 0.5f, 4, 5, 6);
  SiteFn<void (*)(void*, const float*)>(4)(camera, m);
  ok += Report(4, std::memcmp(At(camera, CameraLayout::kMatrix), m, sizeof m) == 0);

  uint64_t before = QvSchedulerClockRaw() - Load<uint64_t>(w.base, w.build->clock_start_rva);
  uint64_t clock = SiteFn<uint64_t (*)(void*)>(5)(w.engine.scheduler);
  uint64_t after = QvSchedulerClockRaw() - Load<uint64_t>(w.base, w.build->clock_start_rva);
  ok += Report(5, clock >= before && clock <= after);

  void* handler = NewHostObject(InputLayout::kSize);
  Store<int32_t>(handler, InputLayout::kCountX, 4);
  Store<int32_t>(handler, InputLayout::kCountY, -8);
  Store<float>(handler, InputLayout::kScale, 0.0625f);
  float look[2] = {};
  SiteFn<float (*)(void*, float*, void*, void*)>(6)(handler, look, nullptr, nullptr);
  ok += Report(6, look[0] == 0.25f && look[1] == -0.5f && w.engine.site_calls[6] == 1);

  void* gui = NewHostObject(GuiLayout::kSize);
  const int mouse1[2] = {100, 200}, mouse2[2] = {110, 190};
  const uint8_t zero8[8] = {};
  SiteFn<void (*)(void*, const int*, const void*, void*)>(7)(gui, mouse1, zero8, nullptr);
  SiteFn<void (*)(void*, const int*, const void*, void*)>(7)(gui, mouse2, zero8, nullptr);
  ok += Report(7, Load<float>(gui, GuiLayout::kMousePos) == 110.0f && Load<float>(gui, GuiLayout::kMousePos + 4) == 190.0f &&
                      Load<float>(gui, GuiLayout::kDrawPos) == 100.0f && Load<float>(gui, GuiLayout::kDrawPos + 4) == 200.0f);

  SiteFn<void (*)(void*, void*, void*, void*)>(8)(gui, nullptr, nullptr, nullptr);
  ok += Report(8, Load<uint64_t>(gui, GuiLayout::kCursorDraws) == 1 && Load<float>(gui, GuiLayout::kCursorDrawn) == 100.0f);

  const float at[2] = {7.0f, 8.0f};
  auto image_draw = SiteFn<void (*)(void*, void*, const float*, void*, void*, void*, void*, void*, void*)>(9);
  image_draw(gui, gui, at, nullptr, nullptr, nullptr, nullptr, nullptr, reinterpret_cast<void*>(uintptr_t{0x5EED}));
  ok += Report(9, Load<float>(gui, GuiLayout::kImagePos) == 7.0f && Load<uint64_t>(gui, GuiLayout::kImageLastArg) == 0x5EED &&
                      Load<uint64_t>(gui, GuiLayout::kImageDraws) == 1);

  static void* vtable[EntityLayout::kVtableSlots];
  vtable[EntityLayout::kSlotGetMatrix] = SiteAddress(14);
  vtable[EntityLayout::kSlotSetMatrix] = SiteAddress(15);
  vtable[EntityLayout::kSlotAgentMesh] = SiteAddress(24);
  vtable[EntityLayout::kSlotAgentUpdate] = SiteAddress(23);
  void* entity = NewEntity(vtable, "lamp_01");

  SiteFn<void (*)(void*, void*, void*, void*)>(10)(entity, nullptr, nullptr, nullptr);
  ok += Report(10, Load<uint64_t>(entity, EntityLayout::kMotionCalls) == 1);
  SiteFn<void (*)(void*, void*, void*, void*)>(11)(entity, nullptr, nullptr, nullptr);
  ok += Report(11, Load<uint64_t>(entity, EntityLayout::kGraphicsCalls) == 1);

  TestMatrix(m, 0.25f, 1, 2, 3);
  SiteFn<void (*)(void*, const float*)>(12)(entity, m);
  ok += Report(12, Load<uint8_t>(entity, EntityLayout::kSetMatrixFlag) == 1 &&
                       std::memcmp(At(FallbackNode(entity), NodeLayout::kMatrix), m, sizeof m) == 0 &&
                       w.engine.site_calls[15] == 1);

  HostString var;
  MakeHostString(&var, "IsHUDVersion");
  MakeHostString(reinterpret_cast<HostString*>(At(entity, EntityLayout::kVars)), "IsHUDVersion");
  SiteFn<void (*)(void*, const HostString*, bool)>(13)(entity, &var, true);
  ok += Report(13, Load<uint8_t>(entity, EntityLayout::kVars + sizeof(HostString)) == 1);

  float out[16] = {};
  float* got = SiteFn<float* (*)(void*, float*)>(14)(entity, out);
  ok += Report(14, got == out && Near(out, m, 16, 0.0f));

  TestMatrix(m, -1.0f, 9, 8, 7);
  SiteFn<void (*)(void*, const float*)>(15)(entity, m);
  ok += Report(15, std::memcmp(At(FallbackNode(entity), NodeLayout::kMatrix), m, sizeof m) == 0);

  float inverse[16], product[16];
  got = SiteFn<float* (*)(float*, const float*)>(16)(inverse, m);
  QvMatrixMultiply(product, m, inverse);
  ok += Report(16, got == inverse && Near(product, kIdentity, 16, 1e-5f));

  float a[16], b[16];
  TestMatrix(a, 0.5f, 1, 0, 0);
  TestMatrix(b, -0.5f, 0, 0, 2);
  got = SiteFn<float* (*)(float*, const float*, const float*)>(17)(product, a, b);
  float expect_t[3] = {1 + 2 * std::sin(0.5f), 0, 2 * std::cos(0.5f)};
  ok += Report(17, got == product && Near(product, kIdentity, 3, 1e-6f) && std::fabs(product[3] - expect_t[0]) < 1e-5f &&
                       std::fabs(product[11] - expect_t[2]) < 1e-5f);

  void* node = FallbackNode(entity);
  uint32_t changes = Load<uint32_t>(node, NodeLayout::kChanges);
  SiteFn<void (*)(void*, bool)>(18)(node, true);
  ok += Report(18, Load<uint32_t>(node, NodeLayout::kChanges) == changes + 1 && Load<uint8_t>(node, NodeLayout::kFlag) == 1);

  // A bone of a skeleton: the skeleton learns that its bones' world transforms are stale.
  void* skeleton = NewHostObject(SkeletonLayout::kSize);
  Store<uint64_t>(skeleton, SkeletonLayout::kTag, SkeletonLayout::kSkeletonTag);
  void* bone = NewHostObject(BoneLayout::kSize);
  Store<void*>(bone, BoneLayout::kSkeleton, skeleton);
  SiteFn<void (*)(void*, const float*, bool)>(19)(bone, m, false);
  ok += Report(19, std::memcmp(At(bone, BoneLayout::kMatrix), m, sizeof m) == 0 &&
                       Load<uint8_t>(skeleton, SkeletonLayout::kDirty) == 1);

  static EntityTable table;
  table.entities[0] = entity;
  table.count = 1;
  Store<EntityTable*>(w.base, w.build->name_table_rva, &table);
  HostString name;
  MakeHostString(&name, "lamp_01");
  void* found = SiteFn<void* (*)(const HostString*, void*, void*)>(20)(&name, nullptr, nullptr);
  MakeHostString(&name, "nobody_here");
  void* missing = SiteFn<void* (*)(const HostString*, void*, void*)>(20)(&name, nullptr, nullptr);
  ok += Report(20, found == entity && missing == nullptr);

  NewtonBody* body = NewtonCreateDynamicBody(nullptr, nullptr, kIdentity);
  void* body_object = NewHostObject(BodyLayout::kSize);
  MakeHostString(reinterpret_cast<HostString*>(At(body_object, BodyLayout::kName)), "crate_01");
  Store<void*>(body_object, BodyLayout::kNewtonBody, body);
  NewtonBodySetUserData(body, body_object);
  TestMatrix(m, 0.75f, -1, -2, -3);
  SiteFn<void (*)(const NewtonBody*, const float*, int)>(21)(body, m, 0);
  ok += Report(21, std::memcmp(At(body_object, BodyLayout::kMatrix), m, sizeof m) == 0);

  SiteFn<void (*)(void*, void*, void*, void*)>(22)(entity, nullptr, nullptr, nullptr);
  ok += Report(22, Load<uint64_t>(entity, EntityLayout::kUpdates) == 1);

  void* agent = NewEntity(vtable, "grunt_01");
  Store<float>(agent, EntityLayout::kAgentTime, 1.0f);
  Store<void*>(agent, EntityLayout::kMesh, agent);
  SiteFn<void (*)(void*, float, void*, void*)>(23)(agent, 0.5f, nullptr, nullptr);
  ok += Report(23, Load<uint64_t>(agent, EntityLayout::kUpdates) == 1 && Load<float>(agent, EntityLayout::kAgentTime) == 1.5f);

  ok += Report(24, SiteFn<void* (*)(void*)>(24)(agent) == agent);
  return ok;
}

}  // namespace qv

using namespace qv;

extern "C" {

float QvInputLookAmount(void* handler, float* look, void*, void*) {
  Count(6);
  return InputLookAmount(handler, look);
}

// The prologue already moved the old x to the draw position; the old y follows here.
void QvImGuiSendMousePosition(void* context, const int* xy, void*, void*) {
  Count(7);
  Store<float>(context, GuiLayout::kDrawPos + 4, Load<float>(context, GuiLayout::kMousePos + 4));
  Store<float>(context, GuiLayout::kMousePos, static_cast<float>(xy[0]));
  Store<float>(context, GuiLayout::kMousePos + 4, static_cast<float>(xy[1]));
}

void QvImGuiDoMouse(void* context, void*, void*, void*) {
  Count(8);
  if (Load<uint8_t>(context, GuiLayout::kHidden)) return;
  std::memcpy(At(context, GuiLayout::kCursorDrawn), At(context, GuiLayout::kDrawPos), 8);
  Store<uint64_t>(context, GuiLayout::kCursorDraws, Load<uint64_t>(context, GuiLayout::kCursorDraws) + 1);
}

void QvImGuiImageDraw(void* context, void* item, const float* xy, void*, void*, void*, void*, void*, void* last) {
  Count(9);
  std::memcpy(At(context, GuiLayout::kImagePos), xy, 8);
  Store<void*>(context, GuiLayout::kImageLastArg, last);
  Store<uint64_t>(context, GuiLayout::kImageDraws, Load<uint64_t>(context, GuiLayout::kImageDraws) + 1);
  GuiImageDraw(context, item, xy);
}

void QvParticleUpdateMotion(void* emitter, void* step_seconds, void*, void*) {
  Count(10);
  Store<uint64_t>(emitter, EntityLayout::kMotionCalls, Load<uint64_t>(emitter, EntityLayout::kMotionCalls) + 1);
  ParticleUpdateMotion(emitter, step_seconds);
}

void QvParticleGraphicsUpdate(void* emitter, void*, void*, void*) {
  Count(11);
  Store<uint64_t>(emitter, EntityLayout::kGraphicsCalls, Load<uint64_t>(emitter, EntityLayout::kGraphicsCalls) + 1);
  ParticleGraphicsUpdate(emitter);
}

uint8_t* QvEntityFindVar(void* entity, const void* name) {
  Count(13);
  for (size_t i = 0; i < EntityLayout::kVarCount; ++i) {
    size_t at = EntityLayout::kVars + i * EntityLayout::kVarStride;
    auto* var = reinterpret_cast<const HostString*>(At(entity, at));
    auto* wanted = static_cast<const HostString*>(name);
    if (var->size && wanted && var->size == wanted->size) {
      const char* a = var->capacity > 15 ? var->text : var->inline_text;
      const char* b = wanted->capacity > 15 ? wanted->text : wanted->inline_text;
      if (std::memcmp(a, b, var->size) == 0) return At(entity, at + sizeof(HostString));
    }
  }
  return nullptr;
}

// The root as the renderer places the entity: the reference node's matrix taken back through
// that node's placement under the root.
float* QvEntityGetMatrix(void* entity, float* out) {
  Count(14);
  float root[16], node_matrix[16], local_inverse[16];
  void* node = ReferenceNode(entity);
  if (node) {
    std::memcpy(node_matrix, At(node, NodeLayout::kMatrix), sizeof node_matrix);
    std::memcpy(local_inverse, At(node, NodeLayout::kLocalInverse), sizeof local_inverse);
    MatrixProduct(root, node_matrix, local_inverse);
  } else {
    std::memcpy(root, kIdentity, sizeof root);
  }
  // Some entity classes answer from a matrix of their own rather than the caller's buffer.
  if (Load<uint8_t>(entity, EntityLayout::kGetterQuirk)) {
    std::memcpy(At(entity, EntityLayout::kGetterCache), root, sizeof root);
    return reinterpret_cast<float*>(At(entity, EntityLayout::kGetterCache));
  }
  std::memcpy(out, root, sizeof root);
  return out;
}

// Places every body node (or the fallback node) under the new root.
void QvEntitySetMatrix(void* entity, const float* matrix) {
  Count(15);
  float root[16], local[16], world[16];
  std::memcpy(root, matrix, sizeof root);
  std::memcpy(At(entity, EntityLayout::kMatrix), root, sizeof root);
  auto changed = SiteFn<void (*)(void*, bool)>(18);
  auto place = [&](void* node) {
    std::memcpy(local, At(node, NodeLayout::kLocal), sizeof local);
    MatrixProduct(world, root, local);
    std::memcpy(At(node, NodeLayout::kMatrix), world, sizeof world);
    changed(node, true);
  };
  void** begin = Load<void**>(entity, EntityLayout::kNodesBegin);
  void** end = Load<void**>(entity, EntityLayout::kNodesEnd);
  if (begin == end) {
    if (void* node = FallbackNode(entity)) place(node);
    return;
  }
  for (void** n = begin; n != end; ++n) place(*n);
}

// Rigid transforms with a uniform scale: the inverse is R^T / s^2 and -R^T t / s^2.
float* QvMatrixInverse(float* out, const float* in) {
  Count(16);
  RigidInverse(out, in);
  return out;
}

float* QvMatrixMultiply(float* out, const float* a, const float* b) {
  Count(17);
  MatrixProduct(out, a, b);
  return out;
}

void QvNodeMatrixChanged(void* node, bool flag) {
  Count(18);
  Store<uint8_t>(node, NodeLayout::kFlag, flag ? 1 : 0);
  SkeletonMarkDirty(node);
}

// The prologue copied the matrix into the bone. Called for every bone written, so it costs what
// the host's does: no call counting.
void QvBoneSetMatrix(void* bone, const float*, bool) {
  SkeletonMarkDirty(Load<void*>(bone, BoneLayout::kSkeleton));
}

}  // extern "C"

namespace qv {

void RigidInverse(float* out, const float* in) {
  float m[16];
  std::memcpy(m, in, sizeof m);
  double s2 = static_cast<double>(m[0]) * m[0] + static_cast<double>(m[1]) * m[1] + static_cast<double>(m[2]) * m[2];
  if (!(s2 > 0)) s2 = 1;
  float r[16] = {};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) r[row * 4 + col] = static_cast<float>(m[col * 4 + row] / s2);
    r[row * 4 + 3] = -(r[row * 4 + 0] * m[3] + r[row * 4 + 1] * m[7] + r[row * 4 + 2] * m[11]);
  }
  r[15] = 1.0f;
  std::memcpy(out, r, sizeof r);
}

void MatrixProduct(float* out, const float* a, const float* b) {
  float r[16];
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[row * 4 + k] * b[k * 4 + col];
      r[row * 4 + col] = sum;
    }
  std::memcpy(out, r, sizeof r);
}

}  // namespace qv

extern "C" {

void* QvResolveEntityName(const void* name, void*, void*, void* table) {
  Count(20);
  auto* entities = static_cast<const EntityTable*>(table);
  if (!entities) return nullptr;
  for (int i = 0; i < entities->count; ++i) {
    auto* entity_name = reinterpret_cast<const HostString*>(At(entities->entities[i], EntityLayout::kName));
    auto* wanted = static_cast<const HostString*>(name);
    const char* text = wanted->capacity > 15 ? wanted->text : wanted->inline_text;
    char buffer[128] = {};
    if (wanted->size < sizeof buffer) std::memcpy(buffer, text, wanted->size);
    if (NameEquals(entity_name, buffer)) return entities->entities[i];
  }
  return nullptr;
}

// The callback's prologue stored elements 0 and 1 already.
void QvNewtonBodyMoved(void* body_object, const float* matrix) {
  Count(21);
  NoteCallbackThread();
  std::memcpy(At(body_object, BodyLayout::kMatrix + 8), matrix + 2, 14 * sizeof(float));
  SiteFn<void (*)(void*, bool)>(18)(body_object, true);
}

void QvPropOnUpdate(void* prop, void*, void*, void*) {
  Count(22);
  Store<uint64_t>(prop, EntityLayout::kUpdates, Load<uint64_t>(prop, EntityLayout::kUpdates) + 1);
  PropUpdate(prop);
}

// The prologue added the agent's time at +3F0h to the step; it is stored back here.
void QvAgentOnUpdate(void* agent, float dt, void*, void*) {
  Count(23);
  Store<float>(agent, EntityLayout::kAgentTime, dt);
  Store<uint64_t>(agent, EntityLayout::kUpdates, Load<uint64_t>(agent, EntityLayout::kUpdates) + 1);
  AgentUpdate(agent);
}

}  // extern "C"
