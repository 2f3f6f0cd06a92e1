// The DROP line of a packet: its separators and its place on the console.
#include <gtest/gtest.h>

#include <string>

#include "engine/worker_report.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"

TEST(DropLine, SeparatorsOnlyBetweenPartsThatAreThere) {
    RecordingOutput output;
    Reporter reporter(output);
    reporter.SetLog(true, "drop.log");
    PrintDropLine(reporter, 0x111, 2, "PCR 0:00:01.000", "TOT 2024/05/01 12:00:00", "+0x1D6F8");
    PrintDropLine(reporter, 0x1FF, 1, "", "TOT 2024/05/01 12:00:00", "");
    PrintDropLine(reporter, 0x100, 3, "PCR 0:00:02.000", "", "+0xBC");
    PrintDropLine(reporter, 0x12, 1, "", "", "");
    reporter.FlushStdout();
    EXPECT_EQ(output.Log("drop.log"),
              "DROP : PID 0x0111 , 2 Drop , PCR 0:00:01.000 , TOT 2024/05/01 12:00:00 , +0x1D6F8 \r\n"
              "DROP : PID 0x01FF , 1 Drop , TOT 2024/05/01 12:00:00 \r\n"
              "DROP : PID 0x0100 , 3 Drop , PCR 0:00:02.000 , +0xBC \r\n"
              "DROP : PID 0x0012 , 1 Drop ,  \r\n");
    EXPECT_EQ(output.StandardOutput(), "");
}

TEST(DropLine, EndsAnOpenProgressLineAndLeavesTheLineClosed) {
    RecordingReporter console;
    console.reporter.MarkConsoleLineClosed(true);
    console.reporter.WriteProgressLine("－ 10 %\r");
    PrintDropLine(console.reporter, 0x111, 1, "", "", "+0x0");
    PrintDropLine(console.reporter, 0x111, 2, "", "", "+0xBC");
    const std::string shown =
        "－ 10 %\r\r\nDROP : PID 0x0111 , 1 Drop , +0x0 \r\nDROP : PID 0x0111 , 2 Drop , +0xBC \r\n";
    EXPECT_EQ(console.output.StandardOutput(), shown);
    EXPECT_TRUE(console.reporter.ConsoleLineClosed());
    // The lines wait for the next flush point, as a stream full of drops
    // would otherwise push the console once per line.
    EXPECT_EQ(console.output.Unflushed(), shown.size());
}

// The line is built by hand for ASCII texts; a text with other bytes, or
// too long for the line's buffer, goes through the formatted message, which
// converts it for the console.
TEST(DropLine, LargeCountsAndNonAsciiTextsGiveTheFormattedLine) {
    const std::string longText(250, 'x');
    const struct {
        uint16_t pid;
        int64_t count;
        const char* tot;
    } cases[] = {
        {0x1FFF, 9223372036854775807, "TOT 2024/05/01 12:00:00"},
        {0x0000, 1234567890123, ""},
        {0x0ABC, 7, "TOT \x93\xfa"},
        {0x0100, 5, longText.c_str()},
    };
    for (const auto& c : cases) {
        RecordingReporter built;
        RecordingReporter formatted;
        PrintDropLine(built.reporter, c.pid, c.count, "PCR 1:02:03.004", c.tot, "+0xBC");
        formatted.reporter.PrintNotice(1000, "DROP : PID 0x%04X , %lld Drop , %s%s%s%s%s \r\n", c.pid,
                                       static_cast<long long>(c.count), "PCR 1:02:03.004", " , ", c.tot,
                                       c.tot[0] != '\0' ? " , " : "", "+0xBC");
        EXPECT_EQ(built.output.StandardOutput(), formatted.output.StandardOutput()) << c.pid;
    }
    RecordingReporter one;
    one.reporter.MarkConsoleLineClosed(true);
    PrintDropLine(one.reporter, 0x1FFF, 9223372036854775807, "", "", "");
    EXPECT_EQ(one.output.StandardOutput(), "DROP : PID 0x1FFF , 9223372036854775807 Drop ,  \r\n");
}
