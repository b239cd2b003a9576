// One fixed step of every kind, in the host's order, and the leak check before it: the
// simulation must find, in every object it wrote, exactly what it wrote.
#include "draw_log.h"
#include "entities.h"
#include "gui.h"
#include "input.h"
#include "particles.h"
#include "physics.h"
#include "shadow.h"
#include "skeletons.h"
#include "world.h"

namespace qv {

void CreateWorldObjects() {
  BeginDrawLog();
  CreateEntities();
  CreatePhysics();
  CreateSkeletons();
  CreateInput();
  CreateGui();
  CreateParticles();
  ReserveDrawLogRows();
}

void CheckWorldBeforeStep() {
  EntitiesBeforeCheck();
  ParticlesBeforeCheck();
  SkeletonsBeforeCheck();
  CheckShadows(TheWorld().steps + 1);
}

void SimulateStep(double step_seconds) {
  World& w = TheWorld();
  uint64_t k = w.steps + 1;
  w.sim_seconds += step_seconds;
  StepInput(k);
  StepGui(k);
  StepCameras(k, w.sim_seconds);
  StepPhysics(k, step_seconds);
  StepEntities(k, w.sim_seconds);
  StepSkeletons(k, w.sim_seconds);
  StepParticles(k, step_seconds);
}

void AfterStep() {
  uint64_t k = TheWorld().steps;
  PhysicsAfterStep(k);
  EntitiesAfterStep(k);
  SkeletonsAfterStep(k);
  ParticlesAfterStep(k);
}

}  // namespace qv
