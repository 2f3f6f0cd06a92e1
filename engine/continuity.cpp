#include "engine/stream_job.h"

bool ContinuityCheck(const uint8_t* packet, StreamContext& context, PidEntry& entry)
{
    (void)packet;
    (void)context;
    (void)entry;
    return false;
}
