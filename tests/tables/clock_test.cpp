// Stream clocks, reference-clock choice, broadcast-time arithmetic and the
// wrap-around prediction. Run with TZ=Asia/Tokyo.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "tables/clock.h"
#include "tables/stream_context.h"

namespace {

constexpr uint64_t kSecond = 90000;
constexpr uint64_t k2Pow33 = 1ull << 33;
// 2024-05-01 12:00:00 JST.
constexpr int64_t kTot = 1714532400;

bool FeedPcr(StreamClock& clock, uint64_t value) {
    AdaptationField adaptation;
    adaptation.pcrFlag = 1;
    adaptation.pcrBase = value;
    return UpdateFromPcr(clock, adaptation);
}

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

std::string Ymdhms(const DateTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

// The reference clock's current time as H:MM:SS.mmm.
std::string ReferenceTimeText(StreamContext& context) {
    const DateTime& t = SelectReferenceClock(context, ClockKind::Pcr).currentTime;
    char text[64];
    std::snprintf(text, sizeof text, "%d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
    return text;
}

}  // namespace

TEST(ClockUpdate, PcrCountsFromTheFirstValue) {
    StreamContext context;
    EXPECT_TRUE(FeedPcr(context.pcr, 1000));
    EXPECT_TRUE(FeedPcr(context.pcr, 91000));
    EXPECT_TRUE(FeedPcr(context.pcr, 181000));
    EXPECT_EQ(context.pcr.base, 1000u);
    EXPECT_EQ(context.pcr.currentElapsed, 180000u);
    EXPECT_EQ(context.pcr.previousElapsed, 90000u);
    EXPECT_EQ(context.pcr.currentSeconds, 2);
    EXPECT_EQ(context.pcr.previousSeconds, 1);
    EXPECT_EQ(context.pcr.startSeconds, 0);
    EXPECT_EQ(context.pcr.first, 0);
    EXPECT_EQ(ReferenceTimeText(context), "0:00:02.000");
}

TEST(ClockUpdate, AdvancedOnlyForTheFirstValueOrPastOneSecond) {
    StreamClock clock;
    EXPECT_TRUE(FeedPcr(clock, 500000));           // first value
    EXPECT_FALSE(FeedPcr(clock, 500000 + 45000));  // 0.5 s
    EXPECT_EQ(clock.currentMs, 500);
    EXPECT_TRUE(FeedPcr(clock, 500000 + kSecond));  // 1 s
}

TEST(ClockUpdate, SmallStepBelowTheBaseReanchors) {
    StreamContext context;
    FeedPcr(context.pcr, 1000000);
    FeedPcr(context.pcr, 1000000 + 3 * kSecond);
    FeedPcr(context.pcr, 1000000 - 45000);
    EXPECT_EQ(context.pcr.base, 955000u);
    EXPECT_EQ(context.pcr.currentElapsed, 0u);
    EXPECT_EQ(context.pcr.previousElapsed, 0u);
    EXPECT_EQ(context.pcr.currentSeconds, 0);
    EXPECT_EQ(context.pcr.previousSeconds, 3);
    EXPECT_EQ(ReferenceTimeText(context), "0:00:00.000");
}

TEST(ClockUpdate, StepBackAboveTheBaseOnlyLowersCurrent) {
    StreamClock clock;
    FeedPcr(clock, 1000000);
    FeedPcr(clock, 1000000 + kSecond);
    FeedPcr(clock, 1000000 + 3 * kSecond);
    FeedPcr(clock, 1000000 + 2 * kSecond);
    EXPECT_EQ(clock.base, 1000000u);
    EXPECT_EQ(clock.currentElapsed, 2 * kSecond);
    EXPECT_EQ(clock.previousElapsed, kSecond);
    EXPECT_EQ(clock.currentSeconds, 2);
}

TEST(ClockUpdate, ThirtyThreeBitWrap) {
    StreamClock clock;
    FeedPcr(clock, k2Pow33 - 8192);
    FeedPcr(clock, k2Pow33 - 4096);
    EXPECT_EQ(clock.currentElapsed, 4096u);
    FeedPcr(clock, 61440);
    EXPECT_EQ(clock.currentElapsed, 69632u);
    EXPECT_EQ(clock.previousElapsed, 4096u);
    EXPECT_EQ(clock.base, k2Pow33 - 8192);
}

TEST(ClockUpdate, SevenHoursExceedThirtyOneBits) {
    StreamContext context;
    FeedPcr(context.pcr, 1000);
    FeedPcr(context.pcr, 1000 + 2268000000ull);
    EXPECT_EQ(context.pcr.currentElapsed, 2268000000ull);
    EXPECT_EQ(context.pcr.currentSeconds, 25200);
    EXPECT_EQ(ReferenceTimeText(context), "7:00:00.000");
}

TEST(ClockUpdate, PtsBit32CorrectionUntilBelowTheBase) {
    StreamClock pts;
    FeedPts(pts, 0x70000000);
    FeedPts(pts, 0x70000000 + kSecond);
    // 0x7xxxxxxx followed by 0x18xxxxxxx: taken as 0x8xxxxxxx.
    FeedPts(pts, 0x180000000 + 2 * kSecond);
    EXPECT_EQ(pts.highBitFix, 1);
    EXPECT_EQ(pts.currentElapsed, 0x10000000u + 2 * kSecond);
    FeedPts(pts, 0x180000000 + 3 * kSecond);
    EXPECT_EQ(pts.currentElapsed, 0x10000000u + 3 * kSecond);
    // A value below the base ends the correction.
    FeedPts(pts, 0x60000000);
    EXPECT_EQ(pts.highBitFix, 0);
    EXPECT_EQ(pts.currentElapsed, 0x1F0000000u);
    FeedPts(pts, 0x180000000 + 4 * kSecond);
    EXPECT_EQ(pts.currentElapsed, 0x110000000u + 4 * kSecond);
}

// Packets repeat the stamp of their PES header, and the PIDs of a program
// take turns: a repeat changes no moment, a stamp seen just before brings
// its moment back, and each moment is the one its ticks make.
TEST(ClockUpdate, RepeatedAndAlternatingStampsKeepTheMoments) {
    struct Step {
        uint64_t pts;
        int currentSeconds, currentMs, previousSeconds, previousMs;
    };
    const uint64_t base = 1000;
    const uint64_t a = base + 61 * kSecond + 4500;  // 0:01:01.050
    const uint64_t b = base + 62 * kSecond;         // 0:01:02.000
    const Step steps[] = {
        {base, 0, 0, 0, 0}, {a, 61, 50, 0, 0},  {a, 61, 50, 0, 0},  {b, 62, 0, 61, 50},
        {a, 61, 50, 62, 0}, {b, 62, 0, 61, 50}, {b, 62, 0, 61, 50},
    };
    StreamClock clock;
    int index = 0;
    for (const Step& step : steps) {
        EXPECT_TRUE(FeedPts(clock, step.pts)) << "step " << index;
        EXPECT_EQ(clock.currentSeconds, step.currentSeconds) << "step " << index;
        EXPECT_EQ(clock.currentMs, step.currentMs) << "step " << index;
        EXPECT_EQ(clock.currentTime.minute * 60 + clock.currentTime.second, step.currentSeconds) << "step " << index;
        EXPECT_EQ(clock.previousSeconds, step.previousSeconds) << "step " << index;
        EXPECT_EQ(clock.previousMs, step.previousMs) << "step " << index;
        EXPECT_EQ(clock.previousTime.millisecond, step.previousMs) << "step " << index;
        ++index;
    }
    EXPECT_EQ(clock.currentElapsed, b - base);
    EXPECT_EQ(clock.previousElapsed, a - base);
}

// The packets of a PES after its first carry no stamps of their own but
// keep those of its header: they step the clocks only when a stamp differs
// from the one taken last, or when pacing reads the wall clock each time.
TEST(ClockStepTest, RepeatedStampsStepNothingUnlessTheWallClockPaces) {
    for (const bool paces : {false, true}) {
        StreamContext context;
        context.wallClockPaces = paces;
        PidEntry entry;
        entry.pesParsed = 1;
        entry.pes.ptsDtsFlags = 3;
        entry.pes.pts = 5000;
        entry.pes.dts = 2000;
        EXPECT_FALSE(ClockStep(context, entry));
        EXPECT_EQ(context.clockSteps, 1u);
        EXPECT_FALSE(ClockStep(context, entry));
        EXPECT_EQ(context.clockSteps, paces ? 2u : 1u) << "paces " << paces;
        entry.pes.dts = 2000 + (1ull << 33);  // the same 33-bit value
        ClockStep(context, entry);
        EXPECT_EQ(context.clockSteps, paces ? 3u : 1u) << "paces " << paces;
        entry.pes.dts = 2001;
        ClockStep(context, entry);
        EXPECT_EQ(context.clockSteps, paces ? 4u : 2u) << "paces " << paces;
        EXPECT_EQ(context.dts.currentElapsed, 1u);
        EXPECT_EQ(context.pts.currentElapsed, 0u);
    }
}

// Only pacing looks at the wall clock after its start: without it the
// first PTS starts it and later ones leave it there.
TEST(ClockStepTest, WallClockMovesWithThePtsOnlyWhenItPaces) {
    for (const bool paces : {false, true}) {
        StreamContext context;
        context.wallClockPaces = paces;
        PidEntry entry;
        entry.pesParsed = 1;
        entry.pes.ptsDtsFlags = 2;
        entry.pes.pts = 1000;
        ClockStepWithStamps(context, entry);
        EXPECT_EQ(context.wall.first, 0) << "paces " << paces;
        const uint32_t start = context.wall.startTick;
        platform::SleepMs(30);
        entry.pes.pts = 1000 + 2 * kSecond;
        ClockStepWithStamps(context, entry);
        EXPECT_EQ(context.wall.startTick, start);
        if (paces) {
            EXPECT_GE(context.wall.elapsedMs, 30u);
        } else {
            EXPECT_EQ(context.wall.currentTick, start);
            EXPECT_EQ(context.wall.elapsedMs, 0u);
        }
    }
}

TEST(ClockUpdate, PcrHasNoBit32Correction) {
    StreamClock pcr;
    FeedPcr(pcr, 0x70000000);
    FeedPcr(pcr, 0x70000000 + kSecond);
    FeedPcr(pcr, 0x180000000 + 2 * kSecond);
    EXPECT_EQ(pcr.highBitFix, 0);
    EXPECT_EQ(pcr.currentElapsed, 0x110000000u + 2 * kSecond);
}

TEST(ClockUpdate, ElapsedToTimeSplitsTicks) {
    const DateTime t = ElapsedToTime(26 * 3600 * kSecond + 59 * 60 * kSecond + 58 * kSecond + 89999);
    EXPECT_EQ(t.hour, 26);
    EXPECT_EQ(t.minute, 59);
    EXPECT_EQ(t.second, 58);
    EXPECT_EQ(t.millisecond, 999);
    EXPECT_EQ(t.year, 0);
    EXPECT_EQ(t.month, 0);
    EXPECT_EQ(t.day, 0);
}

TEST(ClockStepTest, FeedsEachClockFromItsFields) {
    StreamContext context;
    PidEntry entry;
    entry.adaptationParsed = 1;
    entry.adaptation.pcrFlag = 1;
    entry.adaptation.pcrBase = 5000;
    entry.pesParsed = 1;
    entry.pes.ptsDtsFlags = 3;
    entry.pes.pts = 20000;
    entry.pes.dts = 10000;
    EXPECT_TRUE(ClockStep(context, entry));
    entry.adaptation.pcrBase = 5000 + kSecond;
    entry.pes.pts = 20000 + 2 * kSecond;
    entry.pes.dts = 10000 + 3 * kSecond;
    EXPECT_TRUE(ClockStep(context, entry));
    EXPECT_EQ(context.pcr.currentElapsed, kSecond);
    EXPECT_EQ(context.pts.currentElapsed, 2 * kSecond);
    EXPECT_EQ(context.dts.currentElapsed, 3 * kSecond);
    EXPECT_EQ(context.wall.first, 0);  // started by the first PTS

    // PTS only (flags 2): the DTS clock stays; no PCR flag: the PCR stays.
    entry.adaptation.pcrFlag = 0;
    entry.pes.ptsDtsFlags = 2;
    entry.pes.pts = 20000 + 4 * kSecond;
    entry.pes.dts = 10000 + 9 * kSecond;
    EXPECT_FALSE(ClockStep(context, entry));
    EXPECT_EQ(context.pcr.currentElapsed, kSecond);
    EXPECT_EQ(context.pts.currentElapsed, 4 * kSecond);
    EXPECT_EQ(context.dts.currentElapsed, 3 * kSecond);

    // No parsed PES header: nothing moves.
    entry.pesParsed = 0;
    entry.pes.pts = 20000 + 8 * kSecond;
    ClockStep(context, entry);
    EXPECT_EQ(context.pts.currentElapsed, 4 * kSecond);
}

TEST(ReferenceClock, PreferenceOrder) {
    StreamContext context;
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pcr), &context.pcr);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pts), &context.pts);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Dts), &context.dts);

    // A base without elapsed time is not running yet.
    FeedPcr(context.pcr, 1000);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pts), &context.pts);

    context.dts.base = 7;
    context.dts.currentElapsed = 9;
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pcr), &context.dts);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pts), &context.dts);

    context.pts.base = 7;
    context.pts.currentElapsed = 9;
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pcr), &context.pts);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Dts), &context.dts);

    FeedPcr(context.pcr, 1000 + kSecond);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pcr), &context.pcr);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pts), &context.pts);

    context.pts.currentElapsed = 0;
    context.dts.currentElapsed = 0;
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Pts), &context.pcr);
    EXPECT_EQ(&SelectReferenceClock(context, ClockKind::Dts), &context.pcr);
}

