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
