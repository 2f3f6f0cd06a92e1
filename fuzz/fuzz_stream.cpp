// Hostile input for the block reader, packet decoding and the continuity
// check. The reader, whatever its block size, must deliver exactly the
// packets that an aligner looking at the whole input at once finds, and the
// writer must pass on each packet it is given unchanged and in order, whether
// it goes out from the read block or through the staging block, in blocks of
// at most 256 packets.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "endpoints/stream_endpoints.h"
#include "engine/reader.h"
#include "engine/stream_job.h"
#include "engine/writer.h"
#include "tests/support/reference_aligner.h"

namespace {

// A file sink that also checks the size of every block it is handed.
struct CheckedFileSink : FileSink {
    uint32_t WriteBlock(const uint8_t* data, uint32_t size) override {
        if (size == 0 || size % 188 != 0 || size > static_cast<uint32_t>(kStagingSize) || data[0] != 0x47) {
            std::abort();
        }
        return FileSink::WriteBlock(data, size);
    }
};

// Lends the stream in pieces, as the tuner's queue does; a piece lent
// before is freed with the next one, so that a packet still pointing there
// would be caught.
struct MemoryLender : PacketSource {
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    uint32_t piece = 1;
    std::vector<uint8_t> loan;
    bool IsOpen() const override { return true; }
    BlockStatus ReadBlock(uint8_t*, uint32_t, uint32_t&) override { std::abort(); }
    bool LendsBlocks() const override { return true; }
    BlockStatus LendBlock(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& out, uint32_t& length) override {
        if (keep > kLendKeepMost) std::abort();
        if (at == size) return BlockStatus::Ended;
        const std::size_t n = piece < size - at ? piece : size - at;
        std::vector<uint8_t> next(keep + n);
        if (keep > 0) std::memcpy(next.data(), keepFrom, keep);
        std::memcpy(next.data() + keep, data + at, n);
        at += n;
        loan.swap(next);
        out = loan.data();
        length = static_cast<uint32_t>(loan.size());
        return BlockStatus::Data;
    }
    void WaitIdle() override {}
    void Close() override {}
};

std::string TempName(const char* what) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/trelvan_fuzz_" + what + "_" +
           std::to_string(platform::ProcessId());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first two bytes choose the block size, the read piece, which
    // packets stay out of the output (a window or a table taking them) and
    // whether the stream is read from a file or lent; the rest is the stream.
    const uint32_t choice = (static_cast<uint32_t>(bytes[0]) << 8) | bytes[1];
    const uint32_t capacity = 384u + choice % 4096u;
    const uint32_t piece = 1u + choice % 1531u;
    const uint32_t skipEvery = choice % 7u;  // 0: every packet is written
    const bool lent = (choice & 0x8000u) != 0;  // the stream lent in pieces, not read from a file
    const uint8_t* data = bytes + 2;
    const std::size_t n = size - 2;

    static const std::string inputPath = TempName("in");
    static const std::string outputPath = TempName("out");
    {
        platform::FileHandle file = platform::CreateWrite(inputPath.c_str());
        if (file == platform::kInvalidFile) {
            return 0;
        }
        uint32_t written = 0;
        platform::WriteFile(file, data, static_cast<uint32_t>(n), written);
        platform::CloseFile(file);
        if (written != n) {
            return 0;
        }
    }

    const std::vector<std::size_t> aligned = tsb::ReferencePackets(data, n);
    std::vector<std::size_t> expected;
    FileSource input;
    CheckedFileSink output;
    if (!input.Open(inputPath) || !output.Open(outputPath)) {
        std::abort();
    }
    MemoryLender lender;
    lender.data = data;
    lender.size = n;
    lender.piece = piece;
    PacketSource& source = lent ? static_cast<PacketSource&>(lender) : input;
    BlockReader reader;
    reader.capacity = capacity;
    reader.piece = piece;
    PacketWriter writer(output, kStagingSize);
    reader.beforeMove = [&writer] { StagePendingRun(writer); };
    StreamContext context;
    StreamTally tally;
    std::size_t index = 0;
    for (;;) {
        const PacketRead read = NextPacket(reader, source);
        if (read.status != ReadStatus::Packet) {
            break;
        }
        const int64_t position = PacketPosition(reader, read.packet);
        if (index >= aligned.size() || position != static_cast<int64_t>(aligned[index]) ||
            std::memcmp(read.packet, data + position, 188) != 0) {
            std::fprintf(stderr, "packet %zu at %lld, expected %lld\n", index, static_cast<long long>(position),
                         index < aligned.size() ? static_cast<long long>(aligned[index]) : -1LL);
            std::abort();
        }
        const bool kept = skipEvery == 0 || index % skipEvery != 0;
        ++index;
        uint8_t* packet = const_cast<uint8_t*>(read.packet);
        PidEntry* entry = DecodePacket(packet, context);
        TallyPacket(tally, packet);
        if (entry != nullptr) {
            ContinuityCheck(packet, context, *entry);
            if (entry->packetCount < 0 || entry->dropCount < 0 || entry->dropCount > entry->packetCount) {
                std::abort();
            }
        }
        if (kept) {
            WriteOutput(writer, packet, 188);
            expected.push_back(static_cast<std::size_t>(position));
        }
    }
    FlushOutput(writer);
    const bool failed = output.Failed();
    input.Close();
    output.Close();
    // The report counts every packet delivered, once.
    int64_t tallied = 0;
    for (const uint16_t pid : tally.order) tallied += tally.byPid[pid].packets;
    if (tallied != static_cast<int64_t>(index)) {
        std::abort();
    }
    if (index != aligned.size() || failed) {
        std::fprintf(stderr, "delivered %zu of %zu packets\n", index, aligned.size());
        std::abort();
    }
    // Every aligned packet reached the output, in order and unchanged.
    platform::FileHandle check = platform::OpenRead(outputPath.c_str());
    std::vector<uint8_t> written(expected.size() * 188 + 1);
    uint32_t got = 0;
    uint32_t total = 0;
    while (total < written.size() &&
           platform::ReadFile(check, written.data() + total, static_cast<uint32_t>(written.size() - total), got) ==
               platform::ReadResult::Ok &&
           got > 0) {
        total += got;
    }
    platform::CloseFile(check);
    if (total != expected.size() * 188) {
        std::abort();
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::memcmp(written.data() + i * 188, data + expected[i], 188) != 0) {
            std::abort();
        }
    }
    return 0;
}
