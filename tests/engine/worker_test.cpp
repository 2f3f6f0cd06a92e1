// The stream worker run in-process on files: passthrough, offsets, source
// and sink recognition, transport errors, DROP lines and the progress line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "engine/worker_report.h"
#include "tests/engine/worker_test_support.h"
#include "tests/support/recording_output.h"

namespace {

using worker_test::CapturedRun;
using worker_test::WorkerRun;

tsb::StreamBuilder Packets(int count, uint16_t pid = 0x100) {
    tsb::StreamBuilder builder;
    for (int i = 0; i < count; ++i) {
        builder.Packet(pid, tsb::Bytes(184, static_cast<uint8_t>(i)));
    }
    return builder;
}

struct Files {
    std::string input = tsb::TempPath("in.ts");
    std::string output = tsb::TempPath("out.ts");
    ~Files() {
        platform::RemoveFile(input.c_str());
        platform::RemoveFile(output.c_str());
    }
};

TEST(StreamWorker, PassesEveryPacketThroughByteForByte) {
    CapturedRun capture;
    Files files;
    const tsb::StreamBuilder builder = Packets(1000);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input, files.output);
    EXPECT_EQ(run.result, 1u);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), builder.Data());
    ASSERT_NE(run.Entry(0x100), nullptr);
    EXPECT_EQ(run.Entry(0x100)->packetCount, 1000);
    EXPECT_EQ(capture.Messages(), "");
}

TEST(StreamWorker, SmallReadBufferStillPassesEverything) {
    CapturedRun capture;
    RunSettings.bufsize = 48128;
    Files files;
    const tsb::StreamBuilder builder = Packets(700);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.As192()));
    WorkerRun run(capture.reporter, files.input, files.output);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), builder.Data());
}

TEST(StreamWorker, SmallReadBufferRefilledWhilePacketsWaitForTheSink) {
    // 48128 bytes hold 256 packets, and the block is refilled long before
    // 256 packets have gathered behind its front.
    CapturedRun capture;
    RunSettings.bufsize = 48128;
    Files files;
    const tsb::StreamBuilder builder = Packets(1500);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input, files.output);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), builder.Data());
}

TEST(StreamWorker, CountersRewrittenInTheReadBlockReachTheOutput) {
    // From the gap at packet 50 on every counter is renumbered in place; the
    // packets go out from the read block with the new counters.
    CapturedRun capture;
    RunSettings.rwcntundrop = 0x100;
    Files files;
    tsb::Bytes input;
    tsb::Bytes expected;
    for (int i = 0; i < 600; ++i) {
        const tsb::Bytes payload(184, static_cast<uint8_t>(i));
        const int sent = i < 50 ? i : i + 1;
        const tsb::Bytes packet = tsb::MakePacket(0x100, static_cast<uint8_t>(sent & 0x0F), payload);
        const tsb::Bytes renumbered = tsb::MakePacket(0x100, static_cast<uint8_t>(i & 0x0F), payload);
        input.insert(input.end(), packet.begin(), packet.end());
        expected.insert(expected.end(), renumbered.begin(), renumbered.end());
    }
    ASSERT_NE(input, expected);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, input));
    WorkerRun run(capture.reporter, files.input, files.output);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), expected);
}

TEST(StreamWorker, UnitsOf192BytesBecome188BytePackets) {
    CapturedRun capture;
    Files files;
    const tsb::StreamBuilder builder = Packets(20);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.As192()));
    WorkerRun run(capture.reporter, files.input, files.output);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), builder.Data());
}

TEST(StreamWorker, PositiveOffsetStartsThere) {
    CapturedRun capture;
    Files files;
    const tsb::StreamBuilder builder = Packets(20);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input + ";1880", files.output);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), tsb::Bytes(builder.Data().begin() + 1880, builder.Data().end()));
}

TEST(StreamWorker, NegativeOffsetCountsFromTheEnd) {
    CapturedRun capture;
    Files files;
    const tsb::StreamBuilder builder = Packets(20);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input + ";-189", files.output);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), tsb::Bytes(builder.Data().end() - 188, builder.Data().end()));
}

