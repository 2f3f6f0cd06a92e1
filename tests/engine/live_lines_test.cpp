// Message lines of a live source: they leave for the log while the job is
// still running, whether the source falls silent or keeps trickling in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/engine/worker_test_support.h"

#ifndef _WIN32
namespace {

using worker_test::CapturedRun;
using worker_test::WorkerRun;

// A pipe has no position to show.
constexpr const char* kDropLines =
    "DROP : PID 0x0100 , 1 Drop , PCR 0:00:00.000 \r\n"
    "DROP : PID 0x0100 , 2 Drop , PCR 0:00:00.000 \r\n";

// Three packets, two that each skip counter values, and two more: the
// reader may keep the last packet back until more comes or nothing does.
tsb::Bytes PacketsWithTwoDrops() {
    tsb::StreamBuilder builder;
    for (int i = 0; i < 3; ++i) {
        builder.Packet(0x100, tsb::Bytes(184, static_cast<uint8_t>(i)));
    }
    builder.SetCounter(0x100, 9);
    builder.Packet(0x100);
    builder.SetCounter(0x100, 0);
    builder.Packet(0x100);
    builder.Packet(0x100);
    builder.Packet(0x100);
    return builder.Data();
}

std::string FileText(const std::string& path) {
    const tsb::Bytes bytes = tsb::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// A FIFO the worker reads as "\\.\pipe\NAME".
struct Fifo {
    std::string name = "trelvan_lines_" + std::to_string(platform::ProcessId());
    std::string path;
    Fifo() {
        CopyText(TempDir, sizeof TempDir, platform::TemporaryDirectory().c_str());
        path = std::string(TempDir) + name;
        std::remove(path.c_str());
        created = std::system(("mkfifo '" + path + "'").c_str()) == 0;
    }
    ~Fifo() {
        std::remove(path.c_str());
        TempDir[0] = '\0';
    }
    bool created = false;
};

// Writes the drops, then calls `meanwhile` until the log holds both lines
// or three seconds have passed; the pipe stays open all that time.
bool LinesArriveWhileThePipeIsOpen(const std::function<void(std::ofstream&)>& meanwhile) {
    CapturedRun capture;
    RunSettings.drop = true;
    Fifo fifo;
    if (!fifo.created) return false;
    const std::string output = tsb::TempPath("out.ts");
    bool arrived = false;
    std::thread writer([&] {
        std::ofstream out(fifo.path, std::ios::binary);
        const tsb::Bytes data = PacketsWithTwoDrops();
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.flush();
        const uint32_t start = platform::TickCount();
        while (!arrived && platform::TickCount() - start < 3000) {
            meanwhile(out);
            arrived = FileText(capture.log) == kDropLines;
        }
    });
    WorkerRun run(capture.reporter, "\\\\.\\pipe\\" + fifo.name, output);
    writer.join();
    platform::RemoveFile(output.c_str());
    EXPECT_EQ(capture.Messages(), kDropLines);
    return arrived;
}

}  // namespace

TEST(LiveLines, ASilentSourceLetsTheLinesOut) {
    EXPECT_TRUE(LinesArriveWhileThePipeIsOpen([](std::ofstream&) { platform::SleepMs(10); }));
}

// Every read finds a packet: the worker is never idle, and the lines still
// go out about 100 ms later.
TEST(LiveLines, ATricklingSourceLetsTheLinesOut) {
    uint8_t counter = 3;
    EXPECT_TRUE(LinesArriveWhileThePipeIsOpen([&counter](std::ofstream& out) {
        const tsb::Bytes packet = tsb::MakePacket(0x100, counter++ & 0x0F, tsb::Bytes(184, 0xFF));
        out.write(reinterpret_cast<const char*>(packet.data()), static_cast<std::streamsize>(packet.size()));
        out.flush();
        platform::SleepMs(10);
    }));
}
#endif
