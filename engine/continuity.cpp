// Continuity drop tracking: every packet of a checked PID must carry the
// previous continuity_counter plus one, modulo 16.
#include "engine/stream_job.h"

bool ContinuityCheck(const uint8_t* packet, StreamContext& context, PidEntry& entry) {
    if (packet == nullptr) {
        return false;
    }
    // PCR-only PIDs often repeat or skip counters legitimately; they are
    // neither compared nor counted.
    if (IsPcrPid(context, entry.pid)) {
        return false;
    }
    const bool seen = entry.noCounterSeen == 0;
    const uint8_t previous = seen ? entry.lastCounter : static_cast<uint8_t>((entry.lastCounter - 1) & 0x0F);
    entry.previousCounter = previous;
    entry.dropInPacket = 0;
    entry.lastCounter = entry.continuityCounter;
    bool drop = false;
    if (seen && entry.continuityCounter != ((previous + 1) & 0x0F)) {
        ++entry.dropCount;
        entry.dropInPacket = 1;
        drop = true;
    }
    ++entry.packetCount;
    entry.noCounterSeen = 0;
    return drop;
}