TEST(StreamWorker, OffsetAtOrPastTheEndGivesANoticeAndLeavesTheOutputAlone) {
    const tsb::StreamBuilder builder = Packets(20);
    const tsb::Bytes previous = tsb::TextBytes("earlier output");
    // 20 digits overflow 64 bits; 3760 is the file's size.
    for (const char* offset : {";99999999999999999999", ";9999999999999", ";3760"}) {
        CapturedRun capture;
        Files files;
        ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
        ASSERT_TRUE(tsb::WriteFileBytes(files.output, previous));
        WorkerRun run(capture.reporter, files.input + offset, files.output);
        EXPECT_EQ(run.result, 1u);
        EXPECT_EQ(tsb::ReadFileBytes(files.output), previous) << offset;
        EXPECT_EQ(capture.Messages(),
                  worker_test::Text("－ 開始位置がファイルの終わりを越えています ") + files.input + "\n")
            << offset;
        ASSERT_NE(run.Context(), nullptr);
        EXPECT_EQ(run.Entry(0x100), nullptr) << offset;
    }
}

TEST(StreamWorker, OffsetInsideTheLastPacketReadsNothingWithoutANotice) {
    CapturedRun capture;
    Files files;
    const tsb::StreamBuilder builder = Packets(20);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input + ";3759", files.output);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), tsb::Bytes());
    EXPECT_EQ(capture.Messages(), "");
}

TEST(StreamWorker, LowerCaseConIsAFileName) {
    CapturedRun capture;
    const std::filesystem::path previous = std::filesystem::current_path();
    const std::filesystem::path dir = tsb::TempPath("condir");
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    const tsb::StreamBuilder builder = Packets(3);
    ASSERT_TRUE(tsb::WriteFileBytes("con", builder.Data()));
    WorkerRun run(capture.reporter, "con", "out.ts");
    EXPECT_EQ(tsb::ReadFileBytes("out.ts"), builder.Data());
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(dir);
}

TEST(StreamWorker, MissingSourceServesNothingAndCreatesNoOutput) {
    CapturedRun capture;
    Files files;
    WorkerRun run(capture.reporter, files.input, files.output);
    EXPECT_EQ(run.result, 1u);
    EXPECT_FALSE(platform::PathExists(files.output.c_str()));
    EXPECT_EQ(capture.Messages(), "");
}

TEST(StreamWorker, ConsoleSinkSilencesTheConsoleEvenWhenTheSourceFails) {
    CapturedRun capture;
    Files files;
    capture.reporter.SetConsoleOn(true);
    WorkerRun run(capture.reporter, files.input, "CON");
    EXPECT_EQ(run.result, 1u);
    // The job's closing text must not land in standard output either.
    EXPECT_FALSE(capture.reporter.ConsoleOn());
}

TEST(StreamWorker, EmptyOutputPathWritesNothingButCounts) {
    CapturedRun capture;
    Files files;
    tsb::StreamBuilder builder = Packets(5);
    builder.SetCounter(0x100, 9);
    builder.Packet(0x100);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input, "");
    ASSERT_NE(run.Entry(0x100), nullptr);
    EXPECT_EQ(run.Entry(0x100)->packetCount, 6);
    EXPECT_EQ(run.Entry(0x100)->dropCount, 1);
    EXPECT_FALSE(platform::PathExists(files.output.c_str()));
}

TEST(StreamWorker, TransportErrorPacketIsLeftOutAndCountsRestart) {
    CapturedRun capture;
    Files files;
    tsb::StreamBuilder builder = Packets(4);
    tsb::PacketOptions error;
    error.tei = true;
    builder.Packet(0x100, {}, error);
    builder.SetCounter(0x100, 12);  // out of sequence, but first after the error
    builder.Packet(0x100, tsb::Bytes(184, 0x55));
    builder.Packet(0x100, tsb::Bytes(184, 0x66));
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input, files.output);
    const tsb::Bytes& all = builder.Data();
    const tsb::Bytes expected =
        tsb::Concat({tsb::Bytes(all.begin(), all.begin() + 4 * 188), tsb::Bytes(all.begin() + 5 * 188, all.end())});
    EXPECT_EQ(tsb::ReadFileBytes(files.output), expected);
    ASSERT_NE(run.Entry(0x100), nullptr);
    EXPECT_EQ(run.Entry(0x100)->packetCount, 2);
    EXPECT_EQ(run.Entry(0x100)->dropCount, 0);
}

