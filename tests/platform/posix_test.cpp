// POSIX stand-ins: named pipes as FIFOs in the temporary directory, and
// signals as console control events.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/process_state.h"
#include "common/text.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("trelvan_pipe_") + info->name() + "_" + std::to_string(platform::ProcessId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::memcpy(savedTempDir_, TempDir, sizeof savedTempDir_);
        ASSERT_TRUE(CopyText(TempDir, sizeof TempDir, (dir_.string() + "/").c_str()));
    }
    void TearDown() override {
        std::memcpy(TempDir, savedTempDir_, sizeof savedTempDir_);
        fs::remove_all(dir_);
    }
    void MakeFifo(const char* name) {
        const std::string command = "mkfifo '" + (dir_ / name).string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    // Opens as the caller does: every 333 ms for up to 5 s.
    static platform::FileHandle OpenWithRetries(const char* pipePath) {
        for (int attempt = 0; attempt < 16; ++attempt) {
            const platform::FileHandle handle = platform::OpenPipeRead(pipePath);
            if (handle != platform::kInvalidFile) return handle;
            platform::SleepMs(333);
        }
        return platform::kInvalidFile;
    }
    static std::string ReadToEnd(platform::FileHandle handle, platform::ReadResult& last) {
        std::string data;
        char buffer[64];
        uint32_t got = 0;
        while ((last = platform::ReadFile(handle, buffer, sizeof buffer, got)) == platform::ReadResult::Ok) {
            data.append(buffer, got);
        }
        return data;
    }
    fs::path dir_;
    char savedTempDir_[kMaxPath] = {};
};

}  // namespace

TEST_F(PipeTest, MissingFifoOrForeignPathIsRefused) {
    EXPECT_EQ(platform::OpenPipeRead("\\\\.\\pipe\\nothing_here"), platform::kInvalidFile);
    EXPECT_EQ(platform::OpenPipeRead("\\\\.\\pipe\\"), platform::kInvalidFile);
    EXPECT_EQ(platform::OpenPipeRead((dir_ / "x").string().c_str()), platform::kInvalidFile);
    std::ofstream(dir_ / "plain") << "not a fifo";
    EXPECT_EQ(platform::OpenPipeRead("\\\\.\\pipe\\plain"), platform::kInvalidFile);
}

TEST_F(PipeTest, FifoWithoutWriterIsNotOpenedAndDoesNotBlock) {
    MakeFifo("idle");
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(platform::OpenPipeRead("\\\\.\\pipe\\idle"), platform::kInvalidFile);
    EXPECT_EQ(platform::OpenPipeRead("\\\\.\\pipe\\idle"), platform::kInvalidFile);
    EXPECT_LT(platform::TickCount() - start, 1000u);
}

TEST_F(PipeTest, WriterArrivingLaterDeliversEverythingThenEndOfFile) {
    MakeFifo("late");
    std::atomic<bool> writerOk{false};
    std::thread writer([&] {
        platform::SleepMs(700);
        std::ofstream out(dir_ / "late", std::ios::binary);  // blocks until the reader is there
        out << "hello ";
        out.flush();
        platform::SleepMs(300);
        out << "world";
        out.flush();
        writerOk = out.good();
    });
    const platform::FileHandle handle = OpenWithRetries("\\\\.\\pipe\\late");
    ASSERT_NE(handle, platform::kInvalidFile);
    platform::ReadResult last{};
    // The pause between the two writes must not read as the end.
    EXPECT_EQ(ReadToEnd(handle, last), "hello world");
    EXPECT_EQ(last, platform::ReadResult::EndOfFile);
    platform::CloseFile(handle);
    writer.join();
    EXPECT_TRUE(writerOk.load());
}

TEST_F(PipeTest, WriterSilentForLongAfterConnectingIsKept) {
    MakeFifo("quiet");
    std::atomic<bool> writerOk{false};
    std::thread writer([&] {
        std::ofstream out(dir_ / "quiet", std::ios::binary);  // blocks until the reader is there
        platform::SleepMs(1500);
        out << "after a pause";
        out.flush();
        writerOk = out.good();
    });
    // The writer stands in its open before the reader comes.
    platform::SleepMs(200);
    const uint32_t start = platform::TickCount();
    const platform::FileHandle handle = OpenWithRetries("\\\\.\\pipe\\quiet");
    EXPECT_LT(platform::TickCount() - start, 1000u);
    ASSERT_NE(handle, platform::kInvalidFile);
    // Nothing for a while: the wait runs out without a read that blocks.
    EXPECT_FALSE(platform::WaitReadable(handle, 200));
    platform::ReadResult last{};
    EXPECT_EQ(ReadToEnd(handle, last), "after a pause");
    EXPECT_EQ(last, platform::ReadResult::EndOfFile);
    platform::CloseFile(handle);
    writer.join();
    EXPECT_TRUE(writerOk.load());
}

