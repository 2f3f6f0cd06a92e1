// Block reader and packet aligner.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "endpoints/stream_endpoints.h"
#include "engine/reader.h"
#include "engine/stream_job.h"
#include "tests/support/reference_aligner.h"
#include "tests/support/stream_builder.h"

namespace {

struct Delivered {
    std::vector<tsb::Bytes> packets;
    std::vector<int64_t> positions;
    ReadStatus last = ReadStatus::End;
};

// Reads a whole file through the reader with the given block capacity.
Delivered ReadAll(const tsb::Bytes& content, uint32_t capacity) {
    const std::string path = tsb::TempPath("reader.ts");
    EXPECT_TRUE(tsb::WriteFileBytes(path, content));
    FileSource file;
    EXPECT_TRUE(file.Open(path));
    BlockReader reader;
    reader.capacity = capacity;
    Delivered out;
    for (int guard = 0; guard < 100000; ++guard) {
        const PacketRead read = NextPacket(reader, file);
        out.last = read.status;
        if (read.status != ReadStatus::Packet) {
            break;
        }
        out.packets.emplace_back(read.packet, read.packet + 188);
        out.positions.push_back(PacketPosition(reader, read.packet));
    }
    file.Close();
    platform::RemoveFile(path.c_str());
    return out;
}

tsb::StreamBuilder Packets(int count, uint16_t pid = 0x100) {
    tsb::StreamBuilder builder;
    for (int i = 0; i < count; ++i) {
        builder.Packet(pid, tsb::Bytes(184, static_cast<uint8_t>(i)));
    }
    return builder;
}

tsb::Bytes PacketAt(const tsb::StreamBuilder& builder, int index) {
    return tsb::Bytes(builder.Data().begin() + index * 188, builder.Data().begin() + (index + 1) * 188);
}

TEST(ReadPacket, DeliversEveryPacketIncludingTheLastAcrossBlockSizes) {
    const tsb::StreamBuilder builder = Packets(40);
    for (uint32_t capacity : {384u, 400u, 1000u, 48128u}) {
        const Delivered got = ReadAll(builder.Data(), capacity);
        ASSERT_EQ(got.packets.size(), 40u) << "capacity " << capacity;
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(got.packets[i], PacketAt(builder, i)) << "capacity " << capacity << " packet " << i;
            EXPECT_EQ(got.positions[i], i * 188) << "capacity " << capacity;
        }
        EXPECT_EQ(got.last, ReadStatus::End);
    }
}

TEST(ReadPacket, UnitsOf192BytesYieldThePacketsAloneAcrossBlockBoundaries) {
    const tsb::StreamBuilder builder = Packets(30);
    const tsb::Bytes units = builder.As192();
    // 1000 and 700 put the end of a block inside the look-ahead of a unit.
    for (uint32_t capacity : {384u, 700u, 1000u, 48128u}) {
        const Delivered got = ReadAll(units, capacity);
        ASSERT_EQ(got.packets.size(), 30u) << "capacity " << capacity;
        for (int i = 0; i < 30; ++i) {
            EXPECT_EQ(got.packets[i], PacketAt(builder, i));
            EXPECT_EQ(got.positions[i], i * 192 + 4);
        }
    }
}

TEST(ReadPacket, TenGarbageBytesCostThePacketBeforeThem) {
    tsb::StreamBuilder builder = Packets(3);
    builder.Raw(tsb::Bytes(10, 0x00));
    builder.Packet(0x100, tsb::Bytes(184, 0xAA));
    builder.Packet(0x100, tsb::Bytes(184, 0xBB));
    const Delivered got = ReadAll(builder.Data(), 48128);
    ASSERT_EQ(got.packets.size(), 4u);
    EXPECT_EQ(got.packets[0][4], 0);
    EXPECT_EQ(got.packets[1][4], 1);
    EXPECT_EQ(got.packets[2][4], 0xAA);  // packet 2 had no sync byte at +188 or +192
    EXPECT_EQ(got.packets[3][4], 0xBB);
    EXPECT_EQ(got.positions[2], 3 * 188 + 10);
}