TEST(StreamWorker, DropLineWithPositionAndCountedEvents) {
    CapturedRun capture;
    RunSettings.drop = true;
    Files files;
    tsb::StreamBuilder builder = Packets(3);
    builder.SetCounter(0x100, 9);
    builder.Packet(0x100);
    builder.Packet(0x100);
    builder.SetCounter(0x100, 0);
    builder.Packet(0x100);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input, files.output);
    // No PCR in the stream: the reference clock reads zero.
    EXPECT_EQ(capture.Messages(),
              "DROP : PID 0x0100 , 1 Drop , PCR 0:00:00.000 , +0x234 \r\n"
              "DROP : PID 0x0100 , 2 Drop , PCR 0:00:00.000 , +0x3AC \r\n");
    EXPECT_EQ(run.job.dropEvents.load(), 2u);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), builder.Data());
}

TEST(StreamWorker, DropsWithoutTheOptionPrintNothing) {
    CapturedRun capture;
    Files files;
    tsb::StreamBuilder builder = Packets(3);
    builder.SetCounter(0x100, 9);
    builder.Packet(0x100);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input, files.output);
    EXPECT_EQ(capture.Messages(), "");
    EXPECT_EQ(run.job.dropEvents.load(), 0u);
    EXPECT_EQ(run.Entry(0x100)->dropCount, 1);
}

TEST(StreamWorker, FailingOutputIsReportedOnce) {
    if (!platform::PathExists("/dev/full")) {
        GTEST_SKIP() << "no always-full device";
    }
    CapturedRun capture;
    Files files;
    const tsb::StreamBuilder builder = Packets(600);
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, builder.Data()));
    WorkerRun run(capture.reporter, files.input, "/dev/full");
    EXPECT_TRUE(run.job.slot.sinkFailed);
    EXPECT_EQ(capture.Messages(), worker_test::Text("－ 出力ファイルに書き込めません /dev/full\n"));
    EXPECT_EQ(run.Entry(0x100)->packetCount, 600);
}

TEST(StreamWorker, OutputThatCannotBeCreatedIsReportedAndTheStreamStillCounted) {
    CapturedRun capture;
    Files files;
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, Packets(30).Data()));
    const std::string directory = tsb::TempPath("sink_dir");
    std::filesystem::create_directories(directory);
    const std::string missing = tsb::TempPath("no_such_dir") + "/x.ts";
    std::string expected;
    for (const std::string& output : {directory, missing}) {
        WorkerRun run(capture.reporter, files.input, output);
        EXPECT_TRUE(run.job.slot.sinkFailed);
        ASSERT_NE(run.Entry(0x100), nullptr);
        EXPECT_EQ(run.Entry(0x100)->packetCount, 30);
        expected += worker_test::Text("－ 出力ファイルを作成できません ") + output + "\n";
    }
    EXPECT_EQ(capture.Messages(), expected);
    EXPECT_FALSE(std::filesystem::exists(missing));
    std::filesystem::remove_all(directory);

    // A sink that works is no failure.
    WorkerRun good(capture.reporter, files.input, files.output);
    EXPECT_FALSE(good.job.slot.sinkFailed);
}