TEST_F(PipeTest, FifoOpensForReadingWithoutAWriterAndForWritingNotWithoutAReader) {
    MakeFifo("lonely");
    const std::string path = (dir_ / "lonely").string();
    const uint32_t start = platform::TickCount();
    const platform::FileHandle input = platform::OpenRead(path.c_str());
    ASSERT_NE(input, platform::kInvalidFile);
    platform::CloseFile(input);
    // A log is never waited for.
    EXPECT_EQ(platform::OpenAppendExclusive(path.c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::CreateWriteExclusive(path.c_str()), platform::kInvalidFile);
    EXPECT_LT(platform::TickCount() - start, 1000u);
}

TEST_F(PipeTest, FifoOutputOpensOnceItsReaderComes) {
    MakeFifo("later");
    const std::string path = (dir_ / "later").string();
    std::string received;
    std::thread reader([&] {
        platform::SleepMs(300);
        std::ifstream in(path, std::ios::binary);
        received.assign(std::istreambuf_iterator<char>(in), {});
    });
    const platform::FileHandle out = platform::CreateWrite(path.c_str());
    ASSERT_NE(out, platform::kInvalidFile);
    uint32_t written = 0;
    EXPECT_TRUE(platform::WriteFile(out, "through", 7, written));
    platform::CloseFile(out);
    reader.join();
    EXPECT_EQ(received, "through");
}

TEST_F(PipeTest, SilentWriterConnectedBetweenRetriesIsNotCutOff) {
    MakeFifo("silent");
    // The first attempt finds no writer; the writer then connects to the
    // reader that attempt left behind and waits before writing.
    EXPECT_EQ(platform::OpenPipeRead("\\\\.\\pipe\\silent"), platform::kInvalidFile);
    std::atomic<bool> writerOk{false};
    std::thread writer([&] {
        std::ofstream out(dir_ / "silent", std::ios::binary);
        platform::SleepMs(500);
        out << "late data";
        out.flush();
        writerOk = out.good();
    });
    platform::SleepMs(100);
    // Connected but silent: that is a writer already.
    const platform::FileHandle handle = platform::OpenPipeRead("\\\\.\\pipe\\silent");
    ASSERT_NE(handle, platform::kInvalidFile);
    platform::ReadResult last{};
    EXPECT_EQ(ReadToEnd(handle, last), "late data");
    EXPECT_EQ(last, platform::ReadResult::EndOfFile);
    platform::CloseFile(handle);
    writer.join();
    EXPECT_TRUE(writerOk.load());
}

namespace {

std::atomic<int> lastEvent{-1};
std::atomic<int> eventCount{0};

bool RecordingHandler(uint32_t event) {
    lastEvent = static_cast<int>(event);
    ++eventCount;
    return true;
}

bool DecliningHandler(uint32_t) { return false; }

bool WaitForEvents(int count) {
    for (int i = 0; i < 200 && eventCount.load() < count; ++i) platform::SleepMs(10);
    return eventCount.load() >= count;
}

}  // namespace

TEST(ControlHandler, SignalsArriveAsConsoleEvents) {
    ASSERT_TRUE(platform::SetControlHandler(RecordingHandler));
    eventCount = 0;
    std::raise(SIGINT);
    ASSERT_TRUE(WaitForEvents(1));
    EXPECT_EQ(lastEvent.load(), 0);
    std::raise(SIGTERM);
    ASSERT_TRUE(WaitForEvents(2));
    EXPECT_EQ(lastEvent.load(), 2);
    std::raise(SIGHUP);
    ASSERT_TRUE(WaitForEvents(3));
    EXPECT_EQ(lastEvent.load(), 2);
    // A broken pipe is no reason to end: it is ignored.
    std::raise(SIGPIPE);
    platform::SleepMs(50);
    EXPECT_EQ(eventCount.load(), 3);
}

TEST(ControlHandlerDeathTest, DeclinedEventEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::SetControlHandler(DecliningHandler);
            std::raise(SIGTERM);
            platform::SleepMs(5000);
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}
#endif
