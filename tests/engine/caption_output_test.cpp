// Printing of changed caption text to the console and the log file.
#include <gtest/gtest.h>

#include <string>

#include "engine/table_lines.h"
#include "common/text.h"
#include "report/report.h"
#include "tests/support/recording_output.h"
#include "tests/support/stream_builder.h"

namespace {

class CaptionOutput : public ::testing::Test {
protected:
    // Messages go to a recorded log only, with no progress line open.
    void SetUp() override {
        console_.reporter.SetConsoleOn(false);
        console_.reporter.SetLog(true, kLogPath);
        console_.reporter.MarkConsoleLineClosed(true);
    }
    // The log as it stands after the next flush point.
    std::string Log() {
        console_.reporter.FlushStdout();
        return console_.output.Log(kLogPath);
    }
    void Print(CaptionStream& caption) { PrintCaptionIfChanged(console_.reporter, caption); }
    static void Store(CaptionStream& caption, const std::string& text) {
        caption.decoder.text.AssignText(text.c_str());
    }

    static constexpr const char* kLogPath = "caption.log";
    RecordingReporter console_;
};

TEST_F(CaptionOutput, ChangedTextIsPrintedOnce) {
    CaptionStream caption;
    Store(caption, "字幕\\nです");
    ASSERT_EQ(caption.decoder.text.changed, 1);
    Print(caption);
    EXPECT_EQ(caption.decoder.text.changed, 0);
    EXPECT_TRUE(console_.reporter.ConsoleLineClosed());
    Print(caption);
    Store(caption, "字幕\\nです");
    Print(caption);
    EXPECT_EQ(Log(), "字幕\\nです\r\n");
    Store(caption, "次");
    Print(caption);
    EXPECT_EQ(Log(), "字幕\\nです\r\n次\r\n");
}

TEST_F(CaptionOutput, NothingStoredPrintsNothing) {
    CaptionStream caption;
    caption.decoder.text.changed = 1;
    Print(caption);
    EXPECT_EQ(Log(), "");
}

TEST_F(CaptionOutput, LongCaptionIsPrintedWhole) {
    std::string text;
    for (int i = 0; i < 400; ++i)
        text += "亜";
    text += "end";
    ASSERT_GT(text.size(), 800u);
    CaptionStream caption;
    Store(caption, text);
    Print(caption);
    EXPECT_EQ(Log(), text + "\r\n");
}

TEST_F(CaptionOutput, OpenProgressLineIsEndedFirst) {
    Reporter& reporter = console_.reporter;
    reporter.SetLogOn(false);
    reporter.SetConsoleOn(true);
    CaptionStream caption;
    for (const bool noProgress : {false, true}) {
        reporter.SetProgressOn(!noProgress);
        reporter.MarkConsoleLineClosed(false);
        Store(caption, noProgress ? "二" : "一");
        const std::size_t before = console_.output.StandardOutput().size();
        Print(caption);
        EXPECT_EQ(console_.output.StandardOutput().substr(before),
                  noProgress ? std::string("二\r\n") : std::string("\r\n一\r\n"));
        EXPECT_TRUE(reporter.ConsoleLineClosed());
    }
}

}  // namespace
