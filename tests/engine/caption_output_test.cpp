// Printing of changed caption text to the console and the log file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "engine/table_lines.h"
#include "common/text.h"
#include "report/report.h"
#include "tests/support/stream_builder.h"

namespace {

class CaptionOutput : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        _putenv("TRELVAN_CHARSET=");  // bytes as they are
#else
        unsetenv("TRELVAN_CHARSET");
#endif
        logPath_ = tsb::TempPath("caption_output.log");
        std::remove(logPath_.c_str());
        ASSERT_TRUE(CopyText(LogFilePath, sizeof LogFilePath, logPath_.c_str()));
        LogFlags = kLogOn;
        ConsoleFlags = 0;
        ConsoleLineClosed = true;
    }
    void TearDown() override {
        std::remove(logPath_.c_str());
        LogFilePath[0] = '\0';
        LogFlags = 0;
        ConsoleFlags = 0;
    }
    std::string Log() const {
        const tsb::Bytes bytes = tsb::ReadFileBytes(logPath_);
        return std::string(bytes.begin(), bytes.end());
    }
    static void Store(CaptionStream& caption, const std::string& text) {
        caption.decoder.text.AssignText(text.c_str());
    }

    std::string logPath_;
};

TEST_F(CaptionOutput, ChangedTextIsPrintedOnce) {
    CaptionStream caption;
    Store(caption, "字幕\\nです");
    ASSERT_EQ(caption.decoder.text.changed, 1);
    PrintCaptionIfChanged(caption);
    EXPECT_EQ(caption.decoder.text.changed, 0);
    EXPECT_TRUE(ConsoleLineClosed.load());
    PrintCaptionIfChanged(caption);
    Store(caption, "字幕\\nです");
    PrintCaptionIfChanged(caption);
    EXPECT_EQ(Log(), "字幕\\nです\r\n");
    Store(caption, "次");
    PrintCaptionIfChanged(caption);
    EXPECT_EQ(Log(), "字幕\\nです\r\n次\r\n");
}

TEST_F(CaptionOutput, NothingStoredPrintsNothing) {
    CaptionStream caption;
    caption.decoder.text.changed = 1;
    PrintCaptionIfChanged(caption);
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
    PrintCaptionIfChanged(caption);
    EXPECT_EQ(Log(), text + "\r\n");
}

TEST_F(CaptionOutput, OpenProgressLineIsEndedFirst) {
    LogFlags = 0;
    CaptionStream caption;
    for (const bool noProgress : {false, true}) {
        ConsoleFlags = kConsoleOn | (noProgress ? kNoProgress : 0u);
        ConsoleLineClosed = false;
        Store(caption, noProgress ? "二" : "一");
        testing::internal::CaptureStdout();
        PrintCaptionIfChanged(caption);
        FlushStdout();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, noProgress ? std::string("二\r\n") : std::string("\r\n一\r\n"));
        EXPECT_TRUE(ConsoleLineClosed.load());
    }
}

}  // namespace
