// Implementations that the host functions in QuarrenVelt.exe call (imports of the exe).
#pragma once

#include <cstdint>

#include "qv_host.h"
#include "sdl2_api.h"

extern "C" {
QV_WORLD_API void QvEngineRun(void* engine);
QV_WORLD_API void QvUpdaterRunMessage(void* updater, int message, float value);
QV_WORLD_API void QvSceneRenderViewport(void* scene, void* viewport, float dt, int index);
QV_WORLD_API uint64_t QvSchedulerClockRaw();
QV_WORLD_API float QvInputLookAmount(void* handler, float* look, void* c, void* d);
QV_WORLD_API void QvImGuiSendMousePosition(void* context, const int* xy, void* c, void* d);
QV_WORLD_API void QvImGuiDoMouse(void* context, void* b, void* c, void* d);
QV_WORLD_API void QvImGuiImageDraw(void* context, void* item, const float* xy, void* d, void* e, void* f,
                                   void* g, void* h, void* i);
QV_WORLD_API void QvParticleUpdateMotion(void* emitter, void* b, void* c, void* d);
QV_WORLD_API void QvParticleGraphicsUpdate(void* emitter, void* b, void* c, void* d);
QV_WORLD_API uint8_t* QvEntityFindVar(void* entity, const void* name);
QV_WORLD_API float* QvEntityGetMatrix(void* entity, float* out);
QV_WORLD_API void QvEntitySetMatrix(void* entity, const float* matrix);
QV_WORLD_API float* QvMatrixInverse(float* out, const float* in);
QV_WORLD_API float* QvMatrixMultiply(float* out, const float* a, const float* b);
QV_WORLD_API void QvNodeMatrixChanged(void* node, bool flag);
QV_WORLD_API void QvBoneSetMatrix(void* bone, const float* matrix, bool flag);
QV_WORLD_API void* QvResolveEntityName(const void* name, void* b, void* c, void* table);
QV_WORLD_API void QvNewtonBodyMoved(void* body_object, const float* matrix);
QV_WORLD_API void QvPropOnUpdate(void* prop, void* b, void* c, void* d);
QV_WORLD_API void QvAgentOnUpdate(void* agent, float dt, void* c, void* d);
}
