#pragma once
// The entity runtime: detours on the host's entity and physics code, the host functions it calls,
// and the flags every entity, world and skeletal subsystem reads.
#include <windows.h>

#include <cstdint>
#include <string>

#include "interp/transform.h"

struct EntityRuntimeFlags {
  uintptr_t hostBase = 0;  // 0 while not installed
  bool handsRoot = false;
  bool handsPose = false;
  bool worldRoot = false;
  bool ragdollPose = false;
  bool diagnostics = false;
  int64_t frequency = 0;   // performance counter, only with diagnostics
  bool applyInProgress = false;
};

bool InstallEntityRuntime(HMODULE host, bool handsRoot, bool handsPose, bool worldRoot, bool ragdollPose,
                          bool diagnostics, std::wstring& message);
void UninstallEntityRuntime();

const EntityRuntimeFlags& EntityFlags();
EntityRuntimeFlags& MutableEntityFlags();

// The host functions the runtime calls, in the host's calling shapes. The installer resolves them
// from the identified build; an in-process test may hand in its own.
struct EntityHostFunctions {
  float* (*getMatrix)(void* entity, float* out) = nullptr;                        // returns out
  float* (*inverse)(float* out, const float* in) = nullptr;                       // returns out
  float* (*multiply)(float* out, const float* a, const float* b) = nullptr;       // returns out
  void (*nodeMatrixChanged)(void* node, bool flag) = nullptr;
  const void* virtualSetMatrix = nullptr;   // expected in slot 44 of an entity's virtual table
  const void* boneStateSetMatrix = nullptr;
  const void* agentMeshGetter = nullptr;    // expected in an agent's virtual table
  const void* agentOnUpdate = nullptr;
  void* (*newtonBodyGetUserData)(const void* newtonBody) = nullptr;
};
void SetEntityHostFunctions(const EntityHostFunctions& functions);
const EntityHostFunctions& EntityHost();

// Each returns false when the function is unknown or did not return the output pointer it was given.
bool CallEntityGetMatrix(void* entity, RigidMatrix* out);
bool CallMatrixInverse(const RigidMatrix& in, RigidMatrix* out);
bool CallMatrixMultiply(const RigidMatrix& a, const RigidMatrix& b, RigidMatrix* out);
void CallNodeMatrixChanged(void* node, bool flag);
// The entity's virtual table is readable (360 bytes) and holds the host's getter (slot 20) and
// virtual setter (slot 44).
bool EntityVtableRecognised(const void* entity);
// The entity's virtual-table address as an RVA; 0 when the entity's first word is unreadable.
uint64_t EntityVtableRva(const void* entity);
// address - host base, or the address unchanged when below the base.
uint64_t HostRva(uintptr_t address);