TEST(ClockJump, ThresholdInWholeSeconds) {
    StreamClock clock;
    FeedPcr(clock, 1000);
    FeedPcr(clock, 1000 + 10 * kSecond);
    EXPECT_TRUE(ClockJumpAtLeast(clock, 10));
    EXPECT_FALSE(ClockJumpAtLeast(clock, 11));
    EXPECT_FALSE(ClockJumpAtLeast(clock, 0));
    EXPECT_FALSE(ClockJumpAtLeast(clock, -1));
    // Measured from the value before the latest increase: a step back that
    // stays above it still counts from there.
    FeedPcr(clock, 1000 + 20 * kSecond);
    FeedPcr(clock, 1000 + 15 * kSecond);
    EXPECT_TRUE(ClockJumpAtLeast(clock, 5));
    EXPECT_FALSE(ClockJumpAtLeast(clock, 6));
    FeedPcr(clock, 1000 + 5 * kSecond);  // below it: no jump
    EXPECT_FALSE(ClockJumpAtLeast(clock, 1));
}

TEST(BroadcastArithmetic, OffsetAddsOrSubtractsWholeSeconds) {
    EXPECT_EQ(Ymdhms(OffsetBroadcastTime(kTot, 65 * kSecond + 89999, false)), "2024/05/01 12:01:05");
    EXPECT_EQ(Ymdhms(OffsetBroadcastTime(kTot, 12 * 3600 * kSecond, true)), "2024/05/01 00:00:00");
    EXPECT_EQ(Ymdhms(OffsetBroadcastTime(kTot, 12 * 3600 * kSecond + kSecond, true)), "2024/04/30 23:59:59");
}

