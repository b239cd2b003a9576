#pragma once
// What the entity runtime tells the log: the set-matrix and physics-body probes, the one-time root
// probe per kind, and the interpolation report every five seconds.
#include <cstdint>
#include <string>

#include "entity/entity_names.h"
#include "interp/transform.h"

// Game thread. name is zero-terminated (cut at 96 bytes); the matrix argument is host memory.
void RecordSetMatrix(void* entity, const char* name, const void* matrixArgument, uint64_t callerRva, uint64_t vtableRva);
// Any thread; never waits: a busy table drops the sample.
void RecordNewtonProbe(const void* bodyObject, const EntityName& name, const RigidMatrix& matrix);
// Once per kind (hands, body, held/accessory, scripted) per process, after the host's SetMatrix ran.
void RootProbe(EntityKind kind, const char* name, void* entity, const RigidMatrix& matrix, float scale);
void InterpolationReport();
// Both probe tables, their counters and the report time.
void ClearProbeTables();

// The report as run at a GetTickCount64 time.
void InterpolationReportAt(uint64_t nowMs);
// Each probe line as the report writes it; taking it empties the table and zeroes its counters.
std::wstring TakeNewtonProbeLine();
std::wstring TakeSetMatrixProbeLine();
// The skeletal lines likewise; taking one zeroes what it shows (bone counts and live records are
// state and stay).
std::wstring TakeBodyBoneCadenceLine();
std::wstring TakeHandsBoneCadenceLine();
std::wstring TakeSkeletalPropLine();
std::wstring TakeBodyPoseLine();

// The body-node vector as the root probe describes it: nodes 0 and reference index -1 when the
// vector is unusable or the reference node is not in it.
struct RootProbeNodes {
  uint64_t nodes;
  int64_t referenceIndex;
};
RootProbeNodes ReadRootProbeNodes(const void* entity);
