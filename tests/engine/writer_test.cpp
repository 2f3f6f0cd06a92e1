// The staging writer: blocks of whole packets for any sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include "endpoints/stream_endpoints.h"
#include "engine/stream_job.h"
#include "engine/writer.h"
#include "tests/support/stream_builder.h"

namespace {

tsb::StreamBuilder Packets(int count, uint16_t pid = 0x100) {
    tsb::StreamBuilder builder;
    for (int i = 0; i < count; ++i) {
        builder.Packet(pid, tsb::Bytes(184, static_cast<uint8_t>(i)));
    }
    return builder;
}

// Keeps every block it is handed, as the sender's library receives them,
// and where each block came from.
struct RecordingSink : PacketSink {
    std::vector<tsb::Bytes> blocks;
    std::vector<const uint8_t*> from;
    uint32_t keepAtMost = UINT32_MAX;
    int failAtBlock = -1;  // this block is cut short and the sink fails
    bool failed = false;
    bool IsOpen() const override { return true; }
    bool TakesBlocks() const override { return !failed; }
    uint32_t WriteBlock(const uint8_t* data, uint32_t size) override {
        blocks.emplace_back(data, data + size);
        from.push_back(data);
        if (static_cast<int>(blocks.size()) - 1 == failAtBlock) {
            failed = true;
            return size / 2 / 188 * 188;
        }
        return std::min(size, keepAtMost);
    }
    bool Failed() const override { return failed; }
    void Close() override {}
};

// `count` packets from packet `first` of units of `stride` bytes, each packet
// `skip` bytes into its unit.
tsb::Bytes Slice(const tsb::Bytes& bytes, std::size_t first, std::size_t count, std::size_t stride = 188,
                 std::size_t skip = 0) {
    tsb::Bytes out;
    for (std::size_t i = first; i < first + count; ++i) {
        const auto at = bytes.begin() + static_cast<std::ptrdiff_t>(i * stride + skip);
        out.insert(out.end(), at, at + 188);
    }
    return out;
}

TEST(WriteOutput, HandsBlocksOfAtMost256PacketsInOrder) {
    RecordingSink sink;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes packets = Packets(600).Data();
    for (int i = 0; i < 600; ++i) {
        WriteOutput(writer, packets.data() + i * 188, 188);
    }
    EXPECT_EQ(FlushOutput(writer), 88 * 188);
    ASSERT_EQ(sink.blocks.size(), 3u);
    EXPECT_EQ(sink.blocks[0].size(), 256u * 188u);
    EXPECT_EQ(sink.blocks[1].size(), 256u * 188u);
    EXPECT_EQ(sink.blocks[2].size(), 88u * 188u);
    EXPECT_EQ(tsb::Concat({sink.blocks[0], sink.blocks[1], sink.blocks[2]}), packets);
}

TEST(WriteOutput, PacketThatDoesNotFitWaitsForTheNextBlock) {
    // Units of 192 bytes do not divide the block: the one that would cross
    // its end starts the next block instead of being split.
    RecordingSink sink;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes units = Packets(260).As192();
    for (int i = 0; i < 260; ++i) {
        WriteOutput(writer, units.data() + i * 192, 192);
    }
    ASSERT_EQ(sink.blocks.size(), 1u);
    EXPECT_EQ(sink.blocks[0], tsb::Bytes(units.begin(), units.begin() + 250 * 192));
    EXPECT_EQ(writer.fill, 10 * 192);
}

TEST(WriteOutput, SinkThatKeepsNothingLosesThePacketThatNeededRoom) {
    RecordingSink sink;
    sink.keepAtMost = 0;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes units = Packets(252).As192();
    for (int i = 0; i < 250; ++i) {
        WriteOutput(writer, units.data() + i * 192, 192);
    }
    EXPECT_EQ(WriteOutput(writer, units.data() + 250 * 192, 192), 0);
    ASSERT_EQ(sink.blocks.size(), 1u);
    EXPECT_EQ(writer.fill, 0);
    EXPECT_EQ(WriteOutput(writer, units.data() + 251 * 192, 192), 0);
    EXPECT_EQ(FlushOutput(writer), 0);
    ASSERT_EQ(sink.blocks.size(), 2u);
    EXPECT_EQ(sink.blocks[1], tsb::Bytes(units.begin() + 251 * 192, units.end()));
}

// ---- Packets that lie one after another ----------------------------------------

TEST(WriteOutput, ContiguousPacketsGoOutFromWhereTheyLieInBlocksOf256) {
    RecordingSink sink;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes packets = Packets(600).Data();
    int32_t handed = 0;
    for (int i = 0; i < 600; ++i) {
        handed += WriteOutput(writer, packets.data() + i * 188, 188);
    }
    EXPECT_EQ(handed, 512 * 188);
    EXPECT_EQ(writer.run, packets.data() + 512 * 188);
    EXPECT_EQ(FlushOutput(writer), 88 * 188);
    ASSERT_EQ(sink.blocks.size(), 3u);
    EXPECT_EQ(sink.from,
              (std::vector<const uint8_t*>{packets.data(), packets.data() + 256 * 188, packets.data() + 512 * 188}));
    EXPECT_EQ(tsb::Concat({sink.blocks[0], sink.blocks[1], sink.blocks[2]}), packets);
}

TEST(WriteOutput, GapMovesTheRunIntoStagingAndKeepsTheBlockBoundaries) {
    // Packet 100 stays out (a window or a table took it): the block still
    // closes after 256 written packets, as it did when every packet was
    // copied, and the next block goes out from where its packets lie.
    RecordingSink sink;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes packets = Packets(600).Data();
    for (int i = 0; i < 600; ++i) {
        if (i != 100) {
            WriteOutput(writer, packets.data() + i * 188, 188);
        }
    }
    FlushOutput(writer);
    ASSERT_EQ(sink.blocks.size(), 3u);
    EXPECT_EQ(sink.blocks[0], tsb::Concat({Slice(packets, 0, 100), Slice(packets, 101, 156)}));
    EXPECT_EQ(sink.from[0], writer.staging.data());
    EXPECT_EQ(sink.blocks[1], Slice(packets, 257, 256));
    EXPECT_EQ(sink.from[1], packets.data() + 257 * 188);
    EXPECT_EQ(sink.blocks[2], Slice(packets, 513, 87));
}

TEST(WriteOutput, PacketsOf192ByteUnitsAreCopiedIntoBlocksOf256Packets) {
    RecordingSink sink;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes units = Packets(300).As192();
    for (int i = 0; i < 300; ++i) {
        WriteOutput(writer, units.data() + i * 192 + 4, 188);  // behind the time stamp
    }
    FlushOutput(writer);
    ASSERT_EQ(sink.blocks.size(), 2u);
    EXPECT_EQ(sink.blocks[0], Slice(units, 0, 256, 192, 4));
    EXPECT_EQ(sink.blocks[1], Slice(units, 256, 44, 192, 4));
    EXPECT_EQ(sink.from[0], writer.staging.data());
    EXPECT_EQ(tsb::Concat({sink.blocks[0], sink.blocks[1]}), Packets(300).Data());
}

TEST(WriteOutput, RunStagedBeforeItsBytesAreOverwrittenKeepsThem) {
    // The reader is about to move the rest of its block to the front: the
    // pending packets must leave with the bytes they had when written.
    RecordingSink sink;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes packets = Packets(20).Data();
    tsb::Bytes block = packets;
    for (int i = 0; i < 10; ++i) {
        WriteOutput(writer, block.data() + i * 188, 188);
    }
    StagePendingRun(writer);
    std::fill(block.begin(), block.begin() + 10 * 188, 0xEE);
    for (int i = 10; i < 20; ++i) {
        WriteOutput(writer, block.data() + i * 188, 188);
    }
    EXPECT_EQ(FlushOutput(writer), 20 * 188);
    ASSERT_EQ(sink.blocks.size(), 1u);
    EXPECT_EQ(sink.blocks[0], packets);
}

TEST(WriteOutput, PacketRewrittenInPlaceGoesOutAsRewritten) {
    // The counter rewrites change the packet inside the read block before it
    // is written; the run hands over those bytes.
    RecordingSink sink;
    PacketWriter writer(sink, kStagingSize);
    tsb::Bytes block = Packets(3).Data();
    tsb::Bytes expected = block;
    expected[188 + 3] = static_cast<uint8_t>((expected[188 + 3] & 0xF0) | 0x0B);
    for (int i = 0; i < 3; ++i) {
        if (i == 1) {
            block[188 + 3] = static_cast<uint8_t>((block[188 + 3] & 0xF0) | 0x0B);
        }
        WriteOutput(writer, block.data() + i * 188, 188);
    }
    FlushOutput(writer);
    ASSERT_EQ(sink.blocks.size(), 1u);
    EXPECT_EQ(sink.blocks[0], expected);
    EXPECT_EQ(sink.from[0], block.data());
}

TEST(WriteOutput, FailureInTheMiddleOfARunEndsTheOutput) {
    RecordingSink sink;
    sink.failAtBlock = 1;
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes packets = Packets(800).Data();
    int32_t handed = 0;
    for (int i = 0; i < 800; ++i) {
        handed += WriteOutput(writer, packets.data() + i * 188, 188);
    }
    handed += FlushOutput(writer);
    EXPECT_EQ(handed, 256 * 188 + 128 * 188);
    ASSERT_EQ(sink.blocks.size(), 2u);
    EXPECT_EQ(sink.blocks[1], Slice(packets, 256, 256));
    EXPECT_FALSE(writer.takesBlocks);
    EXPECT_EQ(writer.fill, 0);
}

// ---- Staging writer ----------------------------------------------------------

TEST(WriteOutput, HandsOverEvery256PacketsAndOnFlush) {
    const std::string path = tsb::TempPath("staging.ts");
    FileSink sink;
    ASSERT_TRUE(sink.Open(path));
    PacketWriter writer(sink, kStagingSize);
    const tsb::StreamBuilder builder = Packets(300);
    int32_t handed = 0;
    for (int i = 0; i < 255; ++i) {
        handed += WriteOutput(writer, builder.Data().data() + i * 188, 188);
    }
    EXPECT_EQ(handed, 0);
    EXPECT_EQ(writer.fill, 255 * 188);
    EXPECT_EQ(WriteOutput(writer, builder.Data().data() + 255 * 188, 188), kStagingSize);
    EXPECT_EQ(writer.fill, 0);
    for (int i = 256; i < 300; ++i) {
        WriteOutput(writer, builder.Data().data() + i * 188, 188);
    }
    EXPECT_EQ(FlushOutput(writer), 44 * 188);
    EXPECT_EQ(FlushOutput(writer), 0);
    EXPECT_FALSE(sink.Failed());
    sink.Close();
    EXPECT_EQ(tsb::ReadFileBytes(path), builder.Data());
    platform::RemoveFile(path.c_str());
}

TEST(WriteOutput, FailedSinkTakesNothingMoreAndDropsTheQueue) {
    const std::string path = tsb::TempPath("readonly.ts");
    ASSERT_TRUE(tsb::WriteFileBytes(path, tsb::Bytes(10, 0)));
    HandleSink sink(platform::OpenRead(path.c_str()));  // writes to it fail
    ASSERT_TRUE(sink.IsOpen());
    PacketWriter writer(sink, kStagingSize);
    const tsb::Bytes packets = Packets(300).Data();
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(WriteOutput(writer, packets.data() + i * 188, 188), 0);
    }
    EXPECT_TRUE(sink.Failed());
    EXPECT_EQ(writer.fill, 0);
    // Nothing is queued any more, so a flush has nothing to try either.
    EXPECT_EQ(WriteOutput(writer, packets.data() + 256 * 188, 188), 0);
    EXPECT_EQ(FlushOutput(writer), 0);
    EXPECT_EQ(writer.fill, 0);
    sink.Close();
    EXPECT_EQ(tsb::ReadFileBytes(path), tsb::Bytes(10, 0));
    platform::RemoveFile(path.c_str());
}