TEST(ReadPacket, FourGarbageBytesKeepThePacketAsA192ByteUnit) {
    tsb::StreamBuilder builder = Packets(3);
    builder.Raw(tsb::Bytes(4, 0x00));
    builder.Packet(0x100, tsb::Bytes(184, 0xAA));
    const Delivered got = ReadAll(builder.Data(), 48128);
    ASSERT_EQ(got.packets.size(), 4u);
    EXPECT_EQ(got.packets[2][4], 2);
    EXPECT_EQ(got.packets[3][4], 0xAA);
    EXPECT_EQ(got.positions[3], 3 * 188 + 4);
}

TEST(ReadPacket, TrailingPartialPacketIsNotDelivered) {
    tsb::StreamBuilder builder = Packets(5);
    tsb::Bytes partial = tsb::Bytes(100, 0x11);
    partial[0] = 0x47;
    builder.Raw(partial);
    const Delivered got = ReadAll(builder.Data(), 48128);
    // The fifth packet is confirmed by the partial one's sync byte; the
    // partial one itself is never delivered.
    ASSERT_EQ(got.packets.size(), 5u);
    EXPECT_EQ(got.packets[4], PacketAt(builder, 4));
    EXPECT_EQ(got.last, ReadStatus::End);
}

TEST(ReadPacket, LastPacketAfterGarbageIsDeliveredWhenExactlyItRemains) {
    tsb::StreamBuilder builder = Packets(2);
    builder.Raw(tsb::Bytes(10, 0x00));
    builder.Packet(0x100, tsb::Bytes(184, 0xCC));
    const Delivered got = ReadAll(builder.Data(), 48128);
    ASSERT_EQ(got.packets.size(), 2u);
    EXPECT_EQ(got.packets[0][4], 0);
    EXPECT_EQ(got.packets[1][4], 0xCC);
}

TEST(ReadPacket, NoSyncByteAtAllEndsTheStream) {
    const Delivered got = ReadAll(tsb::Bytes(5000, 0x00), 1000);
    EXPECT_TRUE(got.packets.empty());
    EXPECT_EQ(got.last, ReadStatus::End);
}

TEST(ReadPacket, UnopenedSourceOrZeroCapacityGivesNoPacket) {
    BlockReader reader;
    reader.capacity = 48128;
    FileSource unopened;
    EXPECT_EQ(ReadPacket(reader, unopened).status, ReadStatus::End);
    EXPECT_FALSE(reader.block);

    const std::string path = tsb::TempPath("reader_zero.ts");
    ASSERT_TRUE(tsb::WriteFileBytes(path, Packets(3).Data()));
    FileSource file;
    ASSERT_TRUE(file.Open(path));
    BlockReader empty;
    empty.capacity = 0;
    EXPECT_EQ(ReadPacket(empty, file).status, ReadStatus::End);
    EXPECT_FALSE(empty.block);
    file.Close();
    platform::RemoveFile(path.c_str());
}

TEST(ReadBufferCapacity, SmallValuesSelectTheDefault) {
    // 100 MiB where the address space allows it, 20 MiB in a 32-bit build.
    const uint32_t defaultSize = sizeof(void*) == 8 ? 104857600u : 20971520u;
    EXPECT_EQ(ReadBufferCapacity(0), defaultSize);
    EXPECT_EQ(ReadBufferCapacity(1000), defaultSize);
    EXPECT_EQ(ReadBufferCapacity(48127), defaultSize);
    EXPECT_EQ(ReadBufferCapacity(48128), 48128u);
    EXPECT_EQ(ReadBufferCapacity(4000000000u), 4000000000u);
}

// ---- The end of the source ------------------------------------------------

TEST(ReadPacket, LastPacketSurvivesOneTo187TrailingBytes) {
    const tsb::StreamBuilder builder = Packets(5);
    for (std::size_t trailing : {1u, 2u, 4u, 5u, 100u, 187u}) {
        tsb::Bytes content = builder.Data();
        content.insert(content.end(), trailing, '\n');
        // 400 and 1000 cut the last packet's trailing bytes off in
        // different places.
        for (uint32_t capacity : {400u, 1000u, 48128u}) {
            const Delivered got = ReadAll(content, capacity);
            ASSERT_EQ(got.packets.size(), 5u) << trailing << " trailing, capacity " << capacity;
            EXPECT_EQ(got.packets[4], PacketAt(builder, 4));
            EXPECT_EQ(got.positions[4], 4 * 188);
            EXPECT_EQ(got.last, ReadStatus::End);
        }
    }
}

