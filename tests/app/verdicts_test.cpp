// Exit statuses a recorder's script can trust: a job that checked nothing,
// a refused value or a mistyped option never reads as a clean recording.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/app/program_fixture.h"
#include "tests/support/stream_builder.h"

namespace {

class Verdict : public ProgramFixture {
protected:
    void SetUp() override {
        ProgramFixture::SetUp();
        if (exe_.empty()) return;
        WriteStream("rec.ts", 50);
        std::ofstream(dir_ / "junk.ts") << std::string(1000, 'x');
        std::ofstream(dir_ / "empty.ts");
    }
};

struct VerdictCase {
    const char* arguments;
    int exitCode;
    const char* console;  // the whole standard output
    bool outputWritten;   // out.ts exists afterwards
};

TEST_F(Verdict, JobsThatCheckedNothingAndRefusedValuesFailTheRun) {
    const VerdictCase cases[] = {
        {"nothere.ts -drop -noprogress -throughpath out.ts", 255, "－ ファイルがありません nothere.ts\n", false},
        {"junk.ts -drop -noprogress -throughpath out.ts", 255, "－ tsファイルではありません junk.ts\n", false},
        {"empty.ts -drop -noprogress -throughpath out.ts", 255, "－ tsファイルではありません empty.ts\n", false},
        {"'rec.ts;9400' -noprogress -throughpath out.ts", 255, "－ 開始位置がファイルの終わりを越えています rec.ts\n\n",
         false},
        {"rec.ts -noprogress -duration abc -throughpath out.ts", 255, "－ 時間の指定が正しくありません abc\n", false},
        {"rec.ts -noprogress -bufsize 64k -throughpath out.ts", 255, "－ 数値ではありません 64k\n", false},
        {"rec.ts -noprogress -patchtime x -throughpath out.ts", 255, "－ 数値ではありません x\n", false},
        {"rec.ts -noprogress -throughpath '\\\\.\\sendtstcp\\127.0.0.1:99999x\\lib.so'", 255,
         "－ SendTSTCP送信先ポートが正しくありません \\\\.\\sendtstcp\\127.0.0.1:99999x\\lib.so\n", false},
        // The run goes on after a mistyped option, as before; only the
        // silence is gone.
        {"rec.ts -dorp --drop -noprogress -throughpath out.ts", 0,
         "－ 不明なオプションです -dorp\n－ 不明なオプションです --drop\n\n", true},
    };
    for (const VerdictCase& c : cases) {
        SCOPED_TRACE(c.arguments);
        std::filesystem::remove(dir_ / "out.ts");
        const RunResult result = Run(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, c.console);
        EXPECT_EQ(std::filesystem::exists(dir_ / "out.ts"), c.outputWritten);
    }
}

TEST_F(Verdict, AFailedJobLeavesTheOthersToRun) {
    const RunResult result = Run("nothere.ts rec.ts -noprogress -detail -throughpath out.ts");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(ReadText(dir_ / "out.ts"), ReadText(dir_ / "rec.ts"));
    EXPECT_EQ(result.out, "－ ファイルがありません nothere.ts\n\n－ 終了します. ( 戻り値 : 255 )\n");
}

TEST_F(Verdict, NullPacketCountersShowButDoNotCount) {
    tsb::StreamBuilder builder;
    for (int i = 0; i < 20; ++i) {
        builder.Packet(0x0100, tsb::Bytes(184, 1));
        // Stuffing keeps counter 0, as many multiplexers leave it.
        tsb::PacketOptions counterZero;
        counterZero.cc = 0;
        builder.Packet(0x1FFF, tsb::Bytes(184, 0xFF), counterZero);
    }
    ASSERT_TRUE(tsb::WriteFileBytes((dir_ / "null.ts").string(), builder.Data()));
    const RunResult result = Run("null.ts -drop -noprogress -throughpath out.ts");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find("DROP : PID 0x1FFF , 19 Drop , "), std::string::npos);
    const std::string summary =
        "－ DROP null.ts\r\n0x0100 : 0x03 : 0 Drop : 20 Total \r\n"
        "0x1FFF : 0x00 : 19 Drops : 20 Total 対象外\r\n\r\n";
    ASSERT_GE(result.out.size(), summary.size());
    EXPECT_EQ(result.out.substr(result.out.size() - summary.size()), summary);
}

TEST_F(Verdict, PipeWhoseWriterNeverCameFailsTheJob) {
    const RunResult result = Run("'\\\\.\\pipe\\nobody' -noprogress -throughpath out.ts");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, "－ パイプに接続できません \\\\.\\pipe\\nobody\n\n");
}

TEST_F(Verdict, NoticesWhileReadingTheCommandLineStayOffAStreamOnStandardOutput) {
    const RunResult result = Run("rec.ts -rwcntundrop zz -bogus -noprogress -throughpath CON");
    EXPECT_EQ(result.out, ReadText(dir_ / "rec.ts"));
    EXPECT_EQ(result.err, "－ PIDが数値ではありません zz\n－ 不明なオプションです -bogus\n");
}

}  // namespace
#endif
