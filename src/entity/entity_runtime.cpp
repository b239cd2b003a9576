#include "entity/entity_runtime.h"

#include <cstring>

#include "core/perf_counter.h"
#include "entity/entity_counters.h"
#include "entity/entity_layout.h"
#include "entity/interpolation_report.h"
#include "entity/newton_bodies.h"
#include "entity/root_interpolation.h"
#include "entity/root_registries.h"
#include "frame/frame_clock.h"
#include "frame/tick_detour.h"
#include "host/hook_install.h"
#include "host/host_memory.h"
#include "host/host_validation.h"
#include "host/minhook_api.h"
#include "interp/render_hooks.h"

namespace {

using SetMatrixFn = void (*)(void* entity, const float* matrix);
// The host's result is passed back whatever it is.
using SetVarBoolFn = uintptr_t (*)(void* entity, const void* variableName, bool value);
using NewtonCallbackFn = void (*)(const void* newtonBody, const float* matrix, int threadIndex);

using entity_layout::kVtableBytes;
using entity_layout::kVtableGetMatrix;
using entity_layout::kVtableSetMatrix;
constexpr char kHudVariable[] = "IsHUDVersion";

constexpr wchar_t kNullHost[] = L"Host module is null while installing the player-root runtime.";
constexpr wchar_t kPoseRefused[] = L"Skeletal pose interpolation is not available in this build.";
constexpr wchar_t kEntryBytes[] = L"Player-root native entry bytes do not match the supported build.";
constexpr wchar_t kNoUserData[] = L"NewtonBodyGetUserData was unavailable for the guarded world-body probe.";

struct EntityRuntimeState {
  EntityRuntimeFlags flags;
  EntityHostFunctions host;
  void* setMatrixTarget = nullptr;
  void* setVarBoolTarget = nullptr;
  void* newtonTarget = nullptr;
  SetMatrixFn setMatrixOriginal = nullptr;
  SetVarBoolFn setVarBoolOriginal = nullptr;
  NewtonCallbackFn newtonOriginal = nullptr;
};

EntityRuntimeState g_runtime;

bool IsPlayerRootKind(EntityKind kind) {
  return kind == EntityKind::PlayerHands || kind == EntityKind::PlayerBody || kind == EntityKind::HeldAccessory ||
         kind == EntityKind::Scripted;
}

void CountSetMatrix(EntityKind kind) {
  EntityCounters& c = TheEntityCounters();
  switch (kind) {
    case EntityKind::PlayerHands: ++c.handsSetMatrix; break;
    case EntityKind::PlayerBody: ++c.bodySetMatrix; break;
    case EntityKind::HeldAccessory: ++c.heldSetMatrix; break;
    case EntityKind::Scripted: ++c.scriptedSetMatrix; break;
    case EntityKind::Inspection: ++c.inspectionSetMatrix; break;
    case EntityKind::None: break;
  }
}

void RegisterAccepted(EntityKind kind, void* entity, const RigidMatrix& matrix, const EntityName& name,
                      uint64_t caller, uint64_t vtable) {
  RootRegistries& r = TheRootRegistries();
  switch (kind) {
    case EntityKind::PlayerHands: SetRootSlot(r.hands, entity, matrix); break;
    case EntityKind::PlayerBody: SetRootSlot(r.body, entity, matrix); break;
    case EntityKind::HeldAccessory: RegisterHeld(entity, matrix, name); break;
    case EntityKind::Scripted: RegisterScripted(entity, matrix, name, caller, vtable); break;
    case EntityKind::Inspection: RegisterInspection(entity, matrix, name, caller, vtable); break;
    case EntityKind::None:
      // Any other named entity the game moves is a scripted root from now on.
      if (name.length == 0) break;
      ++TheEntityCounters().scriptedSetMatrix;
      RegisterScripted(entity, matrix, name, caller, vtable);
      break;
  }
}

void DropRejected(EntityKind kind, const void* entity) {
  RootRegistries& r = TheRootRegistries();
  switch (kind) {
    case EntityKind::PlayerHands: ClearRootSlot(r.hands); break;
    case EntityKind::PlayerBody: ClearRootSlot(r.body); break;
    case EntityKind::HeldAccessory: RemoveHeld(entity); break;
    case EntityKind::Scripted: RemoveScripted(entity); break;
    case EntityKind::Inspection: RemoveInspection(entity); break;
    case EntityKind::None: break;
  }
}

// What the game just did to an entity, seen after the host's own SetMatrix ran.
void ObserveSetMatrix(void* entity, const float* matrixArgument, uint64_t caller, uint64_t vtable) {
  const EntityRuntimeFlags& flags = g_runtime.flags;
  EntityName name;
  const EntityKind kind = ClassifyEntity(entity, &name);
  if (flags.diagnostics && name.length != 0) RecordSetMatrix(entity, name.text, matrixArgument, caller, vtable);
  CountSetMatrix(kind);

  RigidMatrix matrix{};
  float scale = 0.0f;
  const bool accepted = ReadHostMemory(matrixArgument, &matrix, sizeof(matrix)) && ValidateRigid(matrix, &scale) &&
                        EntityVtableRecognised(entity);
  if (accepted) {
    if (IsPlayerRootKind(kind)) RootProbe(kind, name.text, entity, matrix, scale);
    if (flags.handsRoot) RegisterAccepted(kind, entity, matrix, name, caller, vtable);
  } else {
    ++TheEntityCounters().invalidMatrix;
    DropRejected(kind, entity);
  }
  InterpolationReport();
}

// noinline: the caller RVA is this frame's return address.
__attribute__((noinline)) void SetMatrixDetour(void* entity, const float* matrix) {
  const uint64_t caller = HostRva(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  const uint64_t vtable = EntityVtableRva(entity);
  ForwardOf(g_runtime.setMatrixOriginal)(entity, matrix);
  if (g_runtime.flags.hostBase != 0) ObserveSetMatrix(entity, matrix, caller, vtable);
}

uintptr_t SetVarBoolDetour(void* entity, const void* variableName, bool value) {
  EntityName variable;
  const bool named = value && ReadEntityName(variableName, &variable);
  const uintptr_t result = ForwardOf(g_runtime.setVarBoolOriginal)(entity, variableName, value);
  if (named && g_runtime.flags.handsRoot && variable.length == sizeof(kHudVariable) - 1 &&
      std::memcmp(variable.text, kHudVariable, variable.length) == 0)
    RegisterReadableInspection(entity);
  return result;
}

// Runs on the physics worker threads.
void NewtonCallbackDetour(const void* newtonBody, const float* matrix, int threadIndex) {
  ForwardOf(g_runtime.newtonOriginal)(newtonBody, matrix, threadIndex);
  const EntityRuntimeFlags& flags = g_runtime.flags;
  const auto getUserData = g_runtime.host.newtonBodyGetUserData;
  if (!(flags.diagnostics || flags.worldRoot) || getUserData == nullptr) return;
  // Newton itself would fault on a null body; a null pair counts as an invalid callback.
  void* bodyObject = newtonBody != nullptr ? getUserData(newtonBody) : nullptr;
  RecordNewtonBody(bodyObject, const_cast<void*>(newtonBody));
}

// The forwarding slots stay as they are: a detour still in flight on another thread calls through them.
void ForgetRuntime() {
  g_runtime.flags = EntityRuntimeFlags{};
  g_runtime.host = EntityHostFunctions{};
  g_runtime.setMatrixTarget = nullptr;
  g_runtime.setVarBoolTarget = nullptr;
  g_runtime.newtonTarget = nullptr;
}

void RemoveHook(void* target, void** trampoline, bool disable) {
  MinHookApi& mh = MinHook();
  if (disable) mh.DisableHook(target);
  // A detour in flight may still read the slot: once the hook is gone it forwards to the host
  // function itself, whose entry bytes are back; a hook that could not be removed keeps its trampoline.
  if (mh.RemoveHook(target) == MH_OK) __atomic_store_n(trampoline, target, __ATOMIC_RELEASE);
}

template <typename Fn>
void** Slot(Fn* trampoline) {
  return reinterpret_cast<void**>(trampoline);
}

// The node the host's getter derives the root from: the reference node, else the first attached
// node, else the fallback node.
bool ReferenceNodeReadable(const void* entity) {
  const uint8_t* node = nullptr;
  if (!ReadHostValueAt(entity, entity_layout::kReferenceNode, node)) return false;
  if (node == nullptr) {
    uintptr_t begin = 0;
    uintptr_t end = 0;
    if (!ReadHostValueAt(entity, entity_layout::kNodesBegin, begin) ||
        !ReadHostValueAt(entity, entity_layout::kNodesEnd, end))
      return false;
    const bool vector = begin != end && ReadHostValue(reinterpret_cast<const void*>(begin), node);
    if (!vector && !ReadHostValueAt(entity, entity_layout::kFallbackNode, node)) return false;
  }
  return node != nullptr && CheckHostRange(node + entity_layout::kNodeMatrix, sizeof(RigidMatrix), false);
}

bool FailInstall(std::wstring& message, std::wstring text) {
  message = std::move(text);
  ForgetRuntime();
  return false;
}

// The tick capture, the listener frame's apply and restore, and the history reset.
void JoinFrame(bool join) {
  RenderHooks hooks;
  if (join) {
    hooks.entityApply = &EntityRenderApply;
    hooks.entityRestore = &EntityRenderRestore;
  }
  SetRenderHooks(RenderHookOwner::Entities, hooks);
  SetTickHook(TickHook::EntityCapture, join ? &EntityTickCapture : nullptr);
  SetResetHook(ResetHook::Entities, join ? &ResetEntityHistories : nullptr);
}

bool SitesMatch(HMODULE host, bool handsRoot, bool needsNewton) {
  if (!SiteMatches(host, SiteId::EntitySetMatrix)) return false;
  if (handsRoot && !SiteMatches(host, SiteId::EntitySetVarBool)) return false;
  for (SiteId site : {SiteId::EntityGetMatrix, SiteId::EntityVirtualSetMatrix, SiteId::MatrixInverse,
                      SiteId::MatrixMultiply, SiteId::NodeMatrixChanged})
    if (!SiteMatches(host, site)) return false;
  return !needsNewton || SiteMatches(host, SiteId::NewtonTransformCallback);
}

}  // namespace

bool InstallEntityRuntime(HMODULE host, bool handsRoot, bool handsPose, bool worldRoot, bool ragdollPose,
                          bool diagnostics, std::wstring& message) {
  if (host == nullptr) return FailInstall(message, kNullHost);
  if (handsPose || ragdollPose) return FailInstall(message, kPoseRefused);
  const bool needsNewton = worldRoot || diagnostics;
  if (!SitesMatch(host, handsRoot, needsNewton)) return FailInstall(message, kEntryBytes);

  EntityHostFunctions functions;
  functions.getMatrix = reinterpret_cast<float* (*)(void*, float*)>(SiteAddress(host, SiteId::EntityGetMatrix));
  functions.inverse = reinterpret_cast<float* (*)(float*, const float*)>(SiteAddress(host, SiteId::MatrixInverse));
  functions.multiply =
      reinterpret_cast<float* (*)(float*, const float*, const float*)>(SiteAddress(host, SiteId::MatrixMultiply));
  functions.nodeMatrixChanged = reinterpret_cast<void (*)(void*, bool)>(SiteAddress(host, SiteId::NodeMatrixChanged));
  functions.virtualSetMatrix = SiteAddress(host, SiteId::EntityVirtualSetMatrix);
  functions.boneStateSetMatrix = SiteAddress(host, SiteId::BoneStateSetMatrix);
  if (needsNewton) {
    HMODULE newton = GetModuleHandleW(L"Newton.dll");
    FARPROC getUserData = newton != nullptr ? GetProcAddress(newton, "NewtonBodyGetUserData") : nullptr;
    if (getUserData == nullptr) return FailInstall(message, kNoUserData);
    functions.newtonBodyGetUserData = reinterpret_cast<void* (*)(const void*)>(reinterpret_cast<void*>(getUserData));
  }

  // Everything the detours read is in place before the first hook is enabled.
  EntityRuntimeFlags& flags = g_runtime.flags;
  flags = EntityRuntimeFlags{};
  flags.hostBase = reinterpret_cast<uintptr_t>(host);
  flags.handsRoot = handsRoot;
  flags.worldRoot = worldRoot;
  flags.diagnostics = diagnostics;
  if (diagnostics && !ReadPerformanceFrequency(&flags.frequency)) flags.frequency = 0;
  g_runtime.host = functions;
  g_runtime.setMatrixTarget = SiteAddress(host, SiteId::EntitySetMatrix);
  g_runtime.setVarBoolTarget = handsRoot ? SiteAddress(host, SiteId::EntitySetVarBool) : nullptr;
  g_runtime.newtonTarget = needsNewton ? SiteAddress(host, SiteId::NewtonTransformCallback) : nullptr;

  MinHookApi& mh = MinHook();
  const MH_STATUS init = mh.Initialize();
  if (init != MH_OK && init != MH_ERROR_ALREADY_INITIALIZED)
    return FailInstall(message, FormatHookFailure(L"MH_Initialize", init));

  void* const setMatrix = g_runtime.setMatrixTarget;
  void* const newtonCallback = g_runtime.newtonTarget;
  MH_STATUS status = mh.CreateHook(setMatrix, reinterpret_cast<void*>(&SetMatrixDetour), Slot(&g_runtime.setMatrixOriginal));
  if (status != MH_OK) {
    g_runtime.setMatrixOriginal = nullptr;
    return FailInstall(message, FormatHookFailure(L"MH_CreateHook(cLuxEntity::SetMatrix)", status));
  }
  if (needsNewton) {
    status = mh.CreateHook(newtonCallback, reinterpret_cast<void*>(&NewtonCallbackDetour), Slot(&g_runtime.newtonOriginal));
    if (status != MH_OK) {
      RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), false);
      return FailInstall(message, FormatHookFailure(L"MH_CreateHook(Newton transform callback)", status));
    }
    status = mh.EnableHook(newtonCallback);
    if (status != MH_OK) {
      RemoveHook(newtonCallback, Slot(&g_runtime.newtonOriginal), false);
      RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), false);
      return FailInstall(message, FormatHookFailure(L"MH_EnableHook(Newton transform callback)", status));
    }
  }
  status = mh.EnableHook(setMatrix);
  if (status != MH_OK) {
    if (needsNewton) RemoveHook(newtonCallback, Slot(&g_runtime.newtonOriginal), true);
    RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), false);
    return FailInstall(message, FormatHookFailure(L"MH_EnableHook(cLuxEntity::SetMatrix)", status));
  }
  if (handsRoot) {
    void* const setVarBool = g_runtime.setVarBoolTarget;
    status = mh.CreateHook(setVarBool, reinterpret_cast<void*>(&SetVarBoolDetour), Slot(&g_runtime.setVarBoolOriginal));
    const wchar_t* step = L"MH_CreateHook(cLuxEntity::SetVarBool)";
    if (status == MH_OK) {
      status = mh.EnableHook(setVarBool);
      step = L"MH_EnableHook(cLuxEntity::SetVarBool)";
    } else {
      g_runtime.setVarBoolOriginal = nullptr;
    }
    if (status != MH_OK) {
      UninstallEntityRuntime();
      message = FormatHookFailure(step, status);
      return false;
    }
  }
  // The name-resolver, prop and agent update detours belong to skeletal pose interpolation,
  // which is refused above.
  JoinFrame(true);
  return true;
}

