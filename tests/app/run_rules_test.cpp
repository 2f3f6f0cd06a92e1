// Whole runs under awkward conditions: windows the stream never reaches, a
// repeated run whose output keeps failing, two jobs aimed at one file.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/app/program_fixture.h"
#include "tests/support/stream_builder.h"

namespace {

using RunRules = ProgramFixture;

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(RunRules, PcrOnlyPidStaysUncountedOutsideEveryWindow) {
    // Eight seconds of a programme whose PCR rides on a PID of its own, its
    // counter standing still as adaptation-only packets may.
    tsb::StreamBuilder builder;
    builder.Section(0x0000, tsb::PatSection(1, {{1, 0x01F0}}));
    builder.Section(0x01F0, tsb::PmtSection(1, 0x01FF, {{0x02, 0x0111, {}}}));
    for (int i = 0; i <= 80; ++i) {
        tsb::PacketOptions counterZero;
        counterZero.cc = 0;
        builder.Pcr(0x01FF, uint64_t(i) * 9000, counterZero);
        builder.Packet(0x0111, tsb::Bytes(184, 1));
    }
    ASSERT_TRUE(tsb::WriteFileBytes((dir_ / "pcr.ts").string(), builder.Data()));
    const RunResult result = Run("pcr.ts -drop -noprogress -duration 1:00:00-2:00:00 -throughpath out.ts");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.find("DROP : PID 0x01FF"), std::string::npos);
    EXPECT_NE(result.out.find("0x01FF : 0x00 : 0 Drop : 0 Total 対象外\r\n"), std::string::npos);
    EXPECT_EQ(ReadText(dir_ / "out.ts"), "");
}

TEST_F(RunRules, LoopWhoseEveryJobFailsWaitsBetweenPasses) {
    WriteStream("rec.ts", 20);
    const RunResult result = Run("rec.ts -loop -noprogress -throughpath nodir/out.ts", "", "/dev/null",
                                 "timeout --preserve-status -s INT 2");
    // One pass a second, not dozens.
    const std::size_t passes = Count(result.out, "－ 出力ファイルを作成できません nodir/out.ts\n");
    EXPECT_GE(passes, 1u);
    EXPECT_LE(passes, 3u);
}

TEST_F(RunRules, JobsThatWouldWriteOneFileAreRefusedBeforeAnyRuns) {
    const std::string a = WriteStream("a.ts", 20);
    WriteStream("b.ts", 30);
    RunResult result = Run("a.ts b.ts -noprogress -throughpath o.ts");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, "－ 出力ファイルが複数の入力で同じです o.ts\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "o.ts"));
    // The same input twice would write one default output twice as well.
    result = Run("a.ts ./a.ts -noprogress");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, "－ 出力ファイルが複数の入力で同じです ./a.trelvan.ts\n");
    // Devices take any number of jobs.
    result = Run("a.ts b.ts -noprogress -throughpath /dev/null");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(ReadText(dir_ / "a.ts"), a);
}

TEST_F(RunRules, NullDeviceOutputBesideANullStandardOutputKeepsTheConsoleText) {
    WriteStream("rec.ts", 20);
    // Standard output is /dev/null as well: the stream and the text may both
    // go there, so the text stays on standard output.
    const RunResult result = Run("rec.ts -drop -noprogress -throughpath /dev/null -jsonpath r.json", "", "/dev/null",
                                 "sh -c 'exec \"$@\" > /dev/null' sh");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_NE(ReadText(dir_ / "r.json").find("\"output\": \"/dev/null\""), std::string::npos);
}

}  // namespace
#endif
