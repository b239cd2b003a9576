#pragma once
// What the entity runtime tells the log: the set-matrix and physics-body probes, the one-time root
// probe per kind, and the interpolation report every five seconds.
#include <cstdint>

#include "entity/root_registries.h"
#include "interp/transform.h"

void RecordSetMatrix(void* entity, const char* name, const void* matrixArgument, uint64_t callerRva, uint64_t vtableRva);
void RecordNewtonProbe(void* bodyObject, const char* name, const RigidMatrix& matrix);  // any thread
void RootProbe(EntityKind kind, const char* name, void* entity, const RigidMatrix& matrix, float scale);
void InterpolationReport();
void ClearProbeTables();
