// Time windows (-duration): parsing and the window and end tests on the
// reference clock.
#include <gtest/gtest.h>

#include <string>

#include "engine/stream_job.h"

namespace {

constexpr uint64_t kSecond = 90000;

uint64_t Ticks(const char* text) {
    return TimeOfDayTicks(ParseTimeOfDay(text));
}

void PcrAt(StreamContext& context, uint64_t ticks) {
    AdaptationField adaptation;
    adaptation.pcrFlag = 1;
    adaptation.pcrBase = 5000 + ticks;
    UpdateFromPcr(context.pcr, adaptation);
}

}  // namespace

TEST(DurationParse, Fields) {
    const TimeOfDay full = ParseTimeOfDay("1:02:03.456");
    EXPECT_EQ(full.hours, 1);
    EXPECT_EQ(full.minutes, 2);
    EXPECT_EQ(full.seconds, 3);
    EXPECT_EQ(full.milliseconds, 456);
    EXPECT_EQ(TimeOfDayTicks(full), 3723 * kSecond + 456 * 90);

    EXPECT_EQ(Ticks("1:30"), 5400 * kSecond);  // hours and minutes
    EXPECT_EQ(Ticks("90"), 90 * kSecond);      // plain seconds
    EXPECT_EQ(Ticks("90.75"), 90 * kSecond);   // a fraction of plain seconds is ignored
    EXPECT_EQ(Ticks("0:00:10.500"), 10 * kSecond + 45000);
    EXPECT_EQ(Ticks(""), 0u);
    EXPECT_EQ(Ticks("x:y:z"), 0u);
    EXPECT_EQ(Ticks("2:xx"), 7200 * kSecond);
}

TEST(DurationParse, PlainSecondsBeyondSixteenBitsKeepTheirLength) {
    EXPECT_EQ(Ticks("70000"), 70000 * kSecond);
    const TimeOfDay t = ParseTimeOfDay("70000");
    EXPECT_EQ(t.hours, 19);
    EXPECT_EQ(t.minutes, 26);
    EXPECT_EQ(t.seconds, 40);
}

TEST(DurationParse, NextWindowEntries) {
    const std::string text = "0:00:10.500-0:00:20,5,0:01:00-,-0:00:03";
    std::size_t cursor = 0;
    DurationWindow w = NextWindow(text, cursor);
    EXPECT_EQ(w.start, 10 * kSecond + 45000);
    EXPECT_EQ(w.end, 20 * kSecond);
    EXPECT_EQ(cursor, 20u);
    w = NextWindow(text, cursor);  // a single time: from the start
    EXPECT_EQ(w.start, 0u);
    EXPECT_EQ(w.end, 5 * kSecond);
    w = NextWindow(text, cursor);  // open end
    EXPECT_EQ(w.start, 60 * kSecond);
    EXPECT_EQ(w.end, UINT64_MAX);
    w = NextWindow(text, cursor);  // open start
    EXPECT_EQ(w.start, 0u);
    EXPECT_EQ(w.end, 3 * kSecond);
    EXPECT_EQ(cursor, std::string::npos);
    w = NextWindow(text, cursor);  // used up
    EXPECT_EQ(w.start, 0u);
    EXPECT_EQ(w.end, UINT64_MAX);
    EXPECT_EQ(cursor, std::string::npos);
}

TEST(DurationWindows, EmptyValueNeverEnds) {
    StreamContext context;
    WindowState state;
    OpenWindows(state, std::string());
    EXPECT_TRUE(state.active);
    EXPECT_EQ(state.current.start, 0u);
    EXPECT_EQ(state.current.end, UINT64_MAX);
    PcrAt(context, 0);
    PcrAt(context, 90000 * kSecond);
    EXPECT_TRUE(InsideWindow(state, context));
    EXPECT_FALSE(WindowsEnded(state, context));
}

TEST(DurationWindows, SingleTimeFromTheStart) {
    StreamContext context;
    WindowState state;
    OpenWindows(state, std::string("0:10:00"));
    EXPECT_EQ(state.cursor, std::string::npos);
    // Before any clock runs the position is 0: inside a window from 0.
    EXPECT_TRUE(InsideWindow(state, context));
    EXPECT_FALSE(WindowsEnded(state, context));
    PcrAt(context, 0);
    PcrAt(context, 600 * kSecond - 1);
    EXPECT_TRUE(InsideWindow(state, context));
    EXPECT_FALSE(WindowsEnded(state, context));
    PcrAt(context, 600 * kSecond);
    EXPECT_TRUE(InsideWindow(state, context));  // the end itself is inside
    EXPECT_TRUE(WindowsEnded(state, context));
}

TEST(DurationWindows, StartAtTenAndAHalfSeconds) {
    StreamContext context;
    WindowState state;
    OpenWindows(state, std::string("0:00:10.500-0:00:20"));
    EXPECT_FALSE(InsideWindow(state, context));  // position 0, window starts later
    PcrAt(context, 0);
    PcrAt(context, 10 * kSecond + 44999);
    EXPECT_FALSE(InsideWindow(state, context));
    PcrAt(context, 10 * kSecond + 45000);
    EXPECT_TRUE(InsideWindow(state, context));
    PcrAt(context, 20 * kSecond + 1);
    EXPECT_FALSE(InsideWindow(state, context));
    EXPECT_TRUE(WindowsEnded(state, context));
}

TEST(DurationWindows, TwoWindowsThenTheEnd) {
    StreamContext context;
    WindowState state;
    OpenWindows(state, std::string("0:01:00-0:02:00,0:05:00-0:06:00"));
    PcrAt(context, 0);
    const struct {
        uint64_t seconds;
        bool inside;
        bool ended;
    } steps[] = {
        {30, false, false}, {60, true, false},  {120, true, false}, {121, false, false}, {299, false, false},
        {300, true, false}, {359, true, false}, {360, true, true},  {361, false, true},
    };
    for (const auto& step : steps) {
        PcrAt(context, step.seconds * kSecond);
        EXPECT_EQ(InsideWindow(state, context), step.inside) << step.seconds;
        EXPECT_EQ(WindowsEnded(state, context), step.ended) << step.seconds;
    }
}

TEST(DurationWindows, PassedWindowsAreSkippedAtOnce) {
    StreamContext context;
    WindowState state;
    OpenWindows(state, std::string("0:00:01-0:00:02,0:00:03-0:00:04,0:00:05-0:00:09"));
    PcrAt(context, 0);
    PcrAt(context, 6 * kSecond);
    EXPECT_TRUE(InsideWindow(state, context));
    EXPECT_EQ(state.current.start, 5 * kSecond);
    EXPECT_EQ(state.cursor, std::string::npos);
}

TEST(DurationWindows, FallsBackToThePtsClock) {
    StreamContext context;
    WindowState state;
    OpenWindows(state, std::string("90"));
    PesHeader pes;
    pes.ptsDtsFlags = 2;
    pes.pts = 1000;
    UpdateFromPts(context.pts, pes);
    pes.pts = 1000 + 91 * kSecond;
    UpdateFromPts(context.pts, pes);
    EXPECT_FALSE(InsideWindow(state, context));
    EXPECT_TRUE(WindowsEnded(state, context));
}