TEST(ReadPacket, LastUnitOf192BytesSurvivesATrailingNewline) {
    const tsb::StreamBuilder builder = Packets(6);
    tsb::Bytes content = builder.As192();
    content.push_back('\n');
    const Delivered got = ReadAll(content, 1000);
    ASSERT_EQ(got.packets.size(), 6u);
    EXPECT_EQ(got.packets[5], PacketAt(builder, 5));
    EXPECT_EQ(got.positions[5], 5 * 192 + 4);
}

TEST(ReadPacket, PacketFollowedByAWholePacketOfGarbageIsStillDropped) {
    tsb::StreamBuilder builder = Packets(3);
    builder.Raw(tsb::Bytes(188, 0x00));
    const Delivered got = ReadAll(builder.Data(), 48128);
    ASSERT_EQ(got.packets.size(), 2u);
    EXPECT_EQ(got.packets[1], PacketAt(builder, 1));
}

TEST(ReadPacket, ConsoleSourceEndsAtTheEndOfItsInput) {
    const tsb::StreamBuilder builder = Packets(7);
    tsb::Bytes content = builder.Data();
    content.push_back('\n');
    const Delivered got = ReadAll(content, 1000);
    ASSERT_EQ(got.packets.size(), 7u);
    EXPECT_EQ(got.packets[6], PacketAt(builder, 6));
    EXPECT_EQ(got.last, ReadStatus::End);
}

// ---- Stride of 192-byte units ------------------------------------------------

// 192-byte units whose 4-byte time stamps and packet bodies are random.
struct RandomUnits {
    tsb::Bytes data;
    std::vector<tsb::Bytes> packets;
};

RandomUnits MakeRandomUnits(int count, uint32_t seed) {
    std::mt19937 random(seed);
    RandomUnits units;
    units.data.reserve(static_cast<std::size_t>(count) * 192);
    for (int i = 0; i < count; ++i) {
        tsb::Bytes packet(188);
        for (uint8_t& byte : packet) {
            byte = static_cast<uint8_t>(random());
        }
        packet[0] = 0x47;
        for (int k = 0; k < 4; ++k) {
            units.data.push_back(static_cast<uint8_t>(random()));
        }
        units.data.insert(units.data.end(), packet.begin(), packet.end());
        units.packets.push_back(std::move(packet));
    }
    return units;
}

// The alignment rules applied plainly to the whole input at once: offsets of
// the packets found.
std::vector<std::size_t> AlignWhole(const tsb::Bytes& data) {
    return tsb::ReferencePackets(data.data(), data.size());
}

TEST(ReadPacket, TimeStampBytes0x47NeverStartAPacket) {
    // Seed 7 puts 0x47 into time stamps where the look-ahead alone would
    // take them for packets.
    const RandomUnits units = MakeRandomUnits(100000, 7);
    const std::vector<std::size_t> whole = AlignWhole(units.data);
    for (uint32_t capacity : {1000u, 48128u}) {
        const Delivered got = ReadAll(units.data, capacity);
        ASSERT_EQ(got.packets.size(), units.packets.size()) << "capacity " << capacity;
        ASSERT_EQ(whole.size(), got.positions.size());
        for (std::size_t i = 0; i < units.packets.size(); ++i) {
            ASSERT_EQ(got.positions[i], static_cast<int64_t>(i * 192 + 4)) << "unit " << i;
            ASSERT_EQ(got.packets[i], units.packets[i]) << "unit " << i;
            ASSERT_EQ(whole[i], i * 192 + 4) << "unit " << i;
        }
    }
}

