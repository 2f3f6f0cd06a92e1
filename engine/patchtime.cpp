// Patch-time report (-patchtime).
#include "engine/stream_job.h"

void PreparePatchTime(PatchTimeState&, const char*, bool) {}
void PatchTimeStep(PatchTimeState&, StreamContext&, int32_t) {}
