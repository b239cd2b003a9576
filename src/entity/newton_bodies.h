#pragma once
// Loose physics bodies: staged by the transform callback on the physics worker threads, moved into
// a bounded registry at every tick, written interpolated for a viewport and restored after it.
#include <cstddef>
#include <cstdint>

#include "frame/presentation_clock.h"

inline constexpr size_t kNewtonBodyCapacity = 256;

void RecordNewtonBody(void* bodyObject, void* newtonBody);   // any thread
void DrainNewtonStage(uint64_t tick, uint64_t generation);   // game thread, each tick
bool ApplyNewtonBody(size_t index, const ClockSample& sample);
bool RestoreNewtonBody(size_t index);   // false: the caller counts a restore fail and frees the entry
void FreeNewtonBody(size_t index);
size_t LiveNewtonBodyCount();
// Frees every registry entry and empties the stage (the histories are reset).
void ResetNewtonBodies();
// Everything, restore records included: uninstallation.
void ClearNewtonTables();
