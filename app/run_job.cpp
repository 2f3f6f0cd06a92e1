#include "app/run_settings.h"

int32_t RunJob()
{
    return 0;
}

bool IsTransportStreamFile(const char* path)
{
    (void)path;
    return false;
}

int ProbePacketSize(platform::FileHandle file, int64_t offset, platform::SeekFrom from)
{
    (void)file;
    (void)offset;
    (void)from;
    return 0;
}
