// The built program in a hostile setting: a console or log nobody reads,
// standard descriptors closed at start, a stream reader cut off by a forced
// end, and log names that lead into a recording.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/app/program_under_test.h"
#include "tests/app/script_runner.h"
#include "tests/support/stream_builder.h"

namespace fs = std::filesystem;

namespace {

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = ProgramUnderTest();
        if (exe_.empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
        dir_ = FreshScratchFolder("trelvan_hostile_");
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // `count` packets on PID 0x100; every second one skips a counter value
    // when `drops` is set, which makes a console and log line per pair.
    static tsb::Bytes Stream(int count, bool drops, int first = 0) {
        tsb::StreamBuilder stream;
        for (int i = first; i < first + count; ++i) {
            tsb::PacketOptions options;
            options.cc = (drops ? i + i / 2 : i) & 0x0F;
            stream.Packet(0x100, tsb::Bytes(184, static_cast<uint8_t>(i)), options);
        }
        return stream.Data();
    }
    void Write(const char* name, const tsb::Bytes& bytes) const {
        ASSERT_TRUE(tsb::WriteFileBytes((dir_ / name).string(), bytes));
    }
    std::string Read(const char* name) const { return ReadWholeFile(dir_ / name); }
    ScriptResult Run(const std::string& body) const { return RunScript(dir_, exe_, body); }

    std::string exe_;
    fs::path dir_;
};

std::string AsText(const tsb::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

const char kSameAsStreamNotice[] = "－ ログファイルが入力・出力ファイルと同じです ";

}  // namespace

// The orderly stop cannot finish while a write nobody takes blocks it; the
// second request must end the process all the same, whatever write hangs.
TEST_F(Hostile, SecondStopRequestEndsAProcessStuckInAStalledWrite) {
    Write("drops.ts", Stream(6000, true));
    struct Case {
        const char* what;
        const char* command;
        const char* signal;
    };
    const Case cases[] = {
        {"standard output", "drops.ts -drop -noprogress -throughpath out.ts > stall", "INT"},
        {"standard output, SIGTERM", "drops.ts -drop -noprogress -throughpath out.ts > stall", "TERM"},
        {"standard output with progress", "drops.ts -drop -throughpath out.ts > stall", "INT"},
        {"log", "drops.ts -drop -noprogress -throughpath out.ts -log -logpath stall > stdout.bin", "INT"},
        {"log, SIGHUP", "drops.ts -drop -throughpath out.ts -log -logpath stall > stdout.bin", "HUP"},
    };
    for (const Case& c : cases) {
        const std::string signal = c.signal;
        const ScriptResult result =
            Run("rm -f stall result; mkfifo stall\n"
                "exec 3<> stall\n"  // a reader that never reads
                "\"$EXE\" " +
                std::string(c.command) +
                " &\n"
                "exe=$!\n"
                "sleep 1\n"
                "t0=$(now)\n"
                "kill -" +
                signal + " $exe; sleep 0.3; kill -" + signal +
                " $exe\n"
                "await $exe\n"
                "echo $rc $(( $(now) - t0 )) > result\n");
        EXPECT_EQ(result.exitCode, 255) << c.what;
        EXPECT_GE(result.elapsedMs, 0) << c.what;
        EXPECT_LT(result.elapsedMs, 8000) << c.what;
    }
}

TEST_F(Hostile, ClosedStandardDescriptorsAreNotTakenForSignalsOrStreams) {
    const tsb::Bytes input = Stream(40000, false);
    Write("in.ts", input);
    ScriptResult result =
        Run("timeout -s KILL 20 \"$EXE\" in.ts -throughpath out.ts <&- >&- 2>&-\n"
            "echo $? 0 > result\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(Read("out.ts") == AsText(input)) << Read("out.ts").size() << " bytes written";

    struct Case {
        const char* command;
        const char* notice;
    };
    const Case cases[] = {
        {"CON -throughpath out2.ts <&- > stdout.bin", "－ 標準入力が閉じられています\n"},
        {"CON -throughpath out2.ts <&- >&- 2> stdout.bin", "－ 標準入力が閉じられています\n"},
        {"in.ts -throughpath CON >&- 2> stdout.bin", "－ 標準出力が閉じられています\n"},
    };
    for (const Case& c : cases) {
        result =
            Run("t0=$(now)\n"
                "timeout -s KILL 20 \"$EXE\" " +
                std::string(c.command) +
                "\n"
                "echo $? $(( $(now) - t0 )) > result\n");
        EXPECT_EQ(result.exitCode, 255) << c.command;
        EXPECT_LT(result.elapsedMs, 3000) << c.command;
        EXPECT_EQ(result.out, c.notice) << c.command;
        EXPECT_FALSE(fs::exists(dir_ / "out2.ts")) << c.command;
    }
}

// A reader that is slower than the stream sees the process end by force
// while a block is on its way: what reached the reader ends with a whole
// packet.
TEST_F(Hostile, ForcedEndLeavesAPipeReaderWholePackets) {
    const tsb::Bytes input = Stream(40000, false);
    Write("in.ts", input);
    // The program is started by a shell that tells its process number and
    // then becomes the program.
    const char* const outputs[] = {
        "{ sh -c 'echo $$ > exe.pid; exec \"$0\" in.ts -noprogress -throughpath CON' \"$EXE\"; echo $? 0 > result; }"
        " | { sleep 5; exec cat > got.ts; } &\n",
        "mkfifo out.fifo\n"
        "{ sleep 5; exec cat > got.ts; } < out.fifo &\n"
        "{ sh -c 'echo $$ > exe.pid; exec \"$0\" in.ts -noprogress -throughpath out.fifo' \"$EXE\"; echo $? 0 > "
        "result; }"
        " &\n",
    };
    for (const char* output : outputs) {
        fs::remove(dir_ / "got.ts");
        fs::remove(dir_ / "out.fifo");
        const ScriptResult result = Run(std::string(output) +
                                        "sleep 1\n"
                                        "kill -TERM $(cat exe.pid); sleep 0.3; kill -TERM $(cat exe.pid)\n"
                                        "wait\n");
        const std::string got = Read("got.ts");
        EXPECT_EQ(result.exitCode, 255) << output << got.size() << " bytes read";
        EXPECT_GT(got.size(), 0u) << output;
        EXPECT_EQ(got.size() % 188, 0u) << output;
        EXPECT_TRUE(AsText(input).compare(0, got.size(), got) == 0) << output;
    }
}

TEST_F(Hostile, LogLeadingToAnOutputNotYetWrittenIsRefused) {
    Write("in.ts", Stream(300, false));
    struct Case {
        const char* setup;
        const char* options;
        const char* log;
        const char* output;
    };
    const Case cases[] = {
        {"ln -s out.ts lnk.log", "-throughpath out.ts", "lnk.log", "out.ts"},
        {"ln -s out.ts a.log; ln -s a.log lnk.log", "-throughpath out.ts", "lnk.log", "out.ts"},
        {"mkdir sub; ln -s ../out.ts sub/lnk.log", "-throughpath out.ts", "sub/lnk.log", "out.ts"},
        {"mkdir real; ln -s real alias; ln -s ../real/out.ts alias/lnk.log", "-throughpath real/out.ts",
         "alias/lnk.log", "real/out.ts"},
        {"ln -s in.trelvan.ts lnk.log", "", "lnk.log", "in.trelvan.ts"},
    };
    for (const Case& c : cases) {
        const std::string log = c.log;
        const ScriptResult result = Run("rm -rf lnk.log a.log sub real alias\n" + std::string(c.setup) +
                                        "\n"
                                        "timeout -s KILL 20 \"$EXE\" in.ts -noprogress -drop " +
                                        c.options + " -log -logpath " + log +
                                        " > stdout.bin\n"
                                        "echo $? 0 > result\n");
        EXPECT_EQ(result.exitCode, 255) << c.setup;
        EXPECT_EQ(result.out, kSameAsStreamNotice + log + "\n") << c.setup;
        EXPECT_FALSE(fs::exists(dir_ / c.output)) << c.setup;
    }
}

TEST_F(Hostile, LogOnTheStandardOutputThatCarriesTheStreamIsRefused) {
    Write("in.ts", Stream(300, false));
    for (const char* log : {"/dev/stdout", "/proc/self/fd/1", "/dev/fd/1", "stdout.bin"}) {
        const ScriptResult result = Run(
            "timeout -s KILL 20 \"$EXE\" in.ts -noprogress -drop -throughpath CON -log -logpath " + std::string(log) +
            " > stdout.bin 2> stderr.txt\n"
            "echo $? 0 > result\n");
        EXPECT_EQ(result.exitCode, 255) << log;
        EXPECT_EQ(result.out.size(), 0u) << log;
        EXPECT_EQ(Read("stderr.txt"), kSameAsStreamNotice + std::string(log) + "\n") << log;
    }
}

TEST_F(Hostile, OutputNamingTheStandardOutputCarriesTheStreamAlone) {
    const tsb::Bytes input = Stream(300, false);
    Write("in.ts", input);
    for (const char* command :
         {"-throughpath /dev/stdout > stdout.bin", "-throughpath /proc/self/fd/1 > stdout.bin",
          "-throughpath stdout.bin > stdout.bin", "-throughpath /dev/stdout | cat > stdout.bin"}) {
        const ScriptResult result = Run("timeout -s KILL 20 \"$EXE\" in.ts -drop " + std::string(command) +
                                        "\n"
                                        "echo 0 0 > result\n");
        EXPECT_TRUE(result.out == AsText(input)) << command << ": " << result.out.size() << " bytes";
    }
}

// The log is opened again for every batch: a name turned into a link to a
// recording, or a hard link put in its place, must not receive the text.
TEST_F(Hostile, LogReplacedDuringTheJobStopsWithANotice) {
    const tsb::Bytes recording = Stream(300, false);
    Write("in.ts", recording);
    Write("part1.ts", Stream(10, true));
    Write("part2.ts", Stream(10, true, 10));
    Write("quiet1.ts", Stream(10, false));
    struct Case {
        const char* first;
        const char* replace;
    };
    const Case cases[] = {
        {"part1.ts", "rm run.log; ln -s in.ts run.log"},
        {"part1.ts", "ln -f in.ts run.log"},
        {"quiet1.ts", "ln -s in.ts run.log"},
        {"quiet1.ts", "ln in.ts run.log"},
    };
    for (const Case& c : cases) {
        const ScriptResult result =
            Run("rm -f feed run.log; mkfifo feed\n"
                "timeout -s KILL 20 \"$EXE\" CON -noprogress -drop -throughpath out.ts -log -logpath run.log "
                "< feed > stdout.bin &\n"
                "exe=$!\n"
                "exec 4> feed\n"
                "cat " +
                std::string(c.first) +
                " >&4\n"
                "sleep 1\n" +
                c.replace +
                "\n"
                "cat part2.ts >&4\n"
                "exec 4>&-\n"
                "wait $exe\n"
                "echo $? 0 > result\n");
        EXPECT_EQ(result.exitCode, 255) << c.replace;
        EXPECT_TRUE(Read("in.ts") == AsText(recording)) << c.replace << ": " << Read("in.ts").size() << " bytes";
        EXPECT_NE(result.out.find("－ ログファイルが変わったためログ出力を停止しました run.log\n"), std::string::npos)
            << c.replace << ": " << result.out;
    }
}
#endif
