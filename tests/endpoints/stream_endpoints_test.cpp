// The job's sources and sinks: exact bytes in and out, and how each kind
// fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "common/process_state.h"
#include "endpoint_test_util.h"
#include "endpoints/endpoints.h"
#include "endpoints/stream_endpoints.h"
#include "engine/stream_job.h"

using namespace endpoint_test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    return bytes;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadBytes(const std::string& path) {
    const std::string text = ReadAll(path);
    return Bytes(text.begin(), text.end());
}

// Reads the source to its end in pieces of at most `room` bytes.
Bytes Drain(PacketSource& source, uint32_t room, std::vector<uint32_t>* sizes = nullptr) {
    Bytes out;
    Bytes buffer(room);
    for (int guard = 0; guard < 10000; ++guard) {
        uint32_t got = 0;
        const BlockStatus status = source.ReadBlock(buffer.data(), room, got);
        if (status == BlockStatus::Ended) {
            EXPECT_EQ(got, 0u);
            break;
        }
        if (status == BlockStatus::Data) {
            out.insert(out.end(), buffer.begin(), buffer.begin() + got);
            if (sizes) sizes->push_back(got);
        }
    }
    return out;
}

TEST(FileSource, DeliversTheExactBytesInPiecesThatFitTheRoom) {
    const std::string path = TempPath("in.ts");
    const Bytes content = Pattern(1000);
    WriteBytes(path, content);
    FileSource source;
    ASSERT_TRUE(source.Open(path));
    EXPECT_EQ(source.Size(), 1000);
    std::vector<uint32_t> sizes;
    EXPECT_EQ(Drain(source, 300, &sizes), content);
    EXPECT_EQ(sizes, (std::vector<uint32_t>{300, 300, 300, 100}));
}

TEST(FileSource, StartOffsetsFromTheStartAndFromTheEnd) {
    const std::string path = TempPath("in.ts");
    const Bytes content = Pattern(1000);
    WriteBytes(path, content);
    struct Case {
        int64_t offset;
        int64_t start;
    };
    // -1 is the end itself; -189 leaves the last 188 bytes.
    for (const Case c : {Case{0, 0}, Case{376, 376}, Case{-1, 1000}, Case{-189, 812}}) {
        FileSource source;
        ASSERT_TRUE(source.Open(path));
        EXPECT_EQ(source.StartAt(c.offset), c.start) << c.offset;
        EXPECT_EQ(Drain(source, 4096), Bytes(content.begin() + c.start, content.end())) << c.offset;
    }
    // Before the start of the file the seek fails: reading starts at 0.
    FileSource source;
    ASSERT_TRUE(source.Open(path));
    EXPECT_EQ(source.StartAt(-5000), 0);
    EXPECT_EQ(Drain(source, 4096), content);
}

TEST(FileSource, MissingFileDoesNotOpen) {
    FileSource source;
    EXPECT_FALSE(source.Open(TempPath("absent.ts")));
    EXPECT_FALSE(source.IsOpen());
    source.Close();  // harmless when never opened
}

TEST(FileSource, CloseReleasesTheHandle) {
    const std::string path = TempPath("in.ts");
    WriteBytes(path, Pattern(10));
    FileSource source;
    ASSERT_TRUE(source.Open(path));
    source.Close();
    EXPECT_FALSE(source.IsOpen());
    uint32_t got = 0;
    Bytes buffer(16);
    EXPECT_NE(source.ReadBlock(buffer.data(), 16, got), BlockStatus::Data);
    EXPECT_EQ(got, 0u);
}

TEST(PipeSource, AStopRequestEndsTheWaitForTheWriter) {
    StopRequested = 1;
    const uint32_t start = platform::TickCount();
    PipeSource pipe;
    const bool opened = pipe.Open("\\\\.\\pipe\\trelvan_absent_" + std::to_string(platform::ProcessId()));
    const uint32_t elapsed = platform::TickCount() - start;
    StopRequested = 0;
    EXPECT_FALSE(opened);
    EXPECT_LT(elapsed, 1000u);
}

