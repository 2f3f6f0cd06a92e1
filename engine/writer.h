#pragma once
// The output writer of the stream worker: packets go to the sink in blocks of
// at most 256 packets, so a sender receives blocks of that size. Packets that
// lie one after another in the read block go out from there in one piece;
// the others are copied into a staging block first. Either way the sink sees
// the same blocks at the same moments.
#include <cstdint>
#include <vector>

class PacketSink;

struct PacketWriter {
    // The sink is open by now: whether it takes blocks is asked here and
    // again after every hand-over, never per packet.
    PacketWriter(PacketSink& sink, int32_t blockSize);

    PacketSink& sink;
    std::vector<uint8_t> staging;
    int32_t blockSize;
    // Start of the pending packets where they were read, or null once they
    // sit in the staging block.
    const uint8_t* run = nullptr;
    int32_t fill = 0;  // bytes pending, in the run or the staging block
    bool takesBlocks = false;
};

// Queues a packet that does not simply extend the pending run, handing the
// block over when it is full. Returns the bytes the sink kept in this call.
int32_t QueuePacket(PacketWriter& writer, const uint8_t* packet, int32_t length);

// Queues a packet. Returns the bytes the sink kept in this call. After a
// failed write the sink has failed: the queued bytes are dropped and it
// takes nothing more.
inline int32_t WriteOutput(PacketWriter& writer, const uint8_t* packet, int32_t length) {
    // The common case, once per packet: the next bytes of the run, with room
    // left behind them.
    if (writer.run != nullptr && writer.run + writer.fill == packet && length > 0 &&
        writer.fill + length < writer.blockSize) {
        writer.fill += length;
        return 0;
    }
    return QueuePacket(writer, packet, length);
}
// Hands the pending packets over; returns the bytes the sink kept.
int32_t FlushOutput(PacketWriter& writer);
// The bytes under the pending run are about to be moved or overwritten: the
// run goes into the staging block, so the block the sink receives stays the
// same.
void StagePendingRun(PacketWriter& writer);