void UninstallEntityRuntime() {
  if (g_runtime.flags.hostBase == 0) return;
  JoinFrame(false);
  // A frame that loaded the hooks before they were emptied applies and restores on its own; once it
  // has left, nothing of ours is in the host and the restore below finds nothing to do.
  DrainDetourGate(FrameDetourGate());
  EntityRenderRestore();
  if (g_runtime.setVarBoolOriginal != nullptr)
    RemoveHook(g_runtime.setVarBoolTarget, Slot(&g_runtime.setVarBoolOriginal), true);
  if (g_runtime.newtonOriginal != nullptr) {
    RemoveHook(g_runtime.newtonTarget, Slot(&g_runtime.newtonOriginal), true);
    g_runtime.host.newtonBodyGetUserData = nullptr;
  }
  RemoveHook(g_runtime.setMatrixTarget, Slot(&g_runtime.setMatrixOriginal), true);
  ForgetRuntime();

  ClearRootStagings();
  ClearProbeTables();
  ClearNewtonTables();
  ZeroEntityCounters();
  ClearRootRegistries();   // the hands and body slots go last
}

const EntityRuntimeFlags& EntityFlags() { return g_runtime.flags; }
EntityRuntimeFlags& MutableEntityFlags() { return g_runtime.flags; }

void SetEntityHostFunctions(const EntityHostFunctions& functions) { g_runtime.host = functions; }
const EntityHostFunctions& EntityHost() { return g_runtime.host; }

