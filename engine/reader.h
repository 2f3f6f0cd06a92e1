#pragma once
// The block reader and packet aligner of the stream worker. Exposed for the
// worker's own tests and the fuzz target.
#include <cstdint>
#include <functional>
#include <memory>

#include "endpoints/stream_endpoints.h"

// Bytes asked of the source per read: a piece is checked while it is still
// in the processor's cache, and the same few pieces of the block are used
// over and over.
constexpr uint32_t kReadPiece = 1u << 20;

// Worker-local read state. The block is allocated on the first read and
// released with the reader.
struct BlockReader {
    std::unique_ptr<uint8_t[]> block;
    // Where the bytes lie: the block, or the block a source lent (a tuner's
    // queue), which the reader then never allocates.
    const uint8_t* data = nullptr;
    uint32_t capacity = 0;
    uint32_t length = 0;  // bytes valid from data
    uint32_t cursor = 0;  // offset of the next byte to scan
    bool allocationFailed = false;
    bool ended = false;          // the source reported its end, or reading was finished
    int64_t sourcePosition = 0;  // source offset just behind the block's data
    // The cursor sits where the previous packet's stride puts the next one
    // (true at the start of the source as well).
    bool inStep = true;
    // Advance of the previous packet and how many packets in a row had it
    // (counted up to 2): from two on, that stride is the stream's own and is
    // tested first, so a 0x47 in a 192-byte unit's time stamp never wins.
    uint32_t stride = 0;
    uint32_t strideRun = 0;
    uint32_t piece = kReadPiece;  // most bytes asked of the source per read
    // Runs before the bytes in front of the cursor are moved or overwritten
    // by the next read; packets delivered earlier point there.
    std::function<void()> beforeMove;
};

enum class ReadStatus {
    Packet,   // a packet was delivered
    NoneNow,  // nothing at the moment; a console or tuner may deliver later
    End,      // the source is finished (or cannot be read)
};

struct PacketRead {
    ReadStatus status = ReadStatus::End;
    const uint8_t* packet = nullptr;  // inside the block, at the packet's 0x47
    int32_t length = 0;               // 188 or 192 (the advance)
};

// Delivers the next aligned 188-byte packet. A packet counts as aligned when
// another 0x47 follows it at +188 or +192 (the stream's established stride
// tested first), or when it is the last 188 bytes the source delivered, or,
// at the source's end, when it stands where the stride expects it and fewer
// than 188 bytes follow it. A 0x47 found afresh (at the start, or behind
// bytes that made no packet) that keeps the 192 stride gives way to the last
// of the next four bytes that keeps it too: those were the unit's time stamp.
// Bytes whose alignment cannot be decided yet are kept and the source read
// again, so a short read never loses data. A console or pipe source is
// waited on for a short while only, so that the caller can honour a stop
// request: NoneNow then means "nothing yet".
PacketRead ReadPacket(BlockReader& reader, PacketSource& source);

// ReadPacket for the packet loop: the common case, a packet at the stream's
// own stride confirmed by the next one, is decided here without a call.
// The loop alone closes the source, after its last call: the source is
// asked whether it is open only when the block needs more than the packets
// already confirmed in it.
inline PacketRead NextPacket(BlockReader& reader, PacketSource& source);

// Reading is over (a stop request): the following calls deliver the whole
// packets already in hand, under the end-of-source rules, and then End.
inline void FinishReading(BlockReader& reader) {
    reader.ended = true;
}

// Byte offset in the source of a packet inside the block.
inline int64_t PacketPosition(const BlockReader& reader, const uint8_t* packet) {
    return reader.sourcePosition - static_cast<int64_t>(reader.length) + (packet - reader.data);
}

inline PacketRead NextPacket(BlockReader& reader, PacketSource& source) {
    if (reader.inStep && reader.strideRun >= 2 && reader.data != nullptr) {
        const uint32_t stride = reader.stride;
        const uint8_t* at = reader.data + reader.cursor;
        if (reader.length - reader.cursor > stride && at[0] == 0x47 && at[stride] == 0x47) {
            reader.cursor += stride;
            return PacketRead{ReadStatus::Packet, at, static_cast<int32_t>(stride)};
        }
    }
    return ReadPacket(reader, source);
}
