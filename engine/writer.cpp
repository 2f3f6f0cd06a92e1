// Output writer of the stream worker.
#include "engine/writer.h"

#include <cstring>

#include "endpoints/stream_endpoints.h"

namespace {

int32_t HandOver(PacketWriter& writer) {
    if (writer.fill <= 0) {
        return 0;
    }
    const uint8_t* data = writer.run != nullptr ? writer.run : writer.staging.data();
    const uint32_t kept = writer.sink.WriteBlock(data, static_cast<uint32_t>(writer.fill));
    writer.fill = 0;
    writer.run = nullptr;
    writer.takesBlocks = writer.sink.TakesBlocks();
    return static_cast<int32_t>(kept);
}

}  // namespace

PacketWriter::PacketWriter(PacketSink& sink, int32_t blockSize)
    : sink(sink),
      staging(static_cast<std::size_t>(blockSize > 0 ? blockSize : 0)),
      blockSize(blockSize),
      takesBlocks(blockSize > 0 && sink.TakesBlocks()) {}

void StagePendingRun(PacketWriter& writer) {
    if (writer.run != nullptr && writer.fill > 0) {
        std::memcpy(writer.staging.data(), writer.run, static_cast<std::size_t>(writer.fill));
    }
    writer.run = nullptr;
}

int32_t QueuePacket(PacketWriter& writer, const uint8_t* packet, int32_t length) {
    if (!writer.takesBlocks || packet == nullptr || length <= 0 || length > writer.blockSize) {
        return 0;
    }
    int32_t total = 0;
    if (writer.fill + length > writer.blockSize) {
        // Full: make room first; a sink that takes nothing loses this packet
        // rather than splitting it or overrunning the block.
        const int32_t handed = HandOver(writer);
        total += handed;
        if (handed == 0 || writer.sink.Failed()) {
            return total;
        }
    }
    if (writer.fill == 0) {
        writer.run = packet;
    } else if (writer.run == nullptr || writer.run + writer.fill != packet) {
        // Not the next bytes of the run (a gap, a 192-byte unit's time
        // stamp, or already staged): copy.
        StagePendingRun(writer);
        std::memcpy(writer.staging.data() + writer.fill, packet, static_cast<std::size_t>(length));
    }
    writer.fill += length;
    if (writer.fill == writer.blockSize) {
        total += HandOver(writer);
    }
    return total;
}

int32_t FlushOutput(PacketWriter& writer) {
    if (!writer.takesBlocks) {
        return 0;
    }
    return HandOver(writer);
}