TEST(BroadcastArithmetic, ClockPositionToBroadcastTime) {
    StreamContext context;
    DateTime out;
    EXPECT_FALSE(ClockToBroadcastTime(5 * kSecond, context, ClockKind::Pcr, out));  // no mark yet

    context.marks.pcr = 10 * kSecond;
    context.marks.pts = 20 * kSecond;
    context.broadcast.current = kTot;
    ASSERT_TRUE(ClockToBroadcastTime(75 * kSecond, context, ClockKind::Pcr, out));
    EXPECT_EQ(Ymdhms(out), "2024/05/01 12:01:05");
    ASSERT_TRUE(ClockToBroadcastTime(75 * kSecond, context, ClockKind::Pts, out));
    EXPECT_EQ(Ymdhms(out), "2024/05/01 12:00:55");
    EXPECT_FALSE(ClockToBroadcastTime(75 * kSecond, context, ClockKind::Dts, out));
    EXPECT_FALSE(ClockToBroadcastTime(10 * kSecond, context, ClockKind::Pcr, out));  // at the mark
    // Before the mark: counted across the 33-bit wrap (95438 s later).
    ASSERT_TRUE(ClockToBroadcastTime(5 * kSecond, context, ClockKind::Pcr, out));
    EXPECT_EQ(Ymdhms(out), "2024/05/02 14:30:38");
}

