// Real-time pacing of the output (-sync).
#include "engine/stream_job.h"

void PaceStream(StreamSlot&, StreamContext&, void (*)(StreamSlot&)) {}