TEST(TunerDriverSource, UnopenedHasNothingAndNeverEnds) {
    MessageCapture messages;
    TunerDriverSource tuner(messages.Reporter());
    EXPECT_FALSE(tuner.IsOpen());
    Bytes buffer(188);
    uint32_t got = 7;
    EXPECT_EQ(tuner.ReadBlock(buffer.data(), 188, got), BlockStatus::NothingNow);
    EXPECT_EQ(got, 0u);
}

TEST(TunerDriverSource, StreamOfTheTestDriverArrivesWhole) {
    SetEnv("BON_TEST_PACKETS", "50");
    SetEnv("BON_TEST_LOG", TempPath("driver.log"));
    MessageCapture messages;
    Bytes data;
    {
        TunerDriverSource tuner(messages.Reporter());
        ASSERT_TRUE(tuner.Open(0, 3, TEST_DRIVER_PATH, 1u << 20));
        Bytes buffer(1000);
        const uint32_t start = platform::TickCount();
        while (data.size() < 50 * 188 && platform::TickCount() - start < 2000) {
            uint32_t got = 0;
            if (tuner.ReadBlock(buffer.data(), 1000, got) == BlockStatus::Data) {
                EXPECT_LE(got, 1000u);
                data.insert(data.end(), buffer.begin(), buffer.begin() + got);
            } else {
                tuner.WaitIdle();
            }
        }
    }
    SetEnv("BON_TEST_PACKETS", "");
    SetEnv("BON_TEST_LOG", "");
    ASSERT_EQ(data.size(), 50u * 188u);
    for (std::size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(data[i * 188], 0x47) << i;
        EXPECT_EQ(data[i * 188 + 7], static_cast<uint8_t>(i)) << i;  // the driver numbers its packets
    }
    // Destroying the source stopped the driver: its end message is there.
    const std::string driver = TEST_DRIVER_PATH;
    EXPECT_EQ(messages.Text(),
              "－ BonDriverチューナー 開始成功 " + driver + "\n－ BonDriverチューナー 終了 " + driver + "\n");
}

TEST(FileSink, WritesTheExactBytesAndTruncatesWhatWasThere) {
    const std::string path = TempPath("out.ts");
    WriteBytes(path, Pattern(5000));
    const Bytes block = Pattern(376);
    {
        FileSink sink;
        ASSERT_TRUE(sink.Open(path));
        EXPECT_TRUE(sink.TakesBlocks());
        EXPECT_EQ(sink.WriteBlock(block.data(), 376), 376u);
        EXPECT_EQ(sink.WriteBlock(block.data(), 188), 188u);
        EXPECT_FALSE(sink.Failed());
    }
    Bytes expected = block;
    expected.insert(expected.end(), block.begin(), block.begin() + 188);
    EXPECT_EQ(ReadBytes(path), expected);
}

TEST(FileSink, FolderThatDoesNotExistCannotBeCreated) {
    FileSink sink;
    EXPECT_FALSE(sink.Open(TempPath("absent") + "/out.ts"));
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_FALSE(sink.TakesBlocks());
    const Bytes block = Pattern(188);
    EXPECT_EQ(sink.WriteBlock(block.data(), 188), 0u);
}

TEST(HandleSink, FailedWriteFailsTheSinkForGood) {
    const std::string path = TempPath("readonly.ts");
    WriteBytes(path, Pattern(10));
    HandleSink sink(platform::OpenRead(path.c_str()));
    ASSERT_TRUE(sink.IsOpen());
    const Bytes block = Pattern(376);
    EXPECT_EQ(sink.WriteBlock(block.data(), 376), 0u);
    EXPECT_TRUE(sink.Failed());
    EXPECT_FALSE(sink.TakesBlocks());
    EXPECT_EQ(sink.WriteBlock(block.data(), 376), 0u);
    sink.Close();
    EXPECT_EQ(ReadBytes(path), Pattern(10));
}