TEST(StreamWorker, SenderThatDoesNotStartIsAFailedSink) {
    CapturedRun capture;
    Files files;
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, Packets(3).Data()));
    WorkerRun run(capture.reporter, files.input, "\\\\.\\sendtstcp\\127.0.0.1:1234\\" + tsb::TempPath("no_sender.so"));
    EXPECT_TRUE(run.job.slot.sinkFailed);
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
TEST(StreamWorker, UnallocatableReadBufferIsReported) {
    if (sizeof(void*) < 8) {
        GTEST_SKIP();
    }
    CapturedRun capture;
    RunSettings.bufsize = 4000000000u;
    Files files;
    ASSERT_TRUE(tsb::WriteFileBytes(files.input, Packets(3).Data()));
    // With the address space capped below the block's size the allocation
    // fails whatever the machine could grant; the worker runs in a child so
    // that the cap stays there.
    const pid_t child = ::fork();
    if (child == 0) {
        constexpr rlim_t kCap = rlim_t{3} << 30;
        const rlimit limit{kCap, kCap};
        ::setrlimit(RLIMIT_AS, &limit);
        WorkerRun run(capture.reporter, files.input, files.output);
        ::_exit(run.result == 1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tsb::ReadFileBytes(files.output), tsb::Bytes());
    EXPECT_EQ(capture.Messages(), worker_test::Text("－ 読み込みバッファ 4000000000 バイトを確保できません\n"));
}
#endif

#ifndef _WIN32
TEST(StreamWorker, PipeSourceWithShortWritesLosesNothing) {
    CapturedRun capture;
    CopyText(TempDir, sizeof TempDir, platform::TemporaryDirectory().c_str());
    const std::string name = "trelvan_pipe_" + std::to_string(platform::ProcessId());
    const std::string fifo = std::string(TempDir) + name;
    std::remove(fifo.c_str());
    ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
    Files files;
    const tsb::StreamBuilder builder = Packets(400);
    std::thread writer([&] {
        platform::SleepMs(700);  // the worker retries the open meanwhile
        std::ofstream out(fifo, std::ios::binary);
        const tsb::Bytes& data = builder.Data();
        std::size_t sent = 0;
        std::size_t step = 1;
        while (sent < data.size()) {
            // Pieces of 1 to 300 bytes: most end inside a packet or its look-ahead.
            const std::size_t n = std::min(step, data.size() - sent);
            out.write(reinterpret_cast<const char*>(data.data() + sent), static_cast<std::streamsize>(n));
            out.flush();
            sent += n;
            step = step * 7 % 300 + 1;
            if (sent % 7 == 0) {
                platform::SleepMs(1);
            }
        }
    });
    WorkerRun run(capture.reporter, "\\\\.\\pipe\\" + name, files.output);
    writer.join();
    std::remove(fifo.c_str());
    EXPECT_EQ(tsb::ReadFileBytes(files.output), builder.Data());
    TempDir[0] = '\0';
}
#endif

// ---- The short path -----------------------------------------------------------
// Packets of a PID without a role go a shorter way through the worker when
// no option looks at every packet; a plug-in (one that never loaded does
// nothing else) sends every packet the whole way. Both ways must leave the
// same bytes, lines, counts and clocks, and the same report tally.

// A program whose video PES goes on after each audio PES, so that the
// clocks take the video stamps back on packets without a PES header; with a
// drop on such a packet, an error-flagged packet, an adaptation field, a PID
// that comes late and a new PMT version that makes that PID the PCR PID.
tsb::StreamBuilder ShortPathStream() {
    tsb::StreamBuilder builder;
    builder.Section(0x0000, tsb::PatSection(1, {{1, 0x1F0}}));
    builder.Section(0x1F0, tsb::PmtSection(1, 0x1FF, {{0x02, 0x100, {}}, {0x0F, 0x110, {}}}));
    for (int unit = 0; unit < 12; ++unit) {
        builder.Pcr(0x1FF, 2700000ull * unit);
        // PES packets that fill their packets: no adaptation field stuffs them.
        builder.Pes(0x100, tsb::MakePes(0xE0, 90000ull + 3003 * unit, 87000ull + 3003 * unit, tsb::Bytes(349, 0x11)));
        builder.Pes(0x110, tsb::MakePes(0xC0, 90500ull + 3003 * unit, std::nullopt, tsb::Bytes(170, 0x22)));
        for (int more = 0; more < 4; ++more) {
            if (unit == 4 && more == 2) {
                builder.SetCounter(0x100, static_cast<uint8_t>(builder.NextCounter(0x100) + 3));
            }
            builder.Packet(0x100, tsb::Bytes(184, static_cast<uint8_t>(more)));
        }
        if (unit == 5) {
            tsb::PacketOptions flagged;
            flagged.tei = true;
            builder.Packet(0x110, tsb::Bytes(184, 0x33), flagged);
            tsb::PacketOptions adapted;
            adapted.adaptation = true;
            builder.Packet(0x100, tsb::Bytes(100, 0x44), adapted);
        }
        if (unit >= 6) {
            builder.Packet(0x120, tsb::Bytes(184, static_cast<uint8_t>(unit)));
        }
        if (unit == 8) {
            builder.Section(0x1F0, tsb::PmtSection(1, 0x120, {{0x02, 0x100, {}}, {0x0F, 0x110, {}}}));
        }
    }
    return builder;
}

struct PathResult {
    std::string console;
    tsb::Bytes output;
    std::vector<std::string> counts;  // per PID: packets, drops, last counter
    std::string clocks;
};

PathResult RunOneWay(const tsb::Bytes& stream, bool progress, bool wholeWay) {
    RecordingReporter recording;
    recording.reporter.SetProgressOn(progress);
    Files files;
    EXPECT_TRUE(tsb::WriteFileBytes(files.input, stream));
    PluginEntry inert;
    WorkerRun run(recording.reporter, files.input, files.output, wholeWay ? &inert : nullptr, true);
    recording.reporter.FlushStdout();
    PathResult result{recording.output.StandardOutput(), tsb::ReadFileBytes(files.output), {}, {}};
    for (const auto& entry : run.Context()->pids.Entries()) {
        result.counts.push_back(std::to_string(entry->pid) + ":" + std::to_string(entry->packetCount) + "/" +
                                std::to_string(entry->dropCount) + "/" + std::to_string(entry->lastCounter));
    }
    const StreamTally& tally = *run.job.slot.tally;
    for (const uint16_t pid : tally.order) {
        result.counts.push_back(std::to_string(pid) + ":" + std::to_string(tally.byPid[pid].packets) + "/" +
                                std::to_string(tally.byPid[pid].transportErrors));
    }
    result.counts.push_back("written " + std::to_string(tally.packetsWritten));
    const StreamContext& context = *run.Context();
    result.clocks = std::to_string(context.pts.lastStamp) + " " + std::to_string(context.pts.currentElapsed) + " " +
                    std::to_string(context.dts.lastStamp) + " " + std::to_string(context.pcr.currentElapsed) + " " +
                    std::to_string(context.clockSteps);
    return result;
}

TEST(StreamWorker, ShortPathLeavesWhatTheWholePathLeaves) {
    const tsb::StreamBuilder builder = ShortPathStream();
    struct Case {
        const char* name;
        tsb::Bytes stream;
        bool progress;
        uint32_t undrop;
        const char* seen;  // a line the drop must bring
    };
    const Case cases[] = {
        {"packets, progress lines", builder.Data(), true, 0, "DROP : PID 0x0100 , 1 Drop"},
        {"packets, rewritten drop", builder.Data(), false, 0x100, "REWRITECNTUNDROP PID 0x0100"},
        {"192-byte units, progress lines", builder.As192(), true, 0, "DROP : PID 0x0100 , 1 Drop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunSettings = RunSettingsRecord{};
        RunSettings.drop = true;
        RunSettings.rwcntundrop = c.undrop;
        const PathResult shortWay = RunOneWay(c.stream, c.progress, false);
        const PathResult wholeWay = RunOneWay(c.stream, c.progress, true);
        EXPECT_NE(shortWay.console.find(c.seen), std::string::npos);
        EXPECT_EQ(shortWay.console, wholeWay.console);
        EXPECT_EQ(shortWay.output, wholeWay.output);
        EXPECT_EQ(shortWay.counts, wholeWay.counts);
        EXPECT_EQ(shortWay.clocks, wholeWay.clocks);
    }
    RunSettings = RunSettingsRecord{};
}

// ---- Report lines ------------------------------------------------------------

// The whole line as the worker writes it: the head, then the position and "\r".
std::string Progress(const char* percent, const char* pcr, const char* tot, const char* position) {
    char head[kProgressLineSize];
    const std::size_t n = BuildProgressHead(head, percent, pcr, tot, position[0] != '\0');
    return std::string(head, n) + position + "\r";
}

TEST(ProgressLine, SeparatorsStandOnlyBetweenNonEmptyParts) {
    const std::string dash = worker_test::Text("－ ");
    EXPECT_EQ(Progress("5 %", "PCR 0:00:01.000", "TOT 2024/01/02 03:04:05", "+0xBC"),
              dash + "5 % , PCR 0:00:01.000 , TOT 2024/01/02 03:04:05 , +0xBC\r");
    EXPECT_EQ(Progress("", "PCR 0:00:01.000", "", ""), dash + "PCR 0:00:01.000\r");
    EXPECT_EQ(Progress("", "PCR 0:00:01.000", "TOT 2024/01/02 03:04:05", ""),
              dash + "PCR 0:00:01.000 , TOT 2024/01/02 03:04:05\r");
    EXPECT_EQ(Progress("5 %", "", "", "+0xBC"), dash + "5 % , +0xBC\r");
    EXPECT_EQ(Progress("5 %", "", "TOT 2024/01/02 03:04:05", ""), dash + "5 % , TOT 2024/01/02 03:04:05\r");
    EXPECT_EQ(Progress("5 %", "", "", ""), dash + "5 %\r");
    EXPECT_EQ(Progress("", "", "", ""), dash + "\r");
    EXPECT_EQ(Progress("", "", "TOT 2024/01/02 03:04:05", "+0x0"), dash + "TOT 2024/01/02 03:04:05 , +0x0\r");
}

TEST(ProgressLine, PercentAndPositionTexts) {
    char text[32];
    FormatPercent(text, 0, 1000);
    EXPECT_STREQ(text, "0 %");
    FormatPercent(text, 999, 1000);
    EXPECT_STREQ(text, "99 %");
    FormatPercent(text, 5000, 1000);  // never above 100
    EXPECT_STREQ(text, "100 %");
    FormatPercent(text, 7'000'000'000'000LL, 10'000'000'000'000LL);
    EXPECT_STREQ(text, "70 %");
    FormatPercent(text, 10, 0);
    EXPECT_STREQ(text, "");
    FormatPosition(text, 0);
    EXPECT_STREQ(text, "+0x0");
    FormatPosition(text, 0x1ABCDEF0123LL);
    EXPECT_STREQ(text, "+0x1ABCDEF0123");
}

// The percent the way a printf of "%d %%" showed it: 100 * position / size
// rounded down, 0 before the start, at most 100.
std::string PrintfPercent(int64_t position, int64_t size) {
    const __int128 exact = position <= 0 ? 0 : static_cast<__int128>(position) * 100 / size;
    char text[32];
    std::snprintf(text, sizeof text, "%d %%", static_cast<int>(exact > 100 ? 100 : exact));
    return text;
}

// Positions around every step of the percent for a size, in rising order.
std::vector<int64_t> PositionsAroundEachPercent(int64_t size) {
    std::vector<int64_t> positions{-1, 0, 1};
    for (int64_t percent = 1; percent <= 101; ++percent) {
        const int64_t step = static_cast<int64_t>((static_cast<__int128>(percent) * size + 99) / 100);
        for (const int64_t at : {step - 1, step, step + 1}) {
            if (at > positions.back()) {
                positions.push_back(at);
            }
        }
    }
    positions.push_back(2 * size + 1);
    return positions;
}

const int64_t kEdgeSizes[] = {1, 2, 99, 100, 101, 188, 199, 1000, 188 * 7919, 1'000'000'000'007LL, INT64_MAX / 101};

TEST(ProgressLine, PercentTextsMatchThePrintfFormAroundEveryStep) {
    char text[32];
    for (const int64_t size : kEdgeSizes) {
        for (const int64_t position : PositionsAroundEachPercent(size)) {
            FormatPercent(text, position, size);
            ASSERT_EQ(text, PrintfPercent(position, size)) << position << " of " << size;
        }
    }
}

TEST(ProgressLine, CachedPercentChangesExactlyWhenThePrintfFormDoes) {
    PercentCache cache;
    for (const int64_t size : kEdgeSizes) {
        std::vector<int64_t> positions = PositionsAroundEachPercent(size);
        for (const int64_t position : positions) {
            ASSERT_EQ(CachedPercent(cache, position, size), PrintfPercent(position, size))
                << "rising, " << position << " of " << size;
        }
        std::reverse(positions.begin(), positions.end());
        for (const int64_t position : positions) {
            ASSERT_EQ(CachedPercent(cache, position, size), PrintfPercent(position, size))
                << "falling, " << position << " of " << size;
        }
    }
    // Another size with the same position: the text follows the size.
    EXPECT_STREQ(CachedPercent(cache, 50, 100), "50 %");
    EXPECT_STREQ(CachedPercent(cache, 50, 1000), "5 %");
    EXPECT_STREQ(CachedPercent(cache, 50, 0), "");
    EXPECT_STREQ(CachedPercent(cache, 50, 100), "50 %");
}

TEST(ProgressLine, PositionTailFollowsEveryPositionOverDigitBoundariesAndJumps) {
    std::vector<int64_t> positions;
    for (int64_t p = 0; p < 0x3000; p += 188)
        positions.push_back(p);
    for (int64_t p = 0xFFFF - 1000; p < 0x20000 + 1000; p += 188)
        positions.push_back(p);
    for (int64_t p = 0xFFFFF - 1000; p < 0x100000 + 1000; p += 192)
        positions.push_back(p);
    // Back, far ahead, a start offset inside a 64 KiB step, the last and
    // first positions of a step, and the same position twice.
    for (const int64_t p :
         {0x10LL, 0x1000LL, 0x1FFFLL, 0x1ABCDEF0123LL, 0x1ABCDEF0123LL, 0x1ABCDEF1000LL, 0x1ABCDEFFFFFLL,
          0x1ABCDF00000LL, 0xFFFLL, 0xFFFFLL, 0x10000LL, 0x7FFFFFFFFFFFFFFFLL, 0x1001LL, 0x2FFFFLL}) {
        positions.push_back(p);
    }
    PositionTail tail;
    ProgressLine line;
    for (const int64_t position : positions) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "+0x%llX\r", static_cast<unsigned long long>(position));
        UpdatePositionTail(tail, line, position);
        ASSERT_EQ(std::string(line.Tail(), line.TailLength()), expected) << position;
    }
}