TEST(ReadPacket, TimeStampLookingLikeAPacketStartInsideAnEstablishedStride) {
    // Unit 3's time stamp begins with 0x47 and its packet byte 184 is 0x47
    // too: from unit 2 the 188 look-ahead hits the time stamp, and from
    // there another 0x47 follows 188 bytes on.
    tsb::StreamBuilder builder = Packets(6);
    tsb::Bytes units = builder.As192();
    units[3 * 192] = 0x47;
    units[3 * 192 + 4 + 184] = 0x47;
    const Delivered got = ReadAll(units, 48128);
    ASSERT_EQ(got.packets.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(got.positions[i], i * 192 + 4) << "unit " << i;
        EXPECT_EQ(got.packets[i], tsb::Bytes(units.begin() + i * 192 + 4, units.begin() + i * 192 + 192));
    }
}

// Units whose time stamps count a 27 MHz clock at 17 Mbit/s from `first`
// (its top two bits, the copy permission, stay), with random packets.
RandomUnits MakeStampedUnits(int count, uint32_t first, uint32_t seed) {
    std::mt19937 random(seed);
    RandomUnits units;
    for (int i = 0; i < count; ++i) {
        // A 188-byte packet lasts 1504 bits: 40608/17 ticks at 17 Mbit/s.
        const uint32_t clock = (first + static_cast<uint32_t>(uint64_t{40608} * i / 17)) & 0x3FFFFFFFu;
        const uint32_t stamp = (first & 0xC0000000u) | clock;
        for (int shift : {24, 16, 8, 0}) {
            units.data.push_back(static_cast<uint8_t>(stamp >> shift));
        }
        tsb::Bytes packet(188);
        for (uint8_t& byte : packet) {
            byte = static_cast<uint8_t>(random());
        }
        packet[0] = 0x47;
        units.data.insert(units.data.end(), packet.begin(), packet.end());
        units.packets.push_back(std::move(packet));
    }
    return units;
}

TEST(ReadPacket, StreamStartingInsideARunOfTimeStampBytes0x47LosesNoPacket) {
    // 0x47000064: every stamp begins with 0x47 for the first 7,024 units;
    // 0x00470000: the second stamp byte is 0x47 for 28 units; 0x00474700:
    // the second and third bytes of the first stamp, the second for 20.
    // Cut at 4 the input starts with a packet whose 188 look-ahead meets
    // the next stamp.
    for (const uint32_t first : {0x47000064u, 0x00470000u, 0x00474700u}) {
        const RandomUnits units = MakeStampedUnits(7500, first, first);
        for (const std::size_t cut : {0u, 4u}) {
            const tsb::Bytes input(units.data.begin() + static_cast<long>(cut), units.data.end());
            const std::vector<std::size_t> whole = AlignWhole(input);
            ASSERT_EQ(whole.size(), units.packets.size()) << std::hex << first << " cut " << cut;
            for (uint32_t capacity : {1000u, 48128u}) {
                const Delivered got = ReadAll(input, capacity);
                ASSERT_EQ(got.packets.size(), units.packets.size()) << std::hex << first << " cut " << cut;
                for (std::size_t i = 0; i < units.packets.size(); ++i) {
                    const std::size_t expected = i * 192 + 4 - cut;
                    ASSERT_EQ(got.positions[i], static_cast<int64_t>(expected)) << std::hex << first << " unit " << i;
                    ASSERT_EQ(got.packets[i], units.packets[i]) << std::hex << first << " unit " << i;
                    ASSERT_EQ(whole[i], expected) << std::hex << first << " unit " << i;
                }
            }
        }
    }
}

TEST(ReadPacket, PacketsOf188AfterOneGarbageRunOfFourKeepTheirStride) {
    // The four bytes make one advance of 192; a single one does not make a
    // stride, so the packet after it is not read with 192.
    tsb::StreamBuilder builder = Packets(2);
    builder.Raw(tsb::Bytes(4, 0x00));
    builder.Packet(0x100, tsb::Bytes(184, 0x22));
    tsb::Bytes body(184, 0x11);
    body[0] = 0x47;  // byte 4 of the packet: 192 on from the one before
    builder.Packet(0x100, body);
    builder.Packet(0x100, tsb::Bytes(184, 0x33));
    const Delivered got = ReadAll(builder.Data(), 48128);
    ASSERT_EQ(got.packets.size(), 5u);
    EXPECT_EQ(got.positions[2], 2 * 188 + 4);
    EXPECT_EQ(got.positions[3], 3 * 188 + 4);
    EXPECT_EQ(got.positions[4], 4 * 188 + 4);
}

