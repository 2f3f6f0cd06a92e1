// Block reader and packet aligner of the stream worker.
#include "engine/reader.h"

#include <cstring>
#include <new>

#include "endpoints/endpoints.h"

namespace {

constexpr uint8_t kSync = 0x47;
constexpr uint32_t kPacket = 188;
constexpr uint32_t kUnit = 192;
// How long one refill waits for a silent source before handing back.
constexpr uint32_t kReadWaitMs = 200;

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
    out.packet = reader.block.get() + at;
    out.length = static_cast<int32_t>(advance);
}

ScanResult ScanPacket(BlockReader& reader, ScanMode mode, PacketRead& out) {
    const uint8_t* data = reader.block.get();
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

FillResult Refill(BlockReader& reader, platform::FileHandle input, TunerSource* tuner, SourceKind kind) {
    uint8_t* data = reader.block.get();
    const uint32_t remaining = reader.length - reader.cursor;
    if (remaining > 0 && reader.cursor > 0) {
        std::memmove(data, data + reader.cursor, remaining);
    }
    reader.length = remaining;
    reader.cursor = 0;
    const uint32_t room = reader.capacity - remaining;
    uint32_t got = 0;
    if (kind == SourceKind::Tuner) {
        got = tuner != nullptr ? TakeFromTuner(*tuner, data + remaining, room) : 0;
        if (got > room) {
            got = room;
        }
    } else {
        // A pipe or console may stay silent for long: wait a little only, so
        // that the caller can honour a stop request in between.
        if (!platform::WaitReadable(input, kReadWaitMs)) {
            return FillResult::NothingNow;
        }
        const platform::ReadResult result = platform::ReadFile(input, data + remaining, room, got);
        if (got > room) {
            got = room;
        }
        if (result != platform::ReadResult::Ok && got == 0) {
            // The end of a file, of a pipe whose writer closed, of redirected
            // or terminal input; or a read that cannot go on.
            return FillResult::Ended;
        }
    }
    if (got == 0) {
        return FillResult::NothingNow;
    }
    reader.length = remaining + got;
    reader.sourcePosition += got;
    return FillResult::Data;
}

}  // namespace

PacketRead ReadPacket(BlockReader& reader, platform::FileHandle input, TunerSource* tuner, SourceKind kind) {
    PacketRead out;
    if (kind != SourceKind::Tuner && input == platform::kInvalidFile) {
        return out;
    }
    if (!reader.block) {
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
        reader.length = 0;
        reader.cursor = 0;
    }

    // Fast path: a packet at the cursor confirmed by the next one.
    if (reader.inStep) {
        const uint32_t stride = PreferredStride(reader, true);
        const uint8_t* p = reader.block.get() + reader.cursor;
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
        switch (Refill(reader, input, tuner, kind)) {
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

namespace {

// Cuts a torn packet off the end of a file sink after a short write of
// `written` bytes from a staging block that began on a packet boundary.
// Returns the bytes taken back.
int32_t KeepWholePackets(platform::FileHandle output, int32_t written) {
    const int32_t torn = written % static_cast<int32_t>(kPacket);
    if (torn == 0) {
        return 0;
    }
    const int64_t end = platform::Seek(output, 0, platform::SeekFrom::Current);
    // A pipe or device cannot be cut back; what went out stays out.
    if (end < torn || !platform::SetFileEnd(output, end - torn)) {
        return 0;
    }
    return torn;
}

}  // namespace

int32_t WriteOutput(platform::FileHandle output, int32_t senderId, const uint8_t* packet, int32_t length,
                    uint8_t* staging, int32_t stagingSize, int32_t& stagingFill, bool& writeFailed) {
    const bool toFile = output != platform::kInvalidFile;
    if ((!toFile && (senderId == -1 || !SenderHasDataEntry())) || staging == nullptr || stagingSize <= 0) {
        return 0;
    }
    // After a failed write the output ends with its last whole packet: a
    // later write that succeeded again would leave a silent gap inside it.
    if (toFile && writeFailed) {
        return 0;
    }
    if (packet != nullptr && (length <= 0 || length > stagingSize)) {
        return 0;
    }
    auto handOver = [&]() -> int32_t {
        if (stagingFill <= 0) {
            return 0;
        }
        if (!toFile) {
            SenderSendData(senderId, staging, static_cast<uint32_t>(stagingFill));
            const int32_t handed = stagingFill;
            stagingFill = 0;
            return handed;
        }
        uint32_t written = 0;
        const bool complete = platform::WriteFile(output, staging, static_cast<uint32_t>(stagingFill), written);
        int32_t handed = static_cast<int32_t>(written > static_cast<uint32_t>(stagingFill) ? stagingFill : written);
        if (!complete || handed < stagingFill) {
            writeFailed = true;
            handed -= KeepWholePackets(output, handed);
            stagingFill = 0;
            return handed;
        }
        stagingFill = 0;
        return handed;
    };

    int32_t total = 0;
    if (packet != nullptr && stagingFill + length > stagingSize) {
        // Full: make room first; a sink that takes nothing loses this packet
        // rather than splitting it or overrunning the buffer.
        const int32_t handed = handOver();
        total += handed;
        if (handed == 0 || stagingFill + length > stagingSize || writeFailed) {
            return total;
        }
    }
    if (packet != nullptr) {
        std::memcpy(staging + stagingFill, packet, static_cast<std::size_t>(length));
        stagingFill += length;
    }
    if (stagingFill == stagingSize || (packet == nullptr && stagingFill > 0)) {
        total += handOver();
    }
    return total;
}