// Lines of a worker kept as one line: the position written in place behind
// heads that change now and then (one that cannot go into a batch as it is
// among them), over the edges of 64 KiB position steps and of the batches,
// give the bytes of each line written whole, in either encoding.
TEST(ProgressLine, PositionBehindChangingHeadsGivesTheWholeLines) {
    const std::string heads[] = {
        worker_test::Text("－ 1 % , PCR 0:00:01.000 , "),
        worker_test::Text("－ 1 % , PCR 0:00:01.040 , TOT 2024/01/02 03:04:05 , "),
        worker_test::Text("－ \x81"),  // ends in a lead byte
        worker_test::Text("－ "),
    };
    for (const bool utf8 : {false, true}) {
        RecordingReporter kept(utf8);
        RecordingReporter whole(utf8);
        ProgressLine line;
        PositionTail tail;
        for (int i = 0; i < 3000; ++i) {
            const std::string& head = heads[i / 97 % 4];
            if (i % 97 == 0) {
                kept.reporter.SetProgressHead(line, head.data(), head.size());
            }
            const int64_t position = i == 2999 ? 0x10000 : 0xF000 + 188LL * i;
            UpdatePositionTail(tail, line, position);
            kept.reporter.WriteProgressLine(line);
            char text[32];
            std::snprintf(text, sizeof text, "+0x%llX\r", static_cast<unsigned long long>(position));
            whole.reporter.WriteProgressLine((head + text).c_str());
        }
        kept.reporter.FlushStdout();
        whole.reporter.FlushStdout();
        ASSERT_EQ(kept.output.StandardOutput(), whole.output.StandardOutput()) << (utf8 ? "UTF-8" : "CP932");
    }
}

TEST(ProgressLine, PositionTextMatchesThePrintfForm) {
    char text[32];
    char expected[32];
    for (const int64_t position : {0LL, 1LL, 9LL, 10LL, 15LL, 16LL, 188LL, 0xFFFLL, 0x1000LL, 0x12345LL, 0xABCDEFLL,
                                   0xFFFFFFFFLL, 0x100000000LL, 0x7FFFFFFFFFFFFFFFLL}) {
        FormatPosition(text, position);
        std::snprintf(expected, sizeof expected, "+0x%llX", static_cast<unsigned long long>(position));
        EXPECT_STREQ(text, expected);
    }
}

}  // namespace
