#include "entity/entity_runtime.h"

#include <cstring>

#include "core/log.h"
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
#include "pose/camera_skeleton.h"
#include "pose/pose_state.h"

// The resolver and update functions take arguments whose types are the host's own (an update's
// second one arrives in a float register), so their detours are thunks that leave every argument
// register as the caller set it. Each forward slot holds what runs the host function (ForwardOf).
extern "C" {
void* framolt_name_resolver_forward = nullptr;
void* framolt_prop_update_forward = nullptr;
void* framolt_agent_update_forward = nullptr;
void framolt_name_resolver_detour();
void framolt_prop_update_detour();
void framolt_agent_update_detour();
void framolt_after_skeletal_update(void* owner, int isAgent);
}

// Forward first with the arguments untouched, then register the owner; the host's result (rax,
// xmm0) is kept across the registration.
#define FRAMOLT_UPDATE_THUNK(name, forward, isAgent) \
  "  .p2align 4\n"                                   \
  "  .globl " name "\n"                              \
  "  .def " name "; .scl 2; .type 32; .endef\n"      \
  "  .seh_proc " name "\n"                           \
  name ":\n"                                         \
  "  push %rbx\n"                                    \
  "  .seh_pushreg %rbx\n"                            \
  "  sub $48, %rsp\n"                                \
  "  .seh_stackalloc 48\n"                           \
  "  .seh_endprologue\n"                             \
  "  mov %rcx, %rbx\n"                               \
  "  call *" forward "(%rip)\n"                      \
  "  mov %rax, 32(%rsp)\n"                           \
  "  movq %xmm0, 40(%rsp)\n"                         \
  "  mov %rbx, %rcx\n"                               \
  "  mov $" isAgent ", %edx\n"                       \
  "  call framolt_after_skeletal_update\n"           \
  "  mov 32(%rsp), %rax\n"                           \
  "  movq 40(%rsp), %xmm0\n"                         \
  "  add $48, %rsp\n"                                \
  "  pop %rbx\n"                                     \
  "  ret\n"                                          \
  "  .seh_endproc\n"

// GCC emits top-level asm ahead of everything else, in .text; the thunks stay there.
__asm__(
    "  .text\n"
    "  .p2align 4\n"
    "  .globl framolt_name_resolver_detour\n"
    "  .def framolt_name_resolver_detour; .scl 2; .type 32; .endef\n"
    "framolt_name_resolver_detour:\n"
    "  jmp *framolt_name_resolver_forward(%rip)\n"
    FRAMOLT_UPDATE_THUNK("framolt_prop_update_detour", "framolt_prop_update_forward", "0")
    FRAMOLT_UPDATE_THUNK("framolt_agent_update_detour", "framolt_agent_update_forward", "1"));

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
constexpr wchar_t kEntryBytes[] = L"Player-root native entry bytes do not match the supported build.";
constexpr wchar_t kNoUserData[] = L"NewtonBodyGetUserData was unavailable for the guarded world-body probe.";
constexpr wchar_t kAgentEntryBytes[] =
    L"cLuxAgent entry bytes do not match the supported build; agent interpolation stays off.";
constexpr wchar_t kAgentNoDetour[] = L"cLuxAgent::OnUpdate could not be detoured; agent interpolation stays off.";

struct EntityRuntimeState {
  EntityRuntimeFlags flags;
  EntityHostFunctions host;
  void* setMatrixTarget = nullptr;
  void* setVarBoolTarget = nullptr;
  void* newtonTarget = nullptr;
  void* nameResolverTarget = nullptr;
  void* propUpdateTarget = nullptr;
  void* agentUpdateTarget = nullptr;
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

}  // namespace

void framolt_after_skeletal_update(void* owner, int isAgent) {
  if (g_runtime.flags.hostBase != 0) RegisterSkeletalOwner(owner, isAgent != 0);
}

