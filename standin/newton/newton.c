/* Stand-in Newton.dll: loose rigid bodies stepped by two worker threads. */
#define QV_NEWTON_BUILD
#include "newton_api.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define QV_WORKERS 2
#define QV_MAX_BODIES 1024

struct NewtonBody {
  NewtonWorld* world;
  float matrix[16];
  void* user_data;
  NewtonSetTransform callback;
  float position[3];
  float velocity[3];
  float yaw;
  float omega;
  float gravity;
  float friction;
  float floor_y;
  int sleeping;
};

typedef struct Worker {
  NewtonWorld* world;
  int index;
  HANDLE start;
  HANDLE done;
} Worker;

struct NewtonWorld {
  NewtonBody* bodies[QV_MAX_BODIES];
  int count;
  float timestep;
  Worker workers[QV_WORKERS];
};

static void BuildMatrix(NewtonBody* b) {
  float c = cosf(b->yaw), s = sinf(b->yaw);
  const float m[16] = {c, 0, s, b->position[0], 0, 1, 0, b->position[1], -s, 0, c, b->position[2], 0, 0, 0, 1};
  memcpy(b->matrix, m, sizeof m);
}

/* One step of one body; nonzero when it moved. */
static int Integrate(NewtonBody* b, float dt) {
  float before[4] = {b->position[0], b->position[1], b->position[2], b->yaw};
  int on_floor;
  float speed;
  if (b->sleeping) return 0;
  b->velocity[1] -= b->gravity * dt;
  for (int i = 0; i < 3; ++i) b->position[i] += b->velocity[i] * dt;
  if (b->gravity > 0 && b->position[1] < b->floor_y) {
    b->position[1] = b->floor_y;
    b->velocity[1] = b->velocity[1] < -2.0f ? -0.3f * b->velocity[1] : 0.0f; /* a small bounce, then rest */
  }
  on_floor = b->gravity > 0 && b->position[1] <= b->floor_y && b->velocity[1] == 0.0f;
  speed = sqrtf(b->velocity[0] * b->velocity[0] + b->velocity[2] * b->velocity[2]);
  if (on_floor && b->friction > 0 && speed > 0) {
    float slower = speed - b->friction * dt;
    float scale = slower > 0 ? slower / speed : 0.0f;
    b->velocity[0] *= scale;
    b->velocity[2] *= scale;
    if (scale == 0.0f) b->omega = 0.0f;
  }
  b->yaw += b->omega * dt;
  if ((on_floor || b->gravity == 0) && b->velocity[0] == 0 && b->velocity[1] == 0 && b->velocity[2] == 0 &&
      b->omega == 0)
    b->sleeping = 1;
  if (before[0] == b->position[0] && before[1] == b->position[1] && before[2] == b->position[2] && before[3] == b->yaw)
    return 0;
  BuildMatrix(b);
  return 1;
}

static DWORD WINAPI WorkerMain(LPVOID parameter) {
  Worker* w = (Worker*)parameter;
  SetEvent(w->done); /* started: its thread-attach notifications have run */
  /* Until the process ends. */
  while (WaitForSingleObject(w->start, INFINITE) == WAIT_OBJECT_0) {
    NewtonWorld* world = w->world;
    for (int i = w->index; i < world->count; i += QV_WORKERS) {
      NewtonBody* b = world->bodies[i];
      if (Integrate(b, world->timestep) && b->callback) b->callback(b, b->matrix, w->index);
    }
    SetEvent(w->done);
  }
  return 0;
}

NewtonWorld* NewtonCreate(void) {
  NewtonWorld* world = (NewtonWorld*)calloc(1, sizeof(NewtonWorld));
  if (!world) return NULL;
  for (int i = 0; i < QV_WORKERS; ++i) {
    Worker* w = &world->workers[i];
    w->world = world;
    w->index = i;
    w->start = CreateEventW(NULL, FALSE, FALSE, NULL);
    w->done = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, WorkerMain, w, 0, NULL);
    if (thread) {
      WaitForSingleObject(w->done, INFINITE);
      CloseHandle(thread);
    }
  }
  return world;
}

int NewtonGetThreadsCount(const NewtonWorld* world) { return world ? QV_WORKERS : 0; }

void NewtonUpdate(NewtonWorld* world, float timestep) {
  HANDLE done[QV_WORKERS];
  if (!world) return;
  world->timestep = timestep;
  for (int i = 0; i < QV_WORKERS; ++i) {
    done[i] = world->workers[i].done;
    SetEvent(world->workers[i].start);
  }
  WaitForMultipleObjects(QV_WORKERS, done, TRUE, INFINITE);
}

NewtonBody* NewtonCreateDynamicBody(NewtonWorld* world, void* collision, const float* matrix) {
  (void)collision;
  NewtonBody* body = (NewtonBody*)calloc(1, sizeof(NewtonBody));
  if (!body) return NULL;
  if (matrix) {
    memcpy(body->matrix, matrix, sizeof body->matrix);
    body->position[0] = matrix[3];
    body->position[1] = matrix[7];
    body->position[2] = matrix[11];
    body->yaw = atan2f(matrix[2], matrix[0]);
  }
  if (world && world->count < QV_MAX_BODIES) {
    body->world = world;
    world->bodies[world->count++] = body;
  }
  return body;
}

void NewtonDestroyBody(NewtonBody* body) {
  if (!body) return;
  NewtonWorld* world = body->world;
  if (world) {
    for (int i = 0; i < world->count; ++i) {
      if (world->bodies[i] != body) continue;
      memmove(&world->bodies[i], &world->bodies[i + 1], (size_t)(world->count - i - 1) * sizeof(NewtonBody*));
      --world->count;
      break;
    }
  }
  free(body);
}

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

void NewtonBodySetTransformCallback(NewtonBody* body, NewtonSetTransform callback) {
  if (body) body->callback = callback;
}

void NewtonBodySetVelocity(NewtonBody* body, const float* velocity) {
  if (!body || !velocity) return;
  memcpy(body->velocity, velocity, sizeof body->velocity);
  body->sleeping = 0;
}

void NewtonBodySetOmega(NewtonBody* body, const float* omega) {
  if (!body || !omega) return;
  body->omega = omega[1];
  body->sleeping = 0;
}

void NewtonBodySetMaterial(NewtonBody* body, float gravity, float friction, float floorY) {
  if (!body) return;
  body->gravity = gravity;
  body->friction = friction;
  body->floor_y = floorY;
  body->sleeping = 0;
}

int NewtonBodyGetSleepState(const NewtonBody* body) { return body ? body->sleeping : 1; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance; (void)reason; (void)reserved;
  return TRUE;
}
