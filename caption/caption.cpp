#include "caption/caption.h"

#include "tables/stream_context.h"

bool ProcessCaptionPacket(const uint8_t* packet, CaptionStream& caption, StreamContext& context, PidEntry& entry)
{
    (void)packet; (void)caption; (void)context; (void)entry;
    return false;
}

void PrintCaptionIfChanged(CaptionStream& caption) { (void)caption; }

uint16_t Crc16(const uint8_t* first, const uint8_t* end)
{
    (void)first; (void)end;
    return 0;
}
