/* The part of Newton's interface the game uses. */
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

typedef struct NewtonBody NewtonBody;

QV_NEWTON_API NewtonBody* NewtonCreateDynamicBody(void* world, void* collision, const float* matrix);
QV_NEWTON_API void NewtonDestroyBody(NewtonBody* body);
QV_NEWTON_API void NewtonBodySetUserData(NewtonBody* body, void* userData);
QV_NEWTON_API void* NewtonBodyGetUserData(const NewtonBody* body);
QV_NEWTON_API void NewtonBodySetMatrix(NewtonBody* body, const float* matrix);
QV_NEWTON_API void NewtonBodyGetMatrix(const NewtonBody* body, float* matrix);

#ifdef __cplusplus
}
#endif

#endif
