// Block reader and packet aligner of the stream worker.
#include "engine/reader.h"

#include <cstring>
#include <new>

#include "endpoints/stream_endpoints.h"

namespace {

constexpr uint8_t kSync = 0x47;
constexpr uint32_t kPacket = 188;
constexpr uint32_t kUnit = 192;

enum class ScanMode {
    Open,    // more bytes may follow: stop at a 0x47 whose look-ahead is not there yet
    Settle,  // nothing more for now, but later reads may continue the data
    Final,   // the source has ended: decide with what is there
};

enum class ScanResult { Found, Undecided, Exhausted };

constexpr uint32_t kUndecided = UINT32_MAX;
// The most bytes that may follow the last packet of a source and still leave
// it standing: anything shorter than another packet (a trailing newline, a
// cut-off packet).
constexpr uint32_t kLastWithTrailing = kPacket + kPacket - 1;

// The stride tested first: the stream's own once two packets in a row had
// it, and only where that stride expects the next packet.
uint32_t PreferredStride(const BlockReader& reader, bool inStep) {
    return inStep && reader.strideRun >= 2 ? reader.stride : kPacket;
}

// Advance of a packet whose 0x47 is at `at`, with `rest` bytes from there to
// the end of the data: 188 or 192, 0 when it does not start a packet, or
// kUndecided when the bytes that decide it have not arrived yet.
uint32_t Decide(const uint8_t* at, uint32_t rest, uint32_t preferred, bool inStep, ScanMode mode) {
    // With exactly one packet's bytes for now and no other stride in use,
    // a pause of the source lets the packet go out without its look-ahead.
    const bool lastForNow = mode == ScanMode::Settle && rest == kPacket && preferred == kPacket;
    const uint32_t strides[2] = {preferred, preferred == kPacket ? kUnit : kPacket};
    for (const uint32_t stride : strides) {
        if (rest > stride) {
            if (at[stride] == kSync) {
                return stride;
            }
        } else if (mode == ScanMode::Open || (mode == ScanMode::Settle && !lastForNow)) {
            return kUndecided;
        }
    }
    if (rest == kPacket && mode != ScanMode::Open) {
        // The last packet the source has delivered: nothing follows to
        // confirm it. It counts even behind garbage, so a damaged stream
        // keeps its last packet.
        return kPacket;
    }
    if (inStep && rest > kPacket && rest <= kLastWithTrailing) {
        // Where the stride expects a packet, the source may still end
        // before another one: then it is the last packet, whatever trails it.
        return mode == ScanMode::Final ? kPacket : kUndecided;
    }
    return 0;
}

void Deliver(BlockReader& reader, uint32_t at, uint32_t advance, bool inStep, PacketRead& out) {
    const uint32_t rest = reader.length - at;
    if (inStep && advance == reader.stride) {
        reader.strideRun = reader.strideRun < 2 ? reader.strideRun + 1 : 2;
    } else {
        reader.strideRun = 1;
    }
    reader.stride = advance;
    reader.inStep = true;
    reader.cursor = at + (advance <= rest ? advance : rest);
    out.status = ReadStatus::Packet;
    out.packet = reader.data + at;
    out.length = static_cast<int32_t>(advance);
}

ScanResult ScanPacket(BlockReader& reader, ScanMode mode, PacketRead& out) {
    const uint8_t* data = reader.data;
    const uint32_t end = reader.length;
    const uint32_t start = reader.cursor;
    uint32_t p = start;
    while (p < end) {
        if (data[p] != kSync) {
            const void* next = std::memchr(data + p, kSync, end - p);
            if (next == nullptr) {
                break;
            }
            p = static_cast<uint32_t>(static_cast<const uint8_t*>(next) - data);
        }
        const bool inStep = reader.inStep && p == start;
        const uint32_t advance = Decide(data + p, end - p, PreferredStride(reader, inStep), inStep, mode);
        if (advance == kUndecided) {
            reader.cursor = p;
            reader.inStep = inStep;
            return ScanResult::Undecided;
        }
        if (advance != 0) {
            Deliver(reader, p, advance, inStep, out);
            return ScanResult::Found;
        }
        ++p;
    }
    reader.cursor = end;
    reader.inStep = false;
    return ScanResult::Exhausted;
}

enum class FillResult { Data, NothingNow, Ended };

// Moves the unread bytes to the block's start; the packets in front of them
// are handed on first.
void Compact(BlockReader& reader) {
    if (reader.beforeMove) {
        reader.beforeMove();
    }
    uint8_t* data = reader.block.get();  // only a block of the reader's own is moved
    const uint32_t remaining = reader.length - reader.cursor;
    if (remaining > 0) {
        std::memmove(data, data + reader.cursor, remaining);
    }
    reader.length = remaining;
    reader.cursor = 0;
}

// A source that delivers in small reads (a tuner, a pipe) would otherwise
// cost a move and a hand-over of the packets per read: while bytes keep
// coming, the next read goes behind the data until half a piece has been
// consumed or the room behind it runs short.
bool ReadBehindData(const BlockReader& reader) {
    return reader.piece != 0 && reader.cursor < reader.piece / 2 && reader.capacity - reader.length >= reader.piece;
}

// A lending source: the unread bytes go along into the next lent block,
// the packets before them are handed on first.
FillResult Borrow(BlockReader& reader, PacketSource& source) {
    uint32_t keep = reader.length - reader.cursor;
    if (keep > kLendKeepMost) {
        // More undecided bytes than two units never occur; the oldest
        // could start no packet.
        reader.cursor += keep - kLendKeepMost;
        keep = kLendKeepMost;
    }
    if (reader.cursor > 0 && reader.beforeMove) {
        reader.beforeMove();
    }
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    switch (source.LendBlock(reader.data + reader.cursor, keep, data, length)) {
        case BlockStatus::Ended:
            return FillResult::Ended;
        case BlockStatus::NothingNow:
            return FillResult::NothingNow;
        case BlockStatus::Data:
            break;
    }
    reader.data = data;
    reader.length = length;
    reader.cursor = 0;
    reader.sourcePosition += length - keep;
    return FillResult::Data;
}

FillResult Refill(BlockReader& reader, PacketSource& source) {
    if (source.LendsBlocks()) {
        return Borrow(reader, source);
    }
    if (reader.cursor > 0 && !ReadBehindData(reader)) {
        Compact(reader);
    }
    const uint32_t room = reader.capacity - reader.length;
    const uint32_t ask = reader.piece != 0 && reader.piece < room ? reader.piece : room;
    uint32_t got = 0;
    switch (source.ReadBlock(reader.block.get() + reader.length, ask, got)) {
        case BlockStatus::Ended:
            return FillResult::Ended;
        case BlockStatus::NothingNow:
            // Packets read so far go on while the source pauses.
            if (reader.cursor > 0) {
                Compact(reader);
            }
            return FillResult::NothingNow;
        case BlockStatus::Data:
            break;
    }
    reader.length += got;
    reader.sourcePosition += got;
    return FillResult::Data;
}

}  // namespace

