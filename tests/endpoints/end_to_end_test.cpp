// The program with a tuner source and with a sender sink, run as a child
// process. Skipped when the program is not available.
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "endpoint_test_util.h"
#include "platform/platform.h"

using namespace endpoint_test;

namespace {

std::string ProgramPath() {
    const char* exe = std::getenv("TRELVAN_EXE");
    return exe != nullptr ? exe : "";
}

std::vector<uint8_t> MakeStream(uint32_t packets) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < packets; ++i) {
        uint8_t p[188];
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = static_cast<uint8_t>(0x10 | (i & 0x0F));
        for (int b = 4; b < 188; ++b)
            p[b] = static_cast<uint8_t>(i * 3 + b);
        out.insert(out.end(), p, p + 188);
    }
    return out;
}

// Runs the program with output to a log file; after `stopAfterMs` sends
// SIGINT (0: let it end). Waits at most 20 s in all. Returns the exit status
// or -1 when it had to be killed.
int RunProgram(const std::vector<std::string>& args, uint32_t stopAfterMs, const std::string& consoleFile) {
    pid_t child = fork();
    if (child == 0) {
        FILE* out = std::freopen(consoleFile.c_str(), "wb", stdout);
        (void)out;
        std::vector<char*> argv;
        std::string exe = ProgramPath();
        argv.push_back(exe.data());
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    uint32_t start = platform::TickCount();
    bool interrupted = false;
    int status = 0;
    while (platform::TickCount() - start < 20000) {
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (stopAfterMs != 0 && !interrupted && platform::TickCount() - start >= stopAfterMs) {
            kill(child, SIGINT);
            interrupted = true;
        }
        platform::SleepMs(10);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}

TEST(EndToEnd, TunerPathPassesTheStreamThroughUntilInterrupted) {
    if (ProgramPath().empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
    std::vector<uint8_t> stream = MakeStream(3000);
    std::string input = TempPath("in.ts"), output = TempPath("out.ts"), console = TempPath("console.txt");
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    SetEnv("BON_TEST_STREAM", input);
    SetEnv("BON_TEST_CHUNK", "9024");
    std::string path = std::string("\\\\.\\bondriver\\0\\12\\") + TEST_DRIVER_PATH;
    int status = RunProgram({path, "-throughpath", output, "-noprogress"}, 1500, console);
    SetEnv("BON_TEST_STREAM", "");
    SetEnv("BON_TEST_CHUNK", "");
    EXPECT_NE(status, -1) << ReadAll(console);
    std::string text = ReadAll(output);
    std::vector<uint8_t> got(text.begin(), text.end());
    EXPECT_EQ(got.size(), stream.size()) << ReadAll(console);
    EXPECT_TRUE(got == stream);
}

// A tuner that does not open ends its job at once, and the run fails:
// nothing was checked.
TEST(EndToEnd, TunerThatCannotOpenEndsTheJobAndFailsTheRun) {
    if (ProgramPath().empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
    const std::string output = TempPath("out.ts"), console = TempPath("console.txt");
    SetEnv("BON_TEST_FAIL_OPEN", "1");
    const std::string path = std::string("\\\\.\\bondriver\\0\\12\\") + TEST_DRIVER_PATH;
    const int status = RunProgram({path, "-throughpath", output, "-noprogress"}, 0, console);
    SetEnv("BON_TEST_FAIL_OPEN", "");
    EXPECT_EQ(status, 255);
    EXPECT_EQ(ReadAll(console), std::string("－ BonDriverチューナーを開けません ") + TEST_DRIVER_PATH + "\n\n");
}

// A sender whose only destination never answered delivered to nobody: the
// destination is named and the run fails.
TEST(EndToEnd, SenderThatReachedNobodyFailsTheRun) {
    if (ProgramPath().empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
    const std::vector<uint8_t> stream = MakeStream(100);
    const std::string input = TempPath("in.ts"), console = TempPath("console.txt");
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    const uint16_t port = UnusedLoopbackPort();
    ASSERT_NE(port, 0);
    const std::string destination = "127.0.0.1:" + std::to_string(port);
    const std::string path = "\\\\.\\sendtstcp\\" + destination + "\\" + SENDER_LIBRARY_PATH;
    const int status = RunProgram({input, "-throughpath", path, "-noprogress"}, 0, console);
    EXPECT_EQ(status, 255);
    EXPECT_EQ(ReadAll(console), "－ SendTSTCP送信先に接続できませんでした " + destination + "\n\n");
}

// A driver stuck in CloseTuner holds up the orderly stop: after a second
// SIGINT the program must still end by itself, with a notice and a failure
// status.
TEST(EndToEnd, SecondInterruptEndsAProgramWhoseTunerDriverNeverCloses) {
    if (ProgramPath().empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
    std::string output = TempPath("out.ts"), console = TempPath("console.txt");
    SetEnv("BON_TEST_HANG_CLOSE", "1");
    SetEnv("BON_TEST_PACKETS", "1000");
    std::string path = std::string("\\\\.\\bondriver\\0\\12\\") + TEST_DRIVER_PATH;
    pid_t child = fork();
    if (child == 0) {
        FILE* out = std::freopen(console.c_str(), "wb", stdout);
        (void)out;
        std::string exe = ProgramPath();
        std::vector<char*> argv{exe.data(), path.data(), const_cast<char*>("-throughpath"), output.data(), nullptr};
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    SetEnv("BON_TEST_HANG_CLOSE", "");
    SetEnv("BON_TEST_PACKETS", "");
    platform::SleepMs(1000);
    kill(child, SIGINT);
    platform::SleepMs(300);
    const uint32_t secondStop = platform::TickCount();
    kill(child, SIGINT);
    int status = 0;
    bool ended = false;
    while (!ended && platform::TickCount() - secondStop < 10000) {
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) platform::SleepMs(20);
    }
    const uint32_t tookMs = platform::TickCount() - secondStop;
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended) << "still running 10 s after the second SIGINT";
    EXPECT_GE(tookMs, 2500u);  // the orderly stop had its chance first
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    const std::string text = ReadAll(console);
    const std::string notice = "－ 終了処理が応答しないため強制終了します\n";
    const std::string interrupted = "－ CTRL+Cが押されました\n";
    const std::size_t first = text.find(interrupted);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(interrupted, first + interrupted.size()), std::string::npos) << text;
    EXPECT_EQ(text.size() - notice.size(), text.rfind(notice)) << text;
}

TEST(EndToEnd, SenderPathDeliversTheStreamToALoopbackReceiver) {
    if (ProgramPath().empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
    std::vector<uint8_t> stream = MakeStream(1000);
    std::string input = TempPath("in.ts"), console = TempPath("console.txt");
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    // The library by its path, and by its bare name from a folder without it:
    // then it is found beside the program.
    for (const std::string& library : {std::string(SENDER_LIBRARY_PATH), std::string("SendTSTCP.so")}) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        // Bit 16 asks for the bare stream.
        std::string path =
            "\\\\.\\sendtstcp\\127.0.0.1:" + std::to_string(0x10000u | ntohs(address.sin_port)) + "\\" + library;
        pid_t child = fork();
        if (child == 0) {
            close(listener);
            if (chdir("/") != 0) _exit(2);
            _exit(RunProgram({input, "-throughpath", path, "-noprogress"}, 0, console) == -1 ? 1 : 0);
        }
        std::vector<uint8_t> got;
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 10000) == 1) {
            int connection = accept(listener, nullptr, nullptr);
            uint8_t buffer[65536];
            uint32_t start = platform::TickCount();
            while (connection >= 0 && platform::TickCount() - start < 15000) {
                pollfd q{connection, POLLIN, 0};
                if (poll(&q, 1, 200) <= 0) continue;
                ssize_t n = recv(connection, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                got.insert(got.end(), buffer, buffer + n);
            }
            if (connection >= 0) close(connection);
        }
        close(listener);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << library;
        EXPECT_EQ(got.size(), stream.size()) << library << ": " << ReadAll(console);
        EXPECT_TRUE(got == stream) << library;
    }
}

}  // namespace
#endif
