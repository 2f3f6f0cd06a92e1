// Staging writer of the stream worker.
#include "engine/writer.h"

#include <cstring>

#include "endpoints/stream_endpoints.h"

namespace {

int32_t HandOver(PacketSink& sink, const uint8_t* staging, int32_t& stagingFill) {
    if (stagingFill <= 0) {
        return 0;
    }
    const uint32_t kept = sink.WriteBlock(staging, static_cast<uint32_t>(stagingFill));
    stagingFill = 0;
    return static_cast<int32_t>(kept);
}

}  // namespace

int32_t WriteOutput(PacketSink& sink, const uint8_t* packet, int32_t length, uint8_t* staging, int32_t stagingSize,
                    int32_t& stagingFill) {
    if (!sink.TakesBlocks() || staging == nullptr || stagingSize <= 0) {
        return 0;
    }
    if (packet != nullptr && (length <= 0 || length > stagingSize)) {
        return 0;
    }
    int32_t total = 0;
    if (packet != nullptr && stagingFill + length > stagingSize) {
        // Full: make room first; a sink that takes nothing loses this packet
        // rather than splitting it or overrunning the buffer.
        const int32_t handed = HandOver(sink, staging, stagingFill);
        total += handed;
        if (handed == 0 || stagingFill + length > stagingSize || sink.Failed()) {
            return total;
        }
    }
    if (packet != nullptr) {
        std::memcpy(staging + stagingFill, packet, static_cast<std::size_t>(length));
        stagingFill += length;
    }
    if (stagingFill == stagingSize || (packet == nullptr && stagingFill > 0)) {
        total += HandOver(sink, staging, stagingFill);
    }
    return total;
}
