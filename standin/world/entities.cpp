// No scenario places entities yet.
#include "entities.h"

namespace qv {

void CreateEntities() {}
void EntitiesBeforeCheck() {}
void StepEntities(uint64_t, double) {}
void EntitiesAfterStep(uint64_t) {}
void DrawEntities() {}
size_t EntityDrawTracks() { return 0; }

}  // namespace qv