TEST(WrapPrediction, FromTheReferenceClockAtTheTot) {
    StreamContext context;
    FeedPcr(context.pcr, 1ull << 32);
    FeedPcr(context.pcr, (1ull << 32) + 10 * kSecond);
    FeedPts(context.pts, 777);
    FeedPts(context.pts, 777 + 3 * kSecond);
    SetTot(context, kTot, DateTime{2024, 5, 0, 1, 12, 0, 0, 0});
    PredictWrap(context);
    EXPECT_EQ(context.marks.pcr, 10 * kSecond);
    EXPECT_EQ(context.marks.pts, 3 * kSecond);
    EXPECT_EQ(context.marks.dts, 0u);
    // (0x1FFFFFFFF - 2^32 - 900000) / 90000 = 47711 s.
    EXPECT_EQ(context.wrap.seconds, kTot + 47711);
    EXPECT_EQ(Ymdhms(context.wrap.time), "2024/05/02 01:15:11");
    EXPECT_EQ(context.wrap.pending, 1);
}

TEST(WrapPrediction, MomentBeyond2038) {
    StreamContext context;
    FeedPcr(context.pcr, kSecond);
    FeedPcr(context.pcr, 11 * kSecond);
    // 2038-01-19 12:00:00 JST, 14 minutes before the 32-bit seconds overflow.
    SetTot(context, 2147482800, DateTime{2038, 1, 0, 19, 12, 0, 0, 0});
    PredictWrap(context);
    EXPECT_EQ(context.wrap.seconds, 2147482800ll + 95432);
    EXPECT_EQ(Ymdhms(context.wrap.time), "2038/01/20 14:30:32");
}