namespace {

// The forwarding slots stay as they are: a detour still in flight on another thread calls through them.
void ForgetRuntime() {
  g_runtime.flags = EntityRuntimeFlags{};
  g_runtime.host = EntityHostFunctions{};
  g_runtime.setMatrixTarget = nullptr;
  g_runtime.setVarBoolTarget = nullptr;
  g_runtime.newtonTarget = nullptr;
  g_runtime.nameResolverTarget = nullptr;
  g_runtime.propUpdateTarget = nullptr;
  g_runtime.agentUpdateTarget = nullptr;
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
  // The scripted camera rides the body skeleton only where the body's pose is drawn between steps.
  JoinCameraSkeleton(join && EntityFlags().handsPose);
}

bool SitesMatch(HMODULE host, bool handsRoot, bool handsPose, bool ragdollPose, bool needsNewton) {
  if (!SiteMatches(host, SiteId::EntitySetMatrix)) return false;
  if (handsRoot && !SiteMatches(host, SiteId::EntitySetVarBool)) return false;
  for (SiteId site : {SiteId::EntityGetMatrix, SiteId::EntityVirtualSetMatrix, SiteId::MatrixInverse,
                      SiteId::MatrixMultiply, SiteId::NodeMatrixChanged})
    if (!SiteMatches(host, site)) return false;
  if (needsNewton && !SiteMatches(host, SiteId::NewtonTransformCallback)) return false;
  if (ragdollPose && !SiteMatches(host, SiteId::PropOnUpdate)) return false;
  if ((handsPose || ragdollPose) && !SiteMatches(host, SiteId::BoneStateSetMatrix)) return false;
  return !handsPose || SiteMatches(host, SiteId::EntityNameResolver);
}

// Never fatal: without it props still get their poses, agents do not.
void InstallAgentUpdate(HMODULE host) {
  if (!SiteMatches(host, SiteId::AgentOnUpdate) || !SiteMatches(host, SiteId::AgentMeshGetter)) {
    LogWrite(LogLevel::Warn, kAgentEntryBytes);
    return;
  }
  void* const target = SiteAddress(host, SiteId::AgentOnUpdate);
  // Recognition compares an agent's virtual table with these before the first update arrives.
  g_runtime.host.agentMeshGetter = SiteAddress(host, SiteId::AgentMeshGetter);
  g_runtime.host.agentOnUpdate = target;
  MinHookApi& mh = MinHook();
  MH_STATUS status = mh.CreateHook(target, reinterpret_cast<void*>(&framolt_agent_update_detour),
                                   &framolt_agent_update_forward);
  if (status == MH_OK) {
    g_runtime.agentUpdateTarget = target;
    status = mh.EnableHook(target);
    if (status == MH_OK) return;
    RemoveHook(target, &framolt_agent_update_forward, false);
  }
  framolt_agent_update_forward = nullptr;
  g_runtime.agentUpdateTarget = nullptr;
  g_runtime.host.agentMeshGetter = nullptr;
  g_runtime.host.agentOnUpdate = nullptr;
  LogWrite(LogLevel::Warn, kAgentNoDetour);
}

}  // namespace

