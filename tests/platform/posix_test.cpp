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

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool DecliningHandler(uint32_t) {
    return false;
}

bool WaitForEvents(int count) {
    for (int i = 0; i < 200 && eventCount.load() < count; ++i)
        platform::SleepMs(10);
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

namespace {

std::atomic<int> stuckEvents{0};
std::atomic<bool> releaseStuck{false};

// The first event hangs, as a handler writing to a console nobody reads.
bool StuckFirstHandler(uint32_t) {
    if (stuckEvents.fetch_add(1) == 0) {
        for (int i = 0; i < 500 && !releaseStuck.load(); ++i)
            platform::SleepMs(10);
    }
    return true;
}

}  // namespace

TEST(ControlHandler, AHandlerStuckOnOneEventDoesNotHoldBackTheNext) {
    ASSERT_TRUE(platform::SetControlHandler(StuckFirstHandler));
    stuckEvents = 0;
    releaseStuck = false;
    std::raise(SIGINT);
    platform::SleepMs(50);
    std::raise(SIGINT);
    for (int i = 0; i < 100 && stuckEvents.load() < 2; ++i)
        platform::SleepMs(10);
    EXPECT_EQ(stuckEvents.load(), 2);
    releaseStuck = true;
    platform::SleepMs(50);
    ASSERT_TRUE(platform::SetControlHandler(RecordingHandler));
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
// Files in a scratch directory of their own.
class PosixFiles : public PipeTest {};

TEST_F(PosixFiles, SameFileFollowsLinks) {
    std::ofstream(dir_ / "rec.ts") << "x";
    fs::create_symlink(dir_ / "rec.ts", dir_ / "link.ts");
    fs::create_hard_link(dir_ / "rec.ts", dir_ / "hard.ts");
    const std::string rec = (dir_ / "rec.ts").string();
    EXPECT_TRUE(platform::SameFile(rec.c_str(), (dir_ / "link.ts").string().c_str()));
    EXPECT_TRUE(platform::SameFile(rec.c_str(), (dir_ / "hard.ts").string().c_str()));
    // A link to a directory leads to the same entry of that directory.
    fs::create_directory(dir_ / "real");
    fs::create_directory_symlink(dir_ / "real", dir_ / "alias");
    EXPECT_TRUE(
        platform::SameFile((dir_ / "real" / "new.ts").string().c_str(), (dir_ / "alias" / "new.ts").string().c_str()));
}

TEST_F(PosixFiles, LinksToNamesNotYetCreatedLeadToThoseNames) {
    fs::create_directory(dir_ / "sub");
    fs::create_directory(dir_ / "real");
    fs::create_directory_symlink(dir_ / "real", dir_ / "alias");
    fs::create_symlink("out.ts", dir_ / "lnk.log");
    fs::create_symlink("lnk.log", dir_ / "chain.log");
    fs::create_symlink("../out.ts", dir_ / "sub" / "up.log");
    fs::create_symlink(dir_ / "out.ts", dir_ / "absolute.log");
    fs::create_symlink("../real/out.ts", dir_ / "alias" / "via.log");
    fs::create_symlink("other.ts", dir_ / "elsewhere.log");
    const struct {
        fs::path link;
        fs::path missing;
        bool same;
    } cases[] = {
        {dir_ / "lnk.log", dir_ / "out.ts", true},
        {dir_ / "chain.log", dir_ / "out.ts", true},
        {dir_ / "sub" / "up.log", dir_ / "out.ts", true},
        {dir_ / "absolute.log", dir_ / "out.ts", true},
        {dir_ / "alias" / "via.log", dir_ / "real" / "out.ts", true},
        {dir_ / "elsewhere.log", dir_ / "out.ts", false},
        {dir_ / "lnk.log", dir_ / "sub" / "out.ts", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::SameFile(c.link.string().c_str(), c.missing.string().c_str()), c.same) << c.link;
        EXPECT_EQ(platform::SameFile(c.missing.string().c_str(), c.link.string().c_str()), c.same) << c.link;
    }
}

TEST_F(PosixFiles, SameFileAsHandleSeesThroughDeviceNames) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string viaProc = "/proc/self/fd/" + std::to_string(ends[1]);
    EXPECT_TRUE(platform::SameFileAsHandle(viaProc.c_str(), ends[0]));
    std::ofstream(dir_ / "plain") << "x";
    EXPECT_FALSE(platform::SameFileAsHandle((dir_ / "plain").string().c_str(), ends[0]));
    ::close(ends[0]);
    ::close(ends[1]);
}

// The log is opened again for each batch: only the file checked at the start
// of the job may take it.
TEST_F(PosixFiles, CheckedAppendRefusesANameThatNowLeadsElsewhere) {
    const std::string log = (dir_ / "run.log").string();
    const std::string recording = (dir_ / "rec.ts").string();
    const struct {
        const char* what;
        bool logExistsAtCheck;
        void (*replace)(const std::string& log, const std::string& recording);
        bool replaced;
    } cases[] = {
        {"unchanged", true, [](const std::string&, const std::string&) {}, false},
        {"symbolic link put in its place", true,
         [](const std::string& l, const std::string& r) {
             fs::remove(l);
             fs::create_symlink(r, l);
         },
         true},
        {"hard link put in its place", true,
         [](const std::string& l, const std::string& r) {
             fs::remove(l);
             fs::create_hard_link(r, l);
         },
         true},
        {"removed", true, [](const std::string& l, const std::string&) { fs::remove(l); }, false},
        {"created by nobody yet", false, [](const std::string&, const std::string&) {}, false},
        {"link planted before the first write", false,
         [](const std::string& l, const std::string& r) { fs::create_symlink(r, l); }, true},
        {"hard link planted before the first write", false,
         [](const std::string& l, const std::string& r) { fs::create_hard_link(r, l); }, true},
    };
    for (const auto& c : cases) {
        fs::remove(log);
        std::ofstream(recording, std::ios::binary) << "GGGG";
        if (c.logExistsAtCheck) std::ofstream(log) << "old\n";
        platform::FileIdentity identity = platform::IdentifyFile(log.c_str());
        c.replace(log, recording);
        bool replaced = false;
        const platform::FileHandle file = platform::OpenAppendChecked(log.c_str(), identity, replaced);
        EXPECT_EQ(replaced, c.replaced) << c.what;
        EXPECT_EQ(file == platform::kInvalidFile, c.replaced) << c.what;
        uint32_t written = 0;
        if (file != platform::kInvalidFile) {
            platform::WriteFile(file, "new\n", 4, written);
            platform::CloseFile(file);
        }
        std::ifstream in(recording, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "GGGG") << c.what;
        // A second batch goes to the same file.
        if (!c.replaced) {
            const platform::FileHandle again = platform::OpenAppendChecked(log.c_str(), identity, replaced);
            EXPECT_FALSE(replaced) << c.what;
            EXPECT_NE(again, platform::kInvalidFile) << c.what;
            platform::CloseFile(again);
        }
    }
}

TEST_F(PosixFiles, OnlyOwnPlainFilesCountAsRemovable) {
    std::ofstream(dir_ / "own.tmp") << "x";
    std::ofstream(dir_ / "target.txt") << "x";
    fs::create_symlink(dir_ / "target.txt", dir_ / "link.tmp");
    fs::create_directory(dir_ / "dir.tmp");
    MakeFifo("fifo.tmp");
    EXPECT_TRUE(platform::IsOwnPlainFile((dir_ / "own.tmp").string().c_str()));
    EXPECT_FALSE(platform::IsOwnPlainFile((dir_ / "link.tmp").string().c_str()));
    EXPECT_FALSE(platform::IsOwnPlainFile((dir_ / "dir.tmp").string().c_str()));
    EXPECT_FALSE(platform::IsOwnPlainFile((dir_ / "fifo.tmp").string().c_str()));
    EXPECT_FALSE(platform::IsOwnPlainFile((dir_ / "missing.tmp").string().c_str()));
    if (::geteuid() != 0) GTEST_SKIP() << "another user's file needs root to make";
    std::ofstream(dir_ / "theirs.tmp") << "x";
    ASSERT_EQ(::chown((dir_ / "theirs.tmp").string().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(platform::IsOwnPlainFile((dir_ / "theirs.tmp").string().c_str()));
}

TEST(KeyWait, WithoutATerminalReturnsAtOnceAndLeavesStandardInputUnread) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "G", 1), 1);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A new session has no controlling terminal.
        ::setsid();
        ::dup2(fds[0], STDIN_FILENO);
        const bool pressed = platform::ReadKeyNoEcho();
        char byte = 0;
        const bool byteLeft = ::read(STDIN_FILENO, &byte, 1) == 1 && byte == 'G';
        ::_exit(!pressed && byteLeft ? 0 : 1);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A writer held up by a pipe nobody reads has put whole packets into it:
// should the process end now, the reader finds no torn one.
TEST(WholeUnits, APipeThatFillsUpHoldsWholeUnitsOnly) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string block(1 << 20, 'x');
    std::thread writer([&] {
        uint32_t written = 0;
        platform::WriteWholeUnits(ends[1], block.data(), static_cast<uint32_t>(block.size()), 188, written);
    });
    platform::SleepMs(200);
    int queued = 0;
    ASSERT_EQ(::ioctl(ends[0], FIONREAD, &queued), 0);
    EXPECT_GT(queued, 0);
    EXPECT_EQ(queued % 188, 0) << queued;
    // Drain it so that the writer finishes.
    std::string buffer(1 << 16, '\0');
    std::size_t total = 0;
    while (total < block.size()) {
        const ssize_t n = ::read(ends[0], buffer.data(), buffer.size());
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    writer.join();
    EXPECT_EQ(total, block.size());
    ::close(ends[0]);
    ::close(ends[1]);
}

#endif