class SenderStreamSinkTest : public testing::Test {
protected:
    void SetUp() override {
        calls_ = TempPath("calls.log");
        SetEnv("FAKE_SENDER_LOG", calls_);
    }
    void TearDown() override {
        UnloadSender();
        SetSenderLibraryPath("");
        SetEnv("FAKE_SENDER_LOG", "");
    }
    std::string calls_;
};

TEST_F(SenderStreamSinkTest, BlocksReachTheLibraryWholeAndCloseStopsIt) {
    MessageCapture messages;
    {
        SenderStreamSink sink(messages.Reporter());
        ASSERT_TRUE(sink.Open("127.0.0.1:1234", FAKE_SENDER_PATH));
        EXPECT_TRUE(sink.TakesBlocks());
        const Bytes block = Pattern(376);
        EXPECT_EQ(sink.WriteBlock(block.data(), 376), 376u);
        EXPECT_FALSE(sink.Failed());
    }
    const std::string calls = ReadAll(calls_);
    EXPECT_EQ(calls.substr(0, calls.find("AddSendDataDLL")),
              "InitializeDLL 7\nAddSendAddrDLL 7 127.0.0.1 1234\nStartSendDLL 7\n");
    EXPECT_NE(calls.find("AddSendDataDLL 7 376 "), std::string::npos);
    EXPECT_EQ(calls.substr(calls.find("ClearSendAddrDLL")), "ClearSendAddrDLL 7\nStopSendDLL 7\nUnInitializeDLL 7\n");
    EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始成功 127.0.0.1:1234\n－ SendTSTCP.dll 終了7\n");
}

TEST_F(SenderStreamSinkTest, MissingLibraryIsNoSinkAndCloseSaysNothing) {
    MessageCapture messages;
    {
        SenderStreamSink sink(messages.Reporter());
        EXPECT_FALSE(sink.Open("127.0.0.1:1234", TempPath("absent.so")));
        EXPECT_FALSE(sink.TakesBlocks());
        const Bytes block = Pattern(188);
        EXPECT_EQ(sink.WriteBlock(block.data(), 188), 0u);
    }
    EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始失敗 127.0.0.1:1234\n");
    EXPECT_EQ(ReadAll(calls_), "");
}

}  // namespace

// Files take the stream in large blocks; the sender still gets blocks of at
// most 256 packets, the last one the rest.
TEST_F(SenderStreamSinkTest, WorkerHandsTheSenderBlocksOf256Packets) {
    MessageCapture messages;
    const std::string input = TempPath("to_sender.ts");
    Bytes stream;
    for (int i = 0; i < 600; ++i) {
        Bytes packet(188, static_cast<uint8_t>(i));
        packet[0] = 0x47;
        packet[1] = 0x01;
        packet[2] = 0x00;
        packet[3] = static_cast<uint8_t>(0x10 | (i & 0x0F));
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    WriteBytes(input, stream);
    StreamJob job;
    job.reporter = &messages.Reporter();
    job.slot.inputPath = input;
    job.slot.outputPath = std::string("\\\\.\\sendtstcp\\127.0.0.1:1234\\") + FAKE_SENDER_PATH;
    ASSERT_EQ(StreamWorker(&job), 1u);
    EXPECT_FALSE(job.slot.sinkFailed);
    std::vector<std::string> sizes;
    const std::string calls = ReadAll(calls_);
    for (std::size_t at = calls.find("AddSendDataDLL 7 "); at != std::string::npos;
         at = calls.find("AddSendDataDLL 7 ", at + 1)) {
        const std::size_t from = at + 17;
        sizes.push_back(calls.substr(from, calls.find(' ', from) - from));
    }
    EXPECT_EQ(sizes, (std::vector<std::string>{"48128", "48128", "16544"}));
}
