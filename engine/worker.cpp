#include "engine/stream_job.h"

uint32_t StreamWorker(void* job)
{
    (void)job;
    return 0;
}

uint32_t ReadBufferCapacity(uint32_t bufsize)
{
    return bufsize == 0 ? kDefaultReadBuffer : bufsize;
}