#ifndef _WIN32
// ---- A pipe that stays open ----------------------------------------------------

// A FIFO whose writer sends `content` and then stays connected until told.
class HeldFifo {
public:
    explicit HeldFifo(const tsb::Bytes& content) : path_(tsb::TempPath("held.fifo")) {
        platform::RemoveFile(path_.c_str());
        EXPECT_EQ(std::system(("mkfifo '" + path_ + "'").c_str()), 0);
        writer_ = std::thread([this, content] {
            std::ofstream out(path_, std::ios::binary);  // blocks until the reader is there
            out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
            out.flush();
            while (!release_.load()) {
                platform::SleepMs(10);
            }
        });
        // The writer stands in its open before the reader comes.
        platform::SleepMs(200);
        input = std::make_unique<HandleSource>(platform::OpenRead(path_.c_str()));
        EXPECT_TRUE(input->IsOpen());
    }
    ~HeldFifo() {
        release_ = true;
        writer_.join();
        input.reset();
        platform::RemoveFile(path_.c_str());
    }
    std::unique_ptr<HandleSource> input;

private:
    std::string path_;
    std::atomic<bool> release_{false};
    std::thread writer_;
};

// Reads until the pipe has nothing more for now; returns the packets.
std::vector<tsb::Bytes> ReadUntilSilent(BlockReader& reader, PacketSource& input) {
    std::vector<tsb::Bytes> packets;
    for (int guard = 0; guard < 100; ++guard) {
        const PacketRead read = ReadPacket(reader, input);
        if (read.status != ReadStatus::Packet) {
            EXPECT_EQ(read.status, ReadStatus::NoneNow);
            break;
        }
        packets.emplace_back(read.packet, read.packet + 188);
    }
    return packets;
}

TEST(ReadPacket, SilentPipeKeepsItsLastPacketUntilReadingIsFinished) {
    const tsb::StreamBuilder builder = Packets(3);
    tsb::Bytes content = builder.Data();
    content.push_back('\n');
    HeldFifo fifo(content);
    BlockReader reader;
    reader.capacity = 48128;
    const uint32_t start = platform::TickCount();
    const std::vector<tsb::Bytes> first = ReadUntilSilent(reader, *fifo.input);
    EXPECT_LT(platform::TickCount() - start, 2000u);
    ASSERT_EQ(first.size(), 2u);
    FinishReading(reader);
    const PacketRead last = ReadPacket(reader, *fifo.input);
    ASSERT_EQ(last.status, ReadStatus::Packet);
    EXPECT_EQ(tsb::Bytes(last.packet, last.packet + 188), PacketAt(builder, 2));
    EXPECT_EQ(ReadPacket(reader, *fifo.input).status, ReadStatus::End);
}

TEST(ReadPacket, SilentPipeWaitsWithTheLastUnitOfAnEstablishedStride) {
    const tsb::StreamBuilder builder = Packets(3);
    HeldFifo fifo(builder.As192());
    BlockReader reader;
    reader.capacity = 48128;
    ASSERT_EQ(ReadUntilSilent(reader, *fifo.input).size(), 2u);
    FinishReading(reader);
    const PacketRead last = ReadPacket(reader, *fifo.input);
    ASSERT_EQ(last.status, ReadStatus::Packet);
    EXPECT_EQ(tsb::Bytes(last.packet, last.packet + 188), PacketAt(builder, 2));
}
#endif

// ---- Filling the block in pieces -------------------------------------------------

// Serves bytes from memory, at most `most` per read, and notes how many
// bytes each read asked for.
struct MemorySource : PacketSource {
    tsb::Bytes data;
    std::size_t at = 0;
    uint32_t most = UINT32_MAX;
    std::vector<uint32_t> asks;
    std::size_t pauseAt = SIZE_MAX;  // one read there has nothing for now
    bool IsOpen() const override { return true; }
    BlockStatus ReadBlock(uint8_t* dest, uint32_t room, uint32_t& got) override {
        asks.push_back(room);
        if (at == pauseAt) {
            pauseAt = SIZE_MAX;
            got = 0;
            return BlockStatus::NothingNow;
        }
        got = static_cast<uint32_t>(std::min<std::size_t>({room, most, data.size() - at}));
        std::copy(data.begin() + at, data.begin() + at + got, dest);
        at += got;
        return got == 0 ? BlockStatus::Ended : BlockStatus::Data;
    }
    void WaitIdle() override {}
    void Close() override {}
};

