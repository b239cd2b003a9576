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

// The host functions resolved at installation. Each returns false when the function is unknown or
// did not return the output pointer it was given.
bool CallEntityGetMatrix(void* entity, RigidMatrix* out);
bool CallMatrixInverse(const RigidMatrix& in, RigidMatrix* out);
bool CallMatrixMultiply(const RigidMatrix& a, const RigidMatrix& b, RigidMatrix* out);
void CallNodeMatrixChanged(void* node, bool flag);
void* HostSiteAddress(uint32_t siteId);   // resolved host function, null when unknown
// The entity's virtual table is readable (360 bytes) and holds the host's getter (slot 20) and
// virtual setter (slot 44).
bool EntityVtableRecognised(const void* entity);
// address - host base, or the address unchanged when below the base.
uint64_t HostRva(uintptr_t address);
