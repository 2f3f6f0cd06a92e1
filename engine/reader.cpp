// Block reader and packet aligner of the stream worker.
#include "engine/reader.h"

#include <cstring>
#include <new>

#include "common/process_state.h"
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

// How many units a time stamp byte's look-alike must keep the 192 stride
// before it counts as the packet's sync byte: one more than a chance 0x47
// in a header byte is likely to.
constexpr uint32_t kStampCheckUnits = 2;
// Look-ahead of that check from the first candidate.
constexpr uint32_t kStampCheckBytes = 4 + kStampCheckUnits * kUnit + 1;

// Distance (1 to 4) from a freshly found 0x47 to the sync byte of its packet
// when the 0x47 is a time stamp byte of a 192-byte unit, else 0; kUndecided
// while the bytes that decide it may still come. A clock byte can stay 0x47
// for thousands of units and keep the 192 stride just as the sync byte does;
// a stamp always precedes its packet, so of the offsets within the four
// stamp bytes that keep the stride, the last one is the packet.
uint32_t StampSkip(const uint8_t* at, uint32_t rest, ScanMode mode) {
    if (rest <= kUnit) {
        return mode == ScanMode::Final ? 0 : kUndecided;
    }
    if (at[kUnit] != kSync) {
        return 0;
    }
    if (rest < kStampCheckBytes && mode != ScanMode::Final) {
        return kUndecided;
    }
    for (uint32_t skip = 4; skip >= 1; --skip) {
        if (rest <= skip + kUnit || at[skip] != kSync) {
            continue;
        }
        bool keeps = true;
        for (uint32_t unit = 1; unit <= kStampCheckUnits && skip + unit * kUnit < rest; ++unit) {
            keeps = keeps && at[skip + unit * kUnit] == kSync;
        }
        if (keeps) {
            return skip;
        }
    }
    return 0;
}

// Corrects a packet found without an established stride where a time stamp
// byte misled it: a packet found afresh that is a stamp byte moves to its
// packet's sync byte, and a 188 look-ahead that hit the next unit's stamp
// becomes the 192 stride. False while the bytes that decide it may still come.
bool PassTimeStamps(const uint8_t* data, uint32_t end, ScanMode mode, bool carried, uint32_t& p, uint32_t& advance) {
    const uint32_t rest = end - p;
    if (rest == kPacket) {
        // Nothing behind it could be a stamp's packet: the last packet of a
        // source, for now or for good.
        return true;
    }
    if (!carried) {
        const uint32_t skip = StampSkip(data + p, rest, mode);
        if (skip == kUndecided) {
            return false;
        }
        if (skip != 0) {
            p += skip;
            advance = kUnit;
            return true;
        }
    }
    if (advance == kPacket && rest <= kUnit && mode != ScanMode::Final) {
        return false;
    }
    if (advance == kPacket && rest > kUnit && data[p + kUnit] == kSync) {
        const uint32_t next = StampSkip(data + p + kPacket, rest - kPacket, mode);
        if (next == kUndecided) {
            return false;
        }
        if (next == kUnit - kPacket) {
            advance = kUnit;
        }
    }
    return true;
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
        uint32_t advance = Decide(data + p, end - p, PreferredStride(reader, inStep), inStep, mode);
        const bool established = inStep && reader.strideRun >= 2;
        if (advance == kUndecided || (advance != 0 && !established &&
                                      !PassTimeStamps(data, end, mode, inStep && reader.strideRun > 0, p, advance))) {
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
        // Room for the deepest look-ahead the aligner waits for.
        if (reader.capacity < 4 * kUnit) {
            reader.capacity = 4 * kUnit;
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

    // Fast path: a packet at the cursor confirmed by the next one at the
    // stream's own stride (before that, a time stamp may mislead the choice).
    if (reader.inStep && reader.strideRun >= 2 && reader.data != nullptr) {
        const uint32_t stride = reader.stride;
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
                // A source that never stops delivering bytes without a packet
                // in them must not keep a stop request waiting.
                if (StopRequested.load(std::memory_order_relaxed) != 0) {
                    out.status = ReadStatus::NoneNow;
                    return out;
                }
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
