// Real-time pacing (-sync). Only lower bounds on time: the machine may be
// slow, never faster than the stream allows.
#include <gtest/gtest.h>

#include "engine/stream_job.h"
#include "platform/platform.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"

namespace {

int flushes = 0;

// The staging buffer as the pacing step sees it: how much waits in it.
struct Staged {
    int32_t fill = 0;
    RecordingReporter console;
    void Pace(StreamContext& context) {
        PaceStream(context, console.reporter, fill > 0, [this] {
            ++flushes;
            fill = 0;
        });
    }
};

}  // namespace

TEST(Pacing, ThreeSecondsOfPtsTakeAtLeastTwoSeconds) {
    Staged staged;
    StreamContext context;
    PidEntry entry;
    entry.pesParsed = 1;
    entry.pes.ptsDtsFlags = 2;

    flushes = 0;
    int pausesWithWaitingBytes = 0;
    const uint32_t start = platform::TickCount();
    // 3 s of PTS in 100 ms steps, each followed by the pacing step.
    for (int step = 0; step <= 30; ++step) {
        entry.pes.pts = 123456 + static_cast<uint64_t>(step) * 9000;
        ClockStep(context, entry);
        staged.fill += 188;
        const int before = flushes;
        staged.Pace(context);
        if (flushes != before) ++pausesWithWaitingBytes;
    }
    const uint32_t elapsedMs = platform::TickCount() - start;
    EXPECT_GE(elapsedMs, 2000u);
    EXPECT_EQ(context.pts.currentSeconds, 3);
    EXPECT_GE(context.wall.currentSeconds, 3);
    // Every pause began by handing the staged packets over.
    EXPECT_GE(pausesWithWaitingBytes, 1);
}

TEST(Pacing, NoPtsNoPause) {
    Staged staged;
    staged.fill = 188;
    StreamContext context;
    flushes = 0;
    staged.Pace(context);
    EXPECT_EQ(flushes, 0);
    EXPECT_EQ(staged.fill, 188);
}

TEST(Pacing, APausePushesOutTheLinesPrintedSoFar) {
    Staged staged;
    Reporter& reporter = staged.console.reporter;
    RecordingOutput& output = staged.console.output;
    reporter.SetLog(true, "pace.log");
    StreamContext context;
    PidEntry entry;
    entry.pesParsed = 1;
    entry.pes.ptsDtsFlags = 2;
    entry.pes.pts = 123456;
    ClockStep(context, entry);
    reporter.PrintMessage(0, "DROP\r\n");
    // No pause: the line waits for its flush point.
    staged.Pace(context);
    EXPECT_EQ(output.Unflushed(), 6u);
    EXPECT_FALSE(output.HasLog("pace.log"));
    entry.pes.pts += 90000;
    ClockStep(context, entry);
    staged.Pace(context);
    EXPECT_EQ(output.Unflushed(), 0u);
    EXPECT_EQ(output.Log("pace.log"), "DROP\r\n");
}
