/* The part of Newton's interface the game uses. The stand-in simulates loose rigid bodies only:
   a body falls under gravity onto a floor plane, slides with friction, turns about its up axis,
   and goes to sleep once it no longer moves. Moved bodies are reported through their transform
   callback from the world's worker threads, each with its thread index, while the thread that
   called NewtonUpdate waits for them. */
#ifndef QV_NEWTON_API_H
#define QV_NEWTON_API_H

#ifdef __cplusplus
extern "C" {
#endif

#ifdef QV_NEWTON_BUILD
#define QV_NEWTON_API __declspec(dllexport)
#else
#define QV_NEWTON_API __declspec(dllimport)
#endif

typedef struct NewtonWorld NewtonWorld;
typedef struct NewtonBody NewtonBody;
typedef void (*NewtonSetTransform)(const NewtonBody* body, const float* matrix, int threadIndex);

QV_NEWTON_API NewtonWorld* NewtonCreate(void);
QV_NEWTON_API int NewtonGetThreadsCount(const NewtonWorld* world);
QV_NEWTON_API void NewtonUpdate(NewtonWorld* world, float timestep);

/* world may be null: a body of no world, never simulated. */
QV_NEWTON_API NewtonBody* NewtonCreateDynamicBody(NewtonWorld* world, void* collision, const float* matrix);
QV_NEWTON_API void NewtonDestroyBody(NewtonBody* body);
QV_NEWTON_API void NewtonBodySetUserData(NewtonBody* body, void* userData);
QV_NEWTON_API void* NewtonBodyGetUserData(const NewtonBody* body);
QV_NEWTON_API void NewtonBodySetMatrix(NewtonBody* body, const float* matrix);
QV_NEWTON_API void NewtonBodyGetMatrix(const NewtonBody* body, float* matrix);
QV_NEWTON_API void NewtonBodySetTransformCallback(NewtonBody* body, NewtonSetTransform callback);
QV_NEWTON_API void NewtonBodySetVelocity(NewtonBody* body, const float* velocity);
/* Turn rate about the up axis, radians per second. */
QV_NEWTON_API void NewtonBodySetOmega(NewtonBody* body, const float* omega);
/* Gravity (units/s^2, down), sliding friction (units/s^2 of deceleration on the floor), floor height. */
QV_NEWTON_API void NewtonBodySetMaterial(NewtonBody* body, float gravity, float friction, float floorY);
QV_NEWTON_API int NewtonBodyGetSleepState(const NewtonBody* body);

#ifdef __cplusplus
}
#endif

#endif