Delivered ReadAllFrom(BlockReader& reader, PacketSource& source) {
    Delivered out;
    for (int guard = 0; guard < 100000; ++guard) {
        const PacketRead read = ReadPacket(reader, source);
        out.last = read.status;
        if (read.status != ReadStatus::Packet) {
            break;
        }
        out.packets.emplace_back(read.packet, read.packet + 188);
        out.positions.push_back(PacketPosition(reader, read.packet));
    }
    return out;
}

TEST(ReadPacket, PiecesAndShortReadsKeepEveryPacketAndItsPosition) {
    const tsb::StreamBuilder builder = Packets(3000);
    for (const uint32_t most : {UINT32_MAX, 777u, 188u, 1u}) {
        MemorySource source;
        source.data = builder.Data();
        source.most = most;
        BlockReader reader;
        reader.capacity = 100000;
        reader.piece = 10000;
        reader.sourcePosition = 5000;  // where a start offset put the file
        const Delivered got = ReadAllFrom(reader, source);
        ASSERT_EQ(got.packets.size(), 3000u) << "reads of at most " << most;
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(got.packets[i], PacketAt(builder, i)) << "reads of at most " << most << ", packet " << i;
            ASSERT_EQ(got.positions[i], 5000 + i * 188) << "reads of at most " << most;
        }
        EXPECT_EQ(got.last, ReadStatus::End);
        EXPECT_LE(*std::max_element(source.asks.begin(), source.asks.end()), 10000u);
    }
}

TEST(ReadPacket, UnitsOf192BytesAcrossPiecesKeepTheirPositions) {
    const tsb::StreamBuilder builder = Packets(500);
    MemorySource source;
    source.data = builder.As192();
    BlockReader reader;
    reader.capacity = 48128;
    reader.piece = 1000;  // not a multiple of either stride
    const Delivered got = ReadAllFrom(reader, source);
    ASSERT_EQ(got.packets.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(got.packets[i], PacketAt(builder, i)) << "packet " << i;
        ASSERT_EQ(got.positions[i], i * 192 + 4);  // behind the time stamp
    }
}

TEST(ReadPacket, DefaultBlockIsFilledOneMebibyteAtATime) {
    MemorySource source;
    source.data = Packets(12000).Data();  // about 2.15 MiB
    BlockReader reader;
    reader.capacity = kDefaultReadBuffer;
    const Delivered got = ReadAllFrom(reader, source);
    EXPECT_EQ(got.packets.size(), 12000u);
    ASSERT_GE(source.asks.size(), 3u);
    EXPECT_EQ(source.asks[0], 1048576u);
    EXPECT_EQ(source.asks[1], 1048576u);
    EXPECT_EQ(source.asks[2], 1048576u);
}

// Lends its bytes in pieces of at most `most`, each with room in front for
// what the reader carries over, as the tuner's queue does.
struct LendingSource : PacketSource {
    tsb::Bytes data;
    std::size_t at = 0;
    uint32_t most = 1000;
    std::vector<std::vector<uint8_t>> loans;
    bool IsOpen() const override { return true; }
    BlockStatus ReadBlock(uint8_t*, uint32_t, uint32_t&) override { return BlockStatus::Ended; }
    bool LendsBlocks() const override { return true; }
    BlockStatus LendBlock(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& out, uint32_t& length) override {
        EXPECT_LE(keep, kLendKeepMost);
        if (at == data.size()) return BlockStatus::Ended;
        const std::size_t n = std::min<std::size_t>(most, data.size() - at);
        std::vector<uint8_t> loan(keep + n);
        std::copy(keepFrom, keepFrom + keep, loan.begin());
        std::copy(data.begin() + at, data.begin() + at + n, loan.begin() + keep);
        at += n;
        loans.push_back(std::move(loan));
        out = loans.back().data();
        length = static_cast<uint32_t>(loans.back().size());
        return BlockStatus::Data;
    }
    void WaitIdle() override {}
    void Close() override {}
};

