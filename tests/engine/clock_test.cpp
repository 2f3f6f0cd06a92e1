// Report texts of the stream clocks: the PCR and TOT texts and the
// wrap-around line. Run with TZ=Asia/Tokyo.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/stream_job.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"
#include "tests/support/stream_builder.h"

namespace {

constexpr uint64_t kSecond = 90000;
// 2024-05-01 12:00:00 JST.
constexpr int64_t kTot = 1714532400;

bool FeedPts(StreamClock& clock, uint64_t value) {
    PesHeader pes;
    pes.ptsDtsFlags = 2;
    pes.pts = value;
    return UpdateFromPts(clock, pes);
}

void SetTot(StreamContext& context, int64_t seconds, DateTime time) {
    context.broadcast.current = seconds;
    context.broadcast.currentTime = time;
    context.broadcast.firstPending = 0;
}

// Sends messages to a recorded log only.
class LogCapture {
public:
    LogCapture() { reporter.SetLog(true, kLogPath); }
    // The log as it stands after the next flush point.
    std::string Text() {
        reporter.FlushStdout();
        return output.Log(kLogPath);
    }

    static constexpr const char* kLogPath = "clock.log";
    RecordingOutput output;
    Reporter reporter{output};
};

}  // namespace

TEST(ReferenceClock, PcrTextFallsBackToPts) {
    StreamContext context;
    FeedPts(context.pts, 300000);
    FeedPts(context.pts, 300000 + 61 * kSecond + 4500);
    EXPECT_EQ(PcrText(context), "PCR 0:01:01.050");
}
TEST(ReferenceClock, PcrTextPadsAllButTheHours) {
    const struct {
        uint64_t ticks;
        const char* text;
    } cases[] = {
        {0, "PCR 0:00:00.000"},
        {(9 * 60 + 5) * kSecond + 7 * 90, "PCR 0:09:05.007"},
        {(26 * 3600 + 30 * 60 + 5) * kSecond + 999 * 90, "PCR 26:30:05.999"},
    };
    for (const auto& c : cases) {
        StreamContext context;
        FeedPts(context.pts, 1000);
        FeedPts(context.pts, 1000 + c.ticks);
        EXPECT_EQ(PcrText(context), c.text);
    }
}

TEST(ReportTextsTest, TotTextOnlyOnceReceived) {
    StreamContext context;
    EXPECT_EQ(TotText(context), "");
    SetTot(context, kTot, DateTime{2024, 5, 3, 1, 12, 0, 9, 0});
    EXPECT_EQ(TotText(context), "TOT 2024/05/01 12:00:09");
}

TEST(WrapAroundLine, PrintedOnceWhilePendingWithTheOption) {
    StreamContext context;
    context.wrap.seconds = kTot + 47711;
    context.wrap.time = DateTime{2024, 5, 4, 2, 1, 15, 11, 0};
    context.wrap.pending = 1;
    {
        LogCapture log;
        PrintWrapAroundLine(log.reporter, context, false);
        EXPECT_EQ(log.Text(), "");
        EXPECT_EQ(context.wrap.pending, 1);

        PrintWrapAroundLine(log.reporter, context, true);
        PrintWrapAroundLine(log.reporter, context, true);
        EXPECT_EQ(log.Text(), "PCR Wrap-around 2024/05/02 01:15:11\r\n");
        EXPECT_EQ(context.wrap.pending, 0);
    }
}

TEST(WrapAroundLine, EndsAnOpenProgressLineFirst) {
    StreamContext context;
    context.wrap.seconds = kTot;
    context.wrap.time = DateTime{2024, 5, 3, 1, 12, 0, 0, 0};
    context.wrap.pending = 1;
    RecordingReporter console;
    console.reporter.MarkConsoleLineClosed(false);
    PrintWrapAroundLine(console.reporter, context, true);
    const std::string shown = "\r\nPCR Wrap-around 2024/05/01 12:00:00\r\n";
    EXPECT_EQ(console.output.StandardOutput(), shown);
    // Waits for the next flush point like every message line.
    EXPECT_EQ(console.output.Unflushed(), shown.size());
    EXPECT_TRUE(console.reporter.ConsoleLineClosed());
}