TEST(WrapPrediction, AfterTheCounterWrappedPredictsTheNextWrap) {
    StreamContext context;
    FeedPcr(context.pcr, k2Pow33 - 10 * kSecond);
    FeedPcr(context.pcr, k2Pow33 - 5 * kSecond);
    FeedPcr(context.pcr, 10 * kSecond);  // wrapped: 20 s elapsed, counter at 10 s
    SetTot(context, kTot, DateTime{2024, 5, 0, 1, 12, 0, 0, 0});
    PredictWrap(context);
    // The counter reaches 0x1FFFFFFFF again after (0x1FFFFFFFF - 900000) ticks.
    EXPECT_EQ(context.wrap.seconds, kTot + 95433);
    EXPECT_EQ(Ymdhms(context.wrap.time), "2024/05/02 14:30:33");
}

TEST(WrapPrediction, KeptUntilPassedThenRenewed) {
    StreamContext context;
    FeedPcr(context.pcr, 1ull << 32);
    FeedPcr(context.pcr, (1ull << 32) + 10 * kSecond);
    SetTot(context, kTot, DateTime{2024, 5, 0, 1, 12, 0, 0, 0});
    PredictWrap(context);
    const int64_t first = context.wrap.seconds;
    context.wrap.pending = 0;  // shown

    FeedPcr(context.pcr, (1ull << 32) + 40 * kSecond);
    SetTot(context, kTot + 30, DateTime{2024, 5, 0, 1, 12, 0, 30, 0});
    PredictWrap(context);
    EXPECT_EQ(context.wrap.seconds, first);
    EXPECT_EQ(context.wrap.pending, 0);
    EXPECT_EQ(context.marks.pcr, 40 * kSecond);

    // A TOT past the predicted moment clears it and predicts anew.
    SetTot(context, first + 1, DateTime{2024, 5, 0, 2, 1, 15, 12, 0});
    PredictWrap(context);
    EXPECT_EQ(context.wrap.seconds, first + 1 + 47681);
    EXPECT_EQ(context.wrap.pending, 1);
}

TEST(WrapPrediction, NoClockNoPrediction) {
    StreamContext context;
    SetTot(context, kTot, DateTime{2024, 5, 0, 1, 12, 0, 0, 0});
    PredictWrap(context);
    EXPECT_EQ(context.wrap.seconds, 0);
    EXPECT_EQ(context.wrap.pending, 0);
}