TEST(ReadPacket, LentPiecesKeepEveryPacketAndItsPositionWithoutABlock) {
    const tsb::StreamBuilder builder = Packets(600);
    for (const bool units : {false, true}) {
        for (const uint32_t most : {100000u, 1000u, 188u, 7u}) {
            LendingSource source;
            source.data = units ? builder.As192() : builder.Data();
            source.most = most;
            BlockReader reader;
            reader.capacity = kDefaultReadBuffer;
            const Delivered got = ReadAllFrom(reader, source);
            ASSERT_EQ(got.packets.size(), 600u) << "pieces of " << most << (units ? ", units" : "");
            for (int i = 0; i < 600; ++i) {
                ASSERT_EQ(got.packets[i], PacketAt(builder, i)) << "pieces of " << most << ", packet " << i;
                ASSERT_EQ(got.positions[i], units ? i * 192 + 4 : i * 188) << "pieces of " << most;
            }
            EXPECT_EQ(got.last, ReadStatus::End);
            EXPECT_FALSE(reader.block);  // nothing allocated, nothing copied but the kept bytes
        }
    }
}

// A source that delivers in small reads (a tuner, a pipe): the block is
// moved, and the packets before the move handed on, once per half piece
// consumed rather than once per read; a pause of the source hands them on
// at once.
TEST(ReadPacket, SmallReadsMoveTheBlockOncePerHalfPieceAndAtAPause) {
    struct Case {
        std::size_t pauseAt;
        int movesAtLeast;
        int movesAtMost;
    };
    // 564,000 bytes in reads of 1,000: a move when 5,000 to 6,000 bytes lie
    // consumed in front of the cursor.
    const Case cases[] = {{SIZE_MAX, 94, 113}, {2000, 95, 114}};
    for (const Case& c : cases) {
        MemorySource source;
        source.data = Packets(3000).Data();
        source.most = 1000;
        source.pauseAt = c.pauseAt;
        BlockReader reader;
        reader.capacity = 100000;
        reader.piece = 10000;
        int moves = 0;
        reader.beforeMove = [&moves] { ++moves; };
        int movesAtPause = -1;
        int packets = 0;
        for (int guard = 0; guard < 10000; ++guard) {
            const PacketRead read = ReadPacket(reader, source);
            if (read.status == ReadStatus::NoneNow) {
                movesAtPause = moves;
                continue;
            }
            if (read.status != ReadStatus::Packet) break;
            ++packets;
        }
        EXPECT_EQ(packets, 3000);
        EXPECT_GE(moves, c.movesAtLeast) << "pause at " << c.pauseAt;
        EXPECT_LE(moves, c.movesAtMost) << "pause at " << c.pauseAt;
        if (c.pauseAt != SIZE_MAX) {
            EXPECT_EQ(movesAtPause, 1);
        }
    }
}

TEST(ReadPacket, BeforeMoveRunsWhileDeliveredPacketsStillHoldTheirBytes) {
    const tsb::StreamBuilder builder = Packets(100);
    MemorySource source;
    source.data = builder.Data();
    BlockReader reader;
    reader.capacity = 2000;
    reader.piece = 1500;
    const uint8_t* lastPacket = nullptr;
    int lastIndex = -1;
    int moves = 0;
    int intact = 0;
    reader.beforeMove = [&] {
        ++moves;
        if (lastPacket != nullptr && tsb::Bytes(lastPacket, lastPacket + 188) == PacketAt(builder, lastIndex)) {
            ++intact;
        }
    };
    for (int i = 0; i < 100; ++i) {
        const PacketRead read = ReadPacket(reader, source);
        ASSERT_EQ(read.status, ReadStatus::Packet);
        ASSERT_EQ(tsb::Bytes(read.packet, read.packet + 188), PacketAt(builder, i));
        lastPacket = read.packet;
        lastIndex = i;
    }
    EXPECT_EQ(ReadPacket(reader, source).status, ReadStatus::End);
    // 18800 bytes in reads of 1500 at most, each after the first behind a move.
    EXPECT_GE(moves, 12);
    EXPECT_EQ(intact, moves);
}

}  // namespace
