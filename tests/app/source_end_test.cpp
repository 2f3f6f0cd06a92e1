// The built program at the edges of its sources: a console fed by a pipe, a
// stop request while a source is silent, a FIFO path, a pipe writer that
// keeps quiet, trailing bytes and a start offset past the end.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "tests/app/program_under_test.h"
#include "tests/app/script_runner.h"
#include "tests/support/stream_builder.h"

namespace fs = std::filesystem;

namespace {

class SourceEnd : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = ProgramUnderTest();
        if (exe_.empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
        dir_ = FreshScratchFolder("trelvan_src_");
        for (int i = 0; i < 300; ++i) {
            stream_.Packet(0x100, tsb::Bytes(184, static_cast<uint8_t>(i)));
        }
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // Runs a shell script in the test directory (see RunScript); "$EXE"
    // is killed after 15 s should it hang.
    ScriptResult RunScript(const std::string& body) const { return ::RunScript(dir_, exe_, body); }

    void WriteInput(const char* name, const tsb::Bytes& trailing = {}) const {
        tsb::Bytes content = stream_.Data();
        content.insert(content.end(), trailing.begin(), trailing.end());
        ASSERT_TRUE(tsb::WriteFileBytes((dir_ / name).string(), content));
    }
    tsb::Bytes Output() const { return tsb::ReadFileBytes((dir_ / "out.ts").string()); }

    std::string exe_;
    fs::path dir_;
    tsb::StreamBuilder stream_;
};

// The per-PID summary line of the 300 packets on PID 0x100.
const char kSummary[] = "0x0100 : 0x0B : 0 Drop : 300 Total";

}  // namespace

TEST_F(SourceEnd, ConsoleFedByAPipeEndsWhenTheWriterCloses) {
    WriteInput("in.ts", {'\n'});
    const ScriptResult result = RunScript(
        "t0=$(now)\n"
        "cat in.ts | timeout -s KILL 15 \"$EXE\" CON -noprogress -drop -throughpath out.ts > stdout.bin\n"
        "echo $? $(( $(now) - t0 )) > result\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LT(result.elapsedMs, 5000);
    EXPECT_EQ(Output(), stream_.Data());
    EXPECT_NE(result.out.find(kSummary), std::string::npos) << result.out;
}

TEST_F(SourceEnd, StopWhileTheConsoleIsSilentKeepsEveryPacketAndSummarises) {
    // The trailing newline holds the last packet back until the stop.
    WriteInput("in.ts", {'\n'});
    const ScriptResult result = RunScript(
        "mkfifo feed\n"
        "timeout -s KILL 15 \"$EXE\" CON -noprogress -drop -throughpath out.ts < feed > stdout.bin &\n"
        "exe=$!\n"
        "(cat in.ts; exec sleep 15) > feed &\n"
        "writer=$!\n"
        "sleep 1\n"
        "t0=$(now)\n"
        "kill -INT $exe\n"
        "wait $exe\n"
        "echo $? $(( $(now) - t0 )) > result\n"
        "kill $writer\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LT(result.elapsedMs, 2000);
    EXPECT_EQ(Output(), stream_.Data());
    EXPECT_NE(result.out.find(kSummary), std::string::npos) << result.out;
}

TEST_F(SourceEnd, FifoAsPlainInputWithoutAWriterEndsPromptlyOnStop) {
    const ScriptResult result = RunScript(
        "mkfifo lonely.ts\n"
        "timeout -s KILL 15 \"$EXE\" lonely.ts -noprogress -throughpath out.ts > stdout.bin &\n"
        "exe=$!\n"
        "sleep 0.5\n"
        "t0=$(now)\n"
        "kill -INT $exe 2>/dev/null\n"
        "wait $exe\n"
        "echo $? $(( $(now) - t0 )) > result\n");
    EXPECT_NE(result.exitCode, 137);  // not killed by the guard
    EXPECT_GE(result.elapsedMs, 0);
    EXPECT_LT(result.elapsedMs, 2000);
}

TEST_F(SourceEnd, FifoAsOutputWithoutAReaderEndsPromptlyOnStop) {
    WriteInput("in.ts");
    const ScriptResult result = RunScript(
        "mkfifo out.fifo\n"
        "timeout -s KILL 15 \"$EXE\" in.ts -noprogress -throughpath out.fifo > stdout.bin &\n"
        "exe=$!\n"
        "sleep 0.5\n"
        "t0=$(now)\n"
        "kill -INT $exe 2>/dev/null\n"
        "wait $exe\n"
        "echo $? $(( $(now) - t0 )) > result\n");
    EXPECT_NE(result.exitCode, 137);
    EXPECT_GE(result.elapsedMs, 0);
    EXPECT_LT(result.elapsedMs, 2000);
}

TEST_F(SourceEnd, PipeWriterSilentForSixSecondsAfterConnectingLosesNothing) {
    WriteInput("in.ts");
    const ScriptResult result = RunScript(
        "mkfifo quiet\n"
        "(sleep 6; cat in.ts) > quiet &\n"
        "t0=$(now)\n"
        "timeout -s KILL 15 \"$EXE\" '\\\\.\\pipe\\quiet' -noprogress -drop -throughpath out.ts > stdout.bin\n"
        "echo $? $(( $(now) - t0 )) > result\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(Output(), stream_.Data());
    EXPECT_NE(result.out.find(kSummary), std::string::npos) << result.out;
}

TEST_F(SourceEnd, FileWithTrailingBytesKeepsItsLastPacket) {
    for (std::size_t trailing : {1u, 4u, 187u}) {
        WriteInput("in.ts", tsb::Bytes(trailing, '\n'));
        const ScriptResult result = RunScript(
            "timeout -s KILL 15 \"$EXE\" in.ts -noprogress -throughpath out.ts > stdout.bin\n"
            "echo $? 0 > result\n");
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(Output(), stream_.Data()) << trailing << " trailing bytes";
    }
}

TEST_F(SourceEnd, OffsetBeyondSixtyFourBitsGivesNoPacketAndANotice) {
    WriteInput("in.ts");
    const ScriptResult result = RunScript(
        "timeout -s KILL 15 \"$EXE\" 'in.ts;99999999999999999999' -noprogress -throughpath out.ts > stdout.bin\n"
        "echo $? 0 > result\n");
    EXPECT_NE(result.exitCode, 137);
    const std::string notice = "－ 開始位置がファイルの終わりを越えています in.ts\n";
    EXPECT_NE(result.out.find(notice), std::string::npos) << result.out;
    EXPECT_TRUE(!fs::exists(dir_ / "out.ts") || Output().empty());
}
#endif