bool CallEntityGetMatrix(void* entity, RigidMatrix* out) {
  const auto fn = g_runtime.host.getMatrix;
  // The host's getter reads the reference node without asking: a node page the game has made
  // unreadable would fault inside the game's own code.
  return fn != nullptr && entity != nullptr && ReferenceNodeReadable(entity) && fn(entity, out->m) == out->m;
}

bool CallMatrixInverse(const RigidMatrix& in, RigidMatrix* out) {
  const auto fn = g_runtime.host.inverse;
  return fn != nullptr && fn(out->m, in.m) == out->m;
}

bool CallMatrixMultiply(const RigidMatrix& a, const RigidMatrix& b, RigidMatrix* out) {
  const auto fn = g_runtime.host.multiply;
  return fn != nullptr && fn(out->m, a.m, b.m) == out->m;
}

void CallNodeMatrixChanged(void* node, bool flag) {
  const auto fn = g_runtime.host.nodeMatrixChanged;
  if (fn != nullptr && node != nullptr) fn(node, flag);
}

bool EntityVtableRecognised(const void* entity) {
  const EntityHostFunctions& host = g_runtime.host;
  const void* vtable = nullptr;
  if (host.getMatrix == nullptr || host.virtualSetMatrix == nullptr || !ReadHostValueAt(entity, 0, vtable) ||
      !CheckHostRange(vtable, kVtableBytes, false))
    return false;
  const void* const* slots = static_cast<const void* const*>(vtable);
  return slots[kVtableGetMatrix] == reinterpret_cast<const void*>(host.getMatrix) &&
         slots[kVtableSetMatrix] == host.virtualSetMatrix;
}

uint64_t EntityVtableRva(const void* entity) {
  uintptr_t vtable = 0;
  return ReadHostValueAt(entity, 0, vtable) ? HostRva(vtable) : 0;
}

uint64_t HostRva(uintptr_t address) {
  const uintptr_t base = g_runtime.flags.hostBase;
  return address >= base ? address - base : address;
}