PacketRead ReadPacket(BlockReader& reader, PacketSource& source) {
    PacketRead out;
    if (!source.IsOpen()) {
        return out;
    }
    if (!reader.block && !source.LendsBlocks()) {
        if (reader.capacity == 0 || reader.allocationFailed) {
            return out;
        }
        if (reader.capacity < 2 * kUnit) {
            reader.capacity = 2 * kUnit;
        }
        // Not value-initialised: the pages are touched only as reads fill them.
        reader.block.reset(new (std::nothrow) uint8_t[reader.capacity]);
        if (!reader.block) {
            reader.allocationFailed = true;
            return out;
        }
        reader.data = reader.block.get();
        reader.length = 0;
        reader.cursor = 0;
    }

    // Fast path: a packet at the cursor confirmed by the next one.
    if (reader.inStep && reader.data != nullptr) {
        const uint32_t stride = PreferredStride(reader, true);
        const uint8_t* p = reader.data + reader.cursor;
        if (reader.length - reader.cursor > stride && p[0] == kSync && p[stride] == kSync) {
            Deliver(reader, reader.cursor, stride, true, out);
            return out;
        }
    }

    for (;;) {
        if (reader.ended) {
            if (reader.length - reader.cursor >= kPacket &&
                ScanPacket(reader, ScanMode::Final, out) == ScanResult::Found) {
                return out;
            }
            reader.cursor = reader.length;
            out.status = ReadStatus::End;
            return out;
        }
        if (reader.length - reader.cursor >= kPacket && ScanPacket(reader, ScanMode::Open, out) == ScanResult::Found) {
            return out;
        }
        switch (Refill(reader, source)) {
            case FillResult::Data:
                continue;
            case FillResult::Ended:
                reader.ended = true;
                continue;
            case FillResult::NothingNow:
                if (reader.length - reader.cursor >= kPacket &&
                    ScanPacket(reader, ScanMode::Settle, out) == ScanResult::Found) {
                    return out;
                }
                out.status = ReadStatus::NoneNow;
                return out;
        }
    }
}