bool InstallEntityRuntime(HMODULE host, bool handsRoot, bool handsPose, bool worldRoot, bool ragdollPose,
                          bool diagnostics, std::wstring& message) {
  if (host == nullptr) return FailInstall(message, kNullHost);
  // Refused until the pose render side is part of the build: this one line goes then.
  const bool needsNewton = worldRoot || diagnostics;
  if (!SitesMatch(host, handsRoot, handsPose, ragdollPose, needsNewton)) return FailInstall(message, kEntryBytes);

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
  flags.handsPose = handsPose;
  flags.worldRoot = worldRoot;
  flags.ragdollPose = ragdollPose;
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
  void* const resolver = handsPose ? SiteAddress(host, SiteId::EntityNameResolver) : nullptr;
  // Every failure below removes what it made, in the reverse order, and forgets the runtime.
  auto fail = [&](const wchar_t* step, MH_STATUS failed) { return FailInstall(message, FormatHookFailure(step, failed)); };

  MH_STATUS status = mh.CreateHook(setMatrix, reinterpret_cast<void*>(&SetMatrixDetour), Slot(&g_runtime.setMatrixOriginal));
  if (status != MH_OK) {
    g_runtime.setMatrixOriginal = nullptr;
    return fail(L"MH_CreateHook(cLuxEntity::SetMatrix)", status);
  }
  if (handsPose) {
    status = mh.CreateHook(resolver, reinterpret_cast<void*>(&framolt_name_resolver_detour), &framolt_name_resolver_forward);
    if (status != MH_OK) {
      framolt_name_resolver_forward = nullptr;
      RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), false);
      return fail(L"MH_CreateHook(entity-name resolver)", status);
    }
    g_runtime.nameResolverTarget = resolver;
  }
  if (needsNewton) {
    status = mh.CreateHook(newtonCallback, reinterpret_cast<void*>(&NewtonCallbackDetour), Slot(&g_runtime.newtonOriginal));
    if (status != MH_OK) {
      if (handsPose) RemoveHook(resolver, &framolt_name_resolver_forward, false);
      RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), false);
      return fail(L"MH_CreateHook(Newton transform callback)", status);
    }
    status = mh.EnableHook(newtonCallback);
    if (status != MH_OK) {
      RemoveHook(newtonCallback, Slot(&g_runtime.newtonOriginal), false);
      if (handsPose) RemoveHook(resolver, &framolt_name_resolver_forward, false);
      RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), false);
      return fail(L"MH_EnableHook(Newton transform callback)", status);
    }
  }
  status = mh.EnableHook(setMatrix);
  if (status != MH_OK) {
    if (needsNewton) RemoveHook(newtonCallback, Slot(&g_runtime.newtonOriginal), true);
    if (handsPose) RemoveHook(resolver, &framolt_name_resolver_forward, false);
    RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), false);
    return fail(L"MH_EnableHook(cLuxEntity::SetMatrix)", status);
  }
  if (handsPose) {
    status = mh.EnableHook(resolver);
    if (status != MH_OK) {
      if (needsNewton) RemoveHook(newtonCallback, Slot(&g_runtime.newtonOriginal), true);
      RemoveHook(setMatrix, Slot(&g_runtime.setMatrixOriginal), true);
      RemoveHook(resolver, &framolt_name_resolver_forward, false);
      return fail(L"MH_EnableHook(entity-name resolver)", status);
    }
  }
  // From here on a failure takes the whole runtime down.
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
  if (ragdollPose) {
    void* const propUpdate = SiteAddress(host, SiteId::PropOnUpdate);
    status = mh.CreateHook(propUpdate, reinterpret_cast<void*>(&framolt_prop_update_detour), &framolt_prop_update_forward);
    const wchar_t* step = L"MH_CreateHook(cLuxProp::OnUpdate)";
    if (status == MH_OK) {
      g_runtime.propUpdateTarget = propUpdate;
      status = mh.EnableHook(propUpdate);
      step = L"MH_EnableHook(cLuxProp::OnUpdate)";
    } else {
      framolt_prop_update_forward = nullptr;
    }
    if (status != MH_OK) {
      UninstallEntityRuntime();
      message = FormatHookFailure(step, status);
      return false;
    }
  }
  if (ragdollPose) InstallAgentUpdate(host);
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
  if (g_runtime.agentUpdateTarget != nullptr) RemoveHook(g_runtime.agentUpdateTarget, &framolt_agent_update_forward, true);
  if (g_runtime.propUpdateTarget != nullptr) RemoveHook(g_runtime.propUpdateTarget, &framolt_prop_update_forward, true);
  if (g_runtime.setVarBoolOriginal != nullptr)
    RemoveHook(g_runtime.setVarBoolTarget, Slot(&g_runtime.setVarBoolOriginal), true);
  if (g_runtime.newtonOriginal != nullptr) {
    RemoveHook(g_runtime.newtonTarget, Slot(&g_runtime.newtonOriginal), true);
    g_runtime.host.newtonBodyGetUserData = nullptr;
  }
  if (g_runtime.nameResolverTarget != nullptr)
    RemoveHook(g_runtime.nameResolverTarget, &framolt_name_resolver_forward, true);
  RemoveHook(g_runtime.setMatrixTarget, Slot(&g_runtime.setMatrixOriginal), true);
  ForgetRuntime();

  ClearPoseTables();   // bone probe records, PlayerBody pose state and skeletal props
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
