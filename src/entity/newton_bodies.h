#pragma once
// Loose physics bodies: staged by the transform callback on the physics worker threads, moved into
// a bounded registry at every tick, written interpolated for a viewport and restored after it.
#include <cstddef>
#include <cstdint>

#include "entity/entity_names.h"
#include "interp/transform_history.h"
#include "interp/transform.h"

inline constexpr size_t kNewtonBodyCapacity = 256;

// The body object is the Newton body's user data. Any thread; waits only for the stage lock, which
// is held for a copy of the stage at most.
void RecordNewtonBody(void* bodyObject, void* newtonBody);
void DrainNewtonStage(uint64_t tick, uint64_t generation);   // game thread, each tick
bool ApplyNewtonBody(size_t index, const ClockSample& sample);
bool RestoreNewtonBody(size_t index);   // false: the caller counts a restore fail and frees the entry
void FreeNewtonBody(size_t index);
size_t LiveNewtonBodyCount();
// Frees every registry entry and empties the stage (the histories are reset).
void ResetNewtonBodies();
// Everything, restore records included: uninstallation.
void ClearNewtonTables();

// The body's matrix, only while the object still holds this Newton body and this name and its
// matrix is writable and rigid.
bool ReadBodyMatrix(const void* bodyObject, const void* newtonBody, const EntityName& expectedName, RigidMatrix* out);
