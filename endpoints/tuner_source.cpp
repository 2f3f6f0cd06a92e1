// Tuner source: a tuner driver library feeding a queue through a reader thread.
#include "endpoints/endpoints.h"

class TunerSource {};
TunerSource* CreateTunerSource() { return new TunerSource; }
void DestroyTunerSource(TunerSource* tuner) { delete tuner; }
void StartTuner(TunerSource&, uint32_t, uint32_t, const char*, uint32_t) {}
uint32_t TakeFromTuner(TunerSource&, uint8_t*, uint32_t) { return 0; }
void StopTuner(TunerSource&) {}
