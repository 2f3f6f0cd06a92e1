#pragma once
// The block reader and packet aligner, and the staging writer, of the stream
// worker. Exposed for the worker's own tests and the fuzz target.
#include <cstdint>
#include <memory>

#include "platform/platform.h"

class TunerSource;

// How the source behaves at its end: a file or pipe ends the stream, the
// console and the tuner may deliver more later.
enum class SourceKind { Unusable, File, Console, Pipe, Tuner };

// Worker-local read state. The block is allocated on the first read and
// released with the reader.
struct BlockReader {
    std::unique_ptr<uint8_t[]> block;
    uint32_t capacity = 0;
    uint32_t length = 0;   // bytes valid from the block start
    uint32_t cursor = 0;   // offset of the next byte to scan
    bool allocationFailed = false;
    bool ended = false;    // the source reported its end (file, pipe)
    int64_t sourcePosition = 0;  // source offset just behind the block's data
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
// another 0x47 follows it at +188 or +192, or when it is the last 188 bytes
// the source delivered. Bytes whose alignment cannot be decided yet are kept
// and the source read again, so a short read never loses data.
PacketRead ReadPacket(BlockReader& reader, platform::FileHandle input, TunerSource* tuner, SourceKind kind);

// Byte offset in the source of a packet inside the block.
inline int64_t PacketPosition(const BlockReader& reader, const uint8_t* packet)
{
    return reader.sourcePosition - static_cast<int64_t>(reader.length) + (packet - reader.block.get());
}

// The 256-packet staging writer. A call without a packet flushes. Returns the
// bytes handed to the sink in this call; `writeFailed` is set when a file
// write failed or fell short. The file then ends with its last whole packet
// (a torn one is cut off), the queued bytes are dropped and the file takes
// nothing more.
int32_t WriteOutput(platform::FileHandle output, int32_t senderId, const uint8_t* packet, int32_t length,
                    uint8_t* staging, int32_t stagingSize, int32_t& stagingFill, bool& writeFailed);