#ifndef _WIN32
// Writes `count` packets through the staging writer into `path` in a child
// process whose files may grow to `limit` bytes only (as a full disk does).
// Returns the child's exit code: 0 when the writer reported the failure.
int WriteUnderSizeLimit(const std::string& path, const tsb::Bytes& packets, int count, rlim_t limit) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit size{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &size);
        FileSink sink;
        sink.Open(path);
        PacketWriter writer(sink, kStagingSize);
        int64_t handed = 0;
        for (int i = 0; i < count; ++i) {
            handed += WriteOutput(writer, packets.data() + i * 188, 188);
        }
        handed += FlushOutput(writer);
        const bool failed = sink.Failed();
        sink.Close();
        ::_exit(failed && handed == static_cast<int64_t>(limit - limit % 188) ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(WriteOutput, FullDiskLeavesOnlyWholePacketsOfTheStream) {
    const std::string path = tsb::TempPath("limited.ts");
    const tsb::Bytes packets = Packets(1000).Data();
    // The limit falls 100 bytes into packet 532, inside the third block.
    const rlim_t limit = 531 * 188 + 100;
    EXPECT_EQ(WriteUnderSizeLimit(path, packets, 1000, limit), 0);
    const tsb::Bytes written = tsb::ReadFileBytes(path);
    EXPECT_EQ(written.size(), 531u * 188u);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), packets.begin()));
    // A limit on a packet boundary leaves nothing to cut.
    EXPECT_EQ(WriteUnderSizeLimit(path, packets, 1000, 300 * 188), 0);
    EXPECT_EQ(tsb::ReadFileBytes(path), tsb::Bytes(packets.begin(), packets.begin() + 300 * 188));
    platform::RemoveFile(path.c_str());
}
#endif

TEST(WriteOutput, NoSinkTakesNothing) {
    const tsb::StreamBuilder builder = Packets(1);
    FileSink unopened;
    PacketWriter toUnopened(unopened, kStagingSize);
    EXPECT_EQ(WriteOutput(toUnopened, builder.Data().data(), 188), 0);
    EXPECT_EQ(toUnopened.fill, 0);
    NoSink none;
    PacketWriter toNone(none, kStagingSize);
    EXPECT_EQ(WriteOutput(toNone, builder.Data().data(), 188), 0);
    EXPECT_EQ(toNone.fill, 0);
    RecordingSink recorder;
    PacketWriter withoutBlock(recorder, 0);
    EXPECT_EQ(WriteOutput(withoutBlock, builder.Data().data(), 188), 0);
    EXPECT_EQ(withoutBlock.fill, 0);
    EXPECT_EQ(FlushOutput(withoutBlock), 0);
    EXPECT_TRUE(recorder.blocks.empty());
}

}  // namespace
