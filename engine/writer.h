#pragma once
// The 256-packet staging writer of the stream worker: packets gather in a
// block that goes to the sink whole, so a sender receives blocks of at most
// 256 packets.
#include <cstdint>

class PacketSink;

// A call without a packet flushes. Returns the bytes the sink kept in this
// call. After a failed write the sink has failed: the queued bytes are
// dropped and it takes nothing more.
int32_t WriteOutput(PacketSink& sink, const uint8_t* packet, int32_t length, uint8_t* staging, int32_t stagingSize,
                    int32_t& stagingFill);
