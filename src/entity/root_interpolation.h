#pragma once
// Registered entity roots: capture at every tick, render-time apply and exact restore.
#include <cstdint>

#include "frame/presentation_clock.h"

void EntityTickCapture(uint64_t tick, uint64_t generation);
bool EntityRenderApply(const ClockSample& sample);
void EntityRenderRestore();
void ResetEntityHistories();
