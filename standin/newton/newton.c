/* Stand-in Newton.dll: rigid bodies as records of a matrix and the host's user data. */
#define QV_NEWTON_BUILD
#include "newton_api.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

struct NewtonBody {
  float matrix[16];
  void* user_data;
};

NewtonBody* NewtonCreateDynamicBody(void* world, void* collision, const float* matrix) {
  (void)world; (void)collision;
  NewtonBody* body = (NewtonBody*)calloc(1, sizeof(NewtonBody));
  if (body && matrix) memcpy(body->matrix, matrix, sizeof body->matrix);
  return body;
}

void NewtonDestroyBody(NewtonBody* body) { free(body); }

void NewtonBodySetUserData(NewtonBody* body, void* userData) {
  if (body) body->user_data = userData;
}

void* NewtonBodyGetUserData(const NewtonBody* body) { return body ? body->user_data : NULL; }

void NewtonBodySetMatrix(NewtonBody* body, const float* matrix) {
  if (body && matrix) memcpy(body->matrix, matrix, sizeof body->matrix);
}

void NewtonBodyGetMatrix(const NewtonBody* body, float* matrix) {
  if (body && matrix) memcpy(matrix, body->matrix, sizeof body->matrix);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance; (void)reason; (void)reserved;
  return TRUE;
}
