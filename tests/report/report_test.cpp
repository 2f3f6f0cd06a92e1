// Console and log messages: where a message goes, the console line, the
// log's line ends, cut texts and the process's console and log files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "report/process_console.h"
#include "report/report.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLog = "run.log";

class Routing : public ::testing::Test {
protected:
    std::string Console() const { return console_.output.StandardOutput(); }
    // The log as it stands after the next flush point.
    std::string Log() {
        reporter_.FlushStdout();
        return console_.output.Log(kLog);
    }
    void LogOn() { reporter_.SetLog(true, kLog); }

    RecordingReporter console_;
    Reporter& reporter_ = console_.reporter;
};

}  // namespace

TEST_F(Routing, MessageReachesConsoleAndLogAccordingToTheSwitches) {
    LogOn();
    reporter_.PrintMessage(0, "－ DROP %s\r\n", "x.ts");
    reporter_.SetConsoleOn(false);
    reporter_.PrintMessage(0, "only log %d\n", 7);
    reporter_.SetConsoleOn(true);
    reporter_.SetLogOn(false);
    reporter_.PrintMessage(0, "only console\n");
    EXPECT_EQ(Console(), "－ DROP x.ts\r\nonly console\n");
    EXPECT_EQ(Log(), "－ DROP x.ts\r\nonly log 7\n");
    EXPECT_EQ(console_.output.StandardError(), "");
}

TEST_F(Routing, LogWhoseNameLeadsElsewhereStopsWithOneNoticeUntilSetAgain) {
    LogOn();
    reporter_.MarkConsoleLineClosed(true);
    reporter_.PrintMessage(0, "one\n");
    EXPECT_EQ(Log(), "one\n");
    console_.output.ReplaceLog(kLog);
    reporter_.PrintMessage(0, "two\n");
    EXPECT_EQ(Log(), "one\n");
    EXPECT_FALSE(reporter_.LogOn());
    EXPECT_TRUE(reporter_.TakeLogStopped());
    EXPECT_FALSE(reporter_.TakeLogStopped());
    const int writes = console_.output.LogWrites();
    reporter_.PrintMessage(0, "three\n");
    reporter_.FlushStdout();
    EXPECT_EQ(console_.output.LogWrites(), writes);
    EXPECT_EQ(Console(), "one\ntwo\n－ ログファイルが変わったためログ出力を停止しました run.log\nthree\n");
    // The next job checks its log again.
    LogOn();
    reporter_.PrintMessage(0, "four\n");
    EXPECT_EQ(Log(), "one\nfour\n");
    EXPECT_FALSE(reporter_.TakeLogStopped());
}

TEST_F(Routing, LogLineEndsFollowTheLastByte) {
    LogOn();
    reporter_.SetConsoleOn(false);
    reporter_.PrintMessage(0, "progress\r");
    reporter_.PrintMessage(0, "plain\n");
    reporter_.PrintMessage(0, "crlf\r\n");
    reporter_.PrintMessage(0, "bare");
    reporter_.PrintMessage(0, "%s", "");
    EXPECT_EQ(Log(), "progress\r\r\nplain\ncrlf\r\nbare\r\n");
}

TEST_F(Routing, EmptyMessageWritesNothingAnywhere) {
    LogOn();
    reporter_.PrintMessage(0, "%s", "");
    reporter_.WriteConsoleText("");
    EXPECT_EQ(Console(), "");
    EXPECT_FALSE(console_.output.HasLog(kLog));
    EXPECT_EQ(console_.output.Flushes(), 0);
}

TEST_F(Routing, ProgressThenNoticeEndsTheLineFirstAndOnlyOnce) {
    LogOn();
    reporter_.MarkConsoleLineClosed(true);
    reporter_.EndProgressLine();  // nothing open
    reporter_.WriteProgressLine("10%\r");
    EXPECT_FALSE(reporter_.ConsoleLineClosed());
    reporter_.PrintNotice(0, "DROP %d\r\n", 1);
    EXPECT_TRUE(reporter_.ConsoleLineClosed());
    reporter_.PrintNotice(0, "DROP %d\r\n", 2);
    EXPECT_EQ(Console(), "10%\r\r\nDROP 1\r\nDROP 2\r\n");
    // Progress lines and the line ends are for the console only.
    EXPECT_EQ(Log(), "DROP 1\r\nDROP 2\r\n");
}

TEST_F(Routing, PlainMessageLeavesTheLineAsItWas) {
    reporter_.MarkConsoleLineClosed(true);
    reporter_.WriteProgressLine("10%\r");
    reporter_.PrintMessage(0, "summary\n");
    EXPECT_FALSE(reporter_.ConsoleLineClosed());
    reporter_.EndProgressLine();
    EXPECT_EQ(Console(), "10%\rsummary\n\r\n");
}

TEST_F(Routing, ConsoleOffWhileTheStreamHasStandardOutputStillLogs) {
    LogOn();
    reporter_.SetConsoleOn(false);
    reporter_.MarkConsoleLineClosed(false);
    reporter_.WriteProgressLine("10%\r");
    reporter_.PrintNotice(0, "DROP %s\r\n", "x");
    reporter_.WriteStdout("", 0);
    EXPECT_EQ(Console(), "");
    EXPECT_EQ(console_.output.StandardError(), "");
    EXPECT_EQ(Log(), "DROP x\r\n");
    EXPECT_FALSE(reporter_.ProgressShown());
}

TEST_F(Routing, LogOffKeepsItsPathForLater) {
    reporter_.SetLog(false, kLog);
    reporter_.PrintMessage(0, "console only\n");
    EXPECT_FALSE(console_.output.HasLog(kLog));
    EXPECT_EQ(reporter_.LogPath(), kLog);
    reporter_.SetLogOn(true);
    reporter_.PrintMessage(0, "both\n");
    EXPECT_EQ(Log(), "both\n");
    EXPECT_EQ(Console(), "console only\nboth\n");
}

TEST_F(Routing, NoProgressDropsProgressLinesButNotMessages) {
    reporter_.SetProgressOn(false);
    reporter_.MarkConsoleLineClosed(true);
    reporter_.WriteProgressLine("20%\r");
    EXPECT_TRUE(reporter_.ConsoleLineClosed());
    reporter_.MarkConsoleLineClosed(false);
    reporter_.PrintNotice(0, "notice\n");
    EXPECT_EQ(Console(), "notice\n");
    EXPECT_TRUE(reporter_.ConsoleOn());
    EXPECT_FALSE(reporter_.ProgressShown());
}

TEST_F(Routing, ConsoleTextMovesToStandardErrorAfterWhatWasPending) {
    reporter_.WriteStdout("usage\n", 6);
    const int flushesBefore = console_.output.Flushes();
    reporter_.SendConsoleTextToStandardError(true);
    EXPECT_EQ(console_.output.Flushes(), flushesBefore + 1);
    reporter_.PrintNotice(0, "－ notice\n");
    reporter_.WriteProgressLine("5%\r");
    reporter_.SendConsoleTextToStandardError(false);
    reporter_.PrintMessage(0, "back\n");
    EXPECT_EQ(Console(), "usage\nback\n");
    EXPECT_EQ(console_.output.StandardError(), "\r\n－ notice\n5%\r");
}

TEST_F(Routing, ProgressLinesArePushedOutAtMostEvery100Ms) {
    reporter_.FlushStdout();
    const int start = console_.output.Flushes();
    reporter_.WriteProgressLine("1\r");
    reporter_.WriteProgressLine("2\r");
    console_.output.AdvanceTick(99);
    reporter_.WriteProgressLine("3\r");
    EXPECT_EQ(console_.output.Flushes(), start);
    EXPECT_EQ(console_.output.Unflushed(), 6u);
    console_.output.AdvanceTick(1);
    reporter_.WriteProgressLine("4\r");
    EXPECT_EQ(console_.output.Flushes(), start + 1);
    // A message line waits the same way, the end of the open line with it.
    console_.output.AdvanceTick(50);
    reporter_.PrintNotice(0, "m\n");
    EXPECT_EQ(console_.output.Flushes(), start + 1);
    EXPECT_EQ(console_.output.Unflushed(), 4u);
    console_.output.AdvanceTick(50);
    reporter_.PrintMessage(0, "rewrite\r");
    EXPECT_EQ(console_.output.Flushes(), start + 2);
    EXPECT_EQ(console_.output.Unflushed(), 0u);
    // The wait starts again from that flush.
    console_.output.AdvanceTick(99);
    reporter_.WriteProgressLine("5\r");
    EXPECT_EQ(console_.output.Unflushed(), 2u);
}

TEST_F(Routing, NothingLeavesBeforeAFlushPointAndEverythingInOrderAfter) {
    LogOn();
    reporter_.MarkConsoleLineClosed(true);
    reporter_.FlushStdout();
    const int flushes = console_.output.Flushes();
    reporter_.WriteProgressLine("1%\r");
    reporter_.PrintNotice(0, "DROP : PID 0x%04X , %d Drop \r\n", 0x100, 1);
    reporter_.PrintMessage(0, "%s", "bare");
    console_.output.AdvanceTick(99);
    reporter_.WriteProgressLine("2%\r");
    reporter_.PrintNotice(0, "DROP : PID 0x%04X , %d Drop \r\n", 0x100, 2);
    const std::string written = "1%\r\r\nDROP : PID 0x0100 , 1 Drop \r\nbare2%\r\r\nDROP : PID 0x0100 , 2 Drop \r\n";
    EXPECT_EQ(Console(), written);
    EXPECT_EQ(console_.output.Flushes(), flushes);
    EXPECT_EQ(console_.output.Unflushed(), written.size());
    EXPECT_FALSE(console_.output.HasLog(kLog));
    console_.output.AdvanceTick(1);
    reporter_.PrintMessage(0, "end\n");
    EXPECT_EQ(console_.output.Flushes(), flushes + 1);
    EXPECT_EQ(console_.output.Unflushed(), 0u);
    EXPECT_EQ(console_.output.LogWrites(), 1);
    EXPECT_EQ(Console(), written + "end\n");
    EXPECT_EQ(console_.output.Log(kLog), "DROP : PID 0x0100 , 1 Drop \r\nbare\r\nDROP : PID 0x0100 , 2 Drop \r\nend\n");
}

TEST_F(Routing, FlushIfDueActsOnlyOnWaitingTextOnceTheSpacingHasPassed) {
    LogOn();
    reporter_.FlushStdout();
    const int flushes = console_.output.Flushes();
    console_.output.AdvanceTick(500);
    reporter_.FlushIfDue();
    EXPECT_EQ(console_.output.Flushes(), flushes);
    // Long after the last flush point a line goes out at once.
    reporter_.PrintMessage(0, "late\n");
    EXPECT_EQ(console_.output.Flushes(), flushes + 1);
    EXPECT_EQ(console_.output.Log(kLog), "late\n");
    console_.output.AdvanceTick(10);
    reporter_.PrintMessage(0, "soon after\n");
    console_.output.AdvanceTick(89);
    reporter_.FlushIfDue();
    EXPECT_EQ(console_.output.Log(kLog), "late\n");
    EXPECT_EQ(console_.output.Unflushed(), 11u);
    console_.output.AdvanceTick(1);
    reporter_.FlushIfDue();
    EXPECT_EQ(console_.output.Flushes(), flushes + 2);
    EXPECT_EQ(console_.output.Unflushed(), 0u);
    EXPECT_EQ(console_.output.Log(kLog), "late\nsoon after\n");
}

TEST_F(Routing, APacketLoopLetsWaitingTextOutOnlyOnceDue) {
    LogOn();
    reporter_.FlushStdout();
    const int flushes = console_.output.Flushes();
    for (int packet = 0; packet < 1000; ++packet)
        reporter_.FlushIfDueFromPacketLoop();
    EXPECT_EQ(console_.output.Flushes(), flushes);
    reporter_.PrintMessage(0, "DROP\r\n");
    console_.output.AdvanceTick(99);
    for (int packet = 0; packet < 1000; ++packet)
        reporter_.FlushIfDueFromPacketLoop();
    EXPECT_FALSE(console_.output.HasLog(kLog));
    console_.output.AdvanceTick(1);
    // A few dozen packets take well under a millisecond.
    for (int packet = 0; packet < 100; ++packet)
        reporter_.FlushIfDueFromPacketLoop();
    EXPECT_EQ(console_.output.Flushes(), flushes + 1);
    EXPECT_EQ(console_.output.Log(kLog), "DROP\r\n");
}

TEST_F(Routing, FlushStdoutPushesTheConsoleAndWritesTheLogOnce) {
    LogOn();
    reporter_.FlushStdout();
    const int flushes = console_.output.Flushes();
    reporter_.PrintMessage(0, "a\n");
    reporter_.PrintMessage(0, "b");
    reporter_.FlushStdout();
    EXPECT_EQ(console_.output.Flushes(), flushes + 1);
    EXPECT_EQ(console_.output.Unflushed(), 0u);
    EXPECT_EQ(console_.output.LogWrites(), 1);
    EXPECT_EQ(console_.output.Log(kLog), "a\nb\r\n");
    // Nothing gathered: the log is not opened again.
    reporter_.FlushStdout();
    EXPECT_EQ(console_.output.LogWrites(), 1);
}

TEST_F(Routing, ChangingTheLogWritesWhatWasGatheredForTheOldOneFirst) {
    RecordingOutput& output = console_.output;
    reporter_.SetLog(true, "old.log");
    reporter_.PrintMessage(0, "for old\n");
    reporter_.SetLog(true, "new.log");
    EXPECT_EQ(output.Log("old.log"), "for old\n");
    EXPECT_FALSE(output.HasLog("new.log"));
    reporter_.PrintMessage(0, "for new\n");
    reporter_.SetLogOn(false);
    EXPECT_EQ(output.Log("new.log"), "for new\n");
    reporter_.PrintMessage(0, "console only\n");
    reporter_.SetLogOn(true);
    reporter_.PrintMessage(0, "new again\n");
    reporter_.FlushStdout();
    EXPECT_EQ(output.Log("old.log"), "for old\n");
    EXPECT_EQ(output.Log("new.log"), "for new\nnew again\n");
    EXPECT_EQ(Console(), "for old\nfor new\nconsole only\nnew again\n");
}

TEST_F(Routing, AHeldLogLosesTheBatchWrittenWhileItIsHeld) {
    LogOn();
    reporter_.PrintMessage(0, "kept\n");
    reporter_.FlushStdout();
    // Gathered before the hold, written while it lasts: part of that batch.
    reporter_.PrintMessage(0, "gathered before\n");
    console_.output.LockLog(kLog);
    reporter_.PrintMessage(0, "while held\n");
    reporter_.FlushStdout();
    console_.output.UnlockLog();
    reporter_.PrintMessage(0, "after\n");
    EXPECT_EQ(Log(), "kept\nafter\n");
    EXPECT_EQ(Console(), "kept\ngathered before\nwhile held\nafter\n");
}

TEST_F(Routing, LinesFromTwoThreadsKeepTheirOrderAndNoneIsLost) {
    LogOn();
    reporter_.SetConsoleOn(false);
    constexpr int kLines = 2000;
    auto print = [this](char name) {
        for (int i = 0; i < kLines; ++i) {
            reporter_.PrintMessage(0, "%c%04d\n", name, i);
            if (i % 100 == 99) reporter_.FlushStdout();
        }
    };
    std::thread first(print, 'A');
    std::thread second(print, 'B');
    first.join();
    second.join();
    const std::string log = Log();
    ASSERT_EQ(log.size(), 2u * kLines * 6);
    int next[2] = {0, 0};
    for (std::size_t at = 0; at < log.size(); at += 6) {
        const char name = log[at];
        ASSERT_TRUE(name == 'A' || name == 'B') << at;
        char expected[8];
        std::snprintf(expected, sizeof expected, "%c%04d\n", name, next[name - 'A']++);
        ASSERT_EQ(log.substr(at, 6), expected);
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
}

TEST_F(Routing, LongTextIsCutToTheBufferAndShortHintStillTakes260) {
    LogOn();
    const std::string forty(40, 'f');
    const std::string long300(300, 'x');
    reporter_.PrintMessage(0, "%s", forty.c_str());
    reporter_.PrintMessage(0, "%s", long300.c_str());
    reporter_.PrintMessage(520, "%s", long300.c_str());
    EXPECT_EQ(Console(), forty + std::string(259, 'x') + long300);
    EXPECT_EQ(Log(), forty + "\r\n" + std::string(259, 'x') + "\r\n" + long300 + "\r\n");
}

TEST_F(Routing, CutNeverLeavesHalfADoubleByteCharacter) {
    // 258 single bytes, then "あ" (0x82 0xA0): only its lead byte would fit
    // into the 259 text bytes of the buffer.
    const std::string text = std::string(258, 'a') + "\x82\xa0";
    reporter_.PrintMessage(0, "%s", text.c_str());
    EXPECT_EQ(Console(), std::string(258, 'a'));
    const std::string fits = std::string(257, 'a') + "\x82\xa0";
    reporter_.PrintMessage(0, "%s", fits.c_str());
    EXPECT_EQ(Console(), std::string(258, 'a') + fits);
}

TEST_F(Routing, MessageBytesAreCodePage932) {
    reporter_.PrintMessage(0, "－ 閉じられます\n");
    EXPECT_EQ(Console(), "\x81\x7c\x20\x95\xc2\x82\xb6\x82\xe7\x82\xea\x82\xdc\x82\xb7\n");
}

namespace {

std::string Utf8Text(const char8_t* text) {
    return std::string(reinterpret_cast<const char*>(text));
}

}  // namespace

// ---- Progress lines in two parts ---------------------------------------------

namespace {

struct TwoPartLine {
    std::string head;
    std::string tail;
};

// The console after a flush point, each line written in two parts (the head
// prepared again whenever it changes) or whole.
std::string WrittenInTwoParts(bool utf8, const std::vector<TwoPartLine>& lines) {
    RecordingReporter console(utf8);
    ProgressLine head;
    const std::string* prepared = nullptr;
    for (const TwoPartLine& line : lines) {
        if (prepared == nullptr || *prepared != line.head) {
            console.reporter.SetProgressHead(head, line.head.data(), line.head.size());
            prepared = &line.head;
        }
        console.reporter.WriteProgressLine(head, line.tail.data(), line.tail.size());
    }
    console.reporter.FlushStdout();
    return console.output.StandardOutput();
}

std::string WrittenWhole(bool utf8, const std::vector<TwoPartLine>& lines) {
    RecordingReporter console(utf8);
    for (const TwoPartLine& line : lines) {
        console.reporter.WriteProgressLine((line.head + line.tail).c_str());
    }
    console.reporter.FlushStdout();
    return console.output.StandardOutput();
}

}  // namespace

TEST(TwoPartProgress, GivesTheBytesOfTheWholeLineInEitherEncoding) {
    const std::vector<TwoPartLine> lines = {
        {"－ 1 % , PCR 0:00:01.000 , ", "+0xBC\r"},
        {"－ 1 % , PCR 0:00:01.000 , ", "+0x178\r"},
        {"－ 2 % , PCR 0:00:01.040 , ", "+0x234\r"},
        {"", "+0x0\r"},
        {"－ ", "\r"},
        // A lead byte at the end of the head: "\x81@" is one character.
        {"－ \x81", "@\r"},
        // A tail that is not ASCII.
        {"－ ", "\x82\xa0\r"},
        {"－ 3 % , ", "+0x2F0\r"},
    };
    for (const bool utf8 : {false, true}) {
        EXPECT_EQ(WrittenInTwoParts(utf8, lines), WrittenWhole(utf8, lines)) << (utf8 ? "UTF-8" : "CP932");
    }
    EXPECT_EQ(WrittenInTwoParts(true, {{"－ \x81", "@\r"}, {"－ 5 % , ", "+0xBC\r"}}),
              Utf8Text(u8"－ \u3000\r－ 5 % , +0xBC\r"));
}

TEST(TwoPartProgress, TheSameThreadsMessageComesAfterItsGatheredLines) {
    RecordingReporter console;
    Reporter& reporter = console.reporter;
    reporter.MarkConsoleLineClosed(true);
    ProgressLine head;
    reporter.SetProgressHead(head, "P ", 2);
    reporter.WriteProgressLine(head, "1\r", 2);
    reporter.WriteProgressLine(head, "2\r", 2);
    EXPECT_FALSE(reporter.ConsoleLineClosed());
    reporter.PrintNotice(0, "DROP\n");
    reporter.WriteProgressLine(head, "3\r", 2);
    reporter.WriteConsoleText("x");
    reporter.SetProgressOn(false);
    reporter.WriteProgressLine(head, "4\r", 2);
    reporter.FlushStdout();
    EXPECT_EQ(console.output.StandardOutput(), "P 1\rP 2\r\r\nDROP\nP 3\rx");
}

TEST(TwoPartProgress, ManyMoreLinesThanOneBatchHoldsComeOutInOrder) {
    RecordingReporter console;
    Reporter& reporter = console.reporter;
    ProgressLine head;
    const std::string headText = "－ 7 % , PCR 1:02:03.456 , ";
    reporter.SetProgressHead(head, headText.data(), headText.size());
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        char tail[32];
        const int length = std::snprintf(tail, sizeof tail, "+0x%X\r", 188 * i);
        reporter.WriteProgressLine(head, tail, static_cast<std::size_t>(length));
        expected += headText + tail;
        if (i % 1000 == 999) {
            reporter.WriteConsoleText("|");
            expected += "|";
        }
    }
    reporter.FlushStdout();
    EXPECT_EQ(console.output.StandardOutput(), expected);
}

TEST(TwoPartProgress, APacketLoopsDueFlushHandsTheGatheredLinesOn) {
    RecordingReporter console;
    Reporter& reporter = console.reporter;
    reporter.FlushStdout();
    ProgressLine head;
    reporter.SetProgressHead(head, "P ", 2);
    console.output.AdvanceTick(100);
    for (int i = 0; i < 64; ++i) {
        reporter.WriteProgressLine(head, "1\r", 2);
        reporter.FlushIfDueFromPacketLoop();
    }
    EXPECT_EQ(console.output.Unflushed(), 0u);
    EXPECT_EQ(console.output.StandardOutput().substr(0, 8), "P 1\rP 1\r");
}

TEST(TwoPartProgress, LinesStillGatheredWhenTheReporterEndsReachTheOutput) {
    RecordingOutput output;
    {
        Reporter reporter(output);
        reporter.SetConsoleOn(true);
        ProgressLine head;
        reporter.SetProgressHead(head, "P ", 2);
        reporter.WriteProgressLine(head, "1\r", 2);
        reporter.WriteProgressLine(head, "2\r", 2);
    }
    EXPECT_EQ(output.StandardOutput(), "P 1\rP 2\r");
}

// Two threads write progress lines and messages at once: every line comes
// out once, each thread's in its own order (a data race shows under the
// thread sanitizer).
TEST(TwoPartProgress, LinesOfTwoThreadsAtOnceAreAllThereInTheirOrder) {
    RecordingReporter console;
    Reporter& reporter = console.reporter;
    constexpr int kLines = 3000;
    auto write = [&reporter](char name) {
        ProgressLine head;
        const char headText[] = {name, ' '};
        reporter.SetProgressHead(head, headText, 2);
        for (int i = 0; i < kLines; ++i) {
            char tail[16];
            std::snprintf(tail, sizeof tail, "%04d\r", i);
            reporter.WriteProgressLine(head, tail, 5);
            if (i % 7 == 0) reporter.PrintMessage(0, "%c%04d\n", name, i);
            if (i % 500 == 499) reporter.FlushStdout();
        }
        reporter.FlushStdout();
    };
    std::thread first(write, 'A');
    std::thread second(write, 'B');
    first.join();
    second.join();
    const std::string out = console.output.StandardOutput();
    int nextLine[2] = {0, 0};
    int nextMessage[2] = {0, 0};
    std::size_t at = 0;
    while (at < out.size()) {
        const char name = out[at];
        ASSERT_TRUE(name == 'A' || name == 'B') << at;
        const int who = name - 'A';
        char expected[16];
        if (out[at + 1] == ' ') {
            std::snprintf(expected, sizeof expected, "%c %04d\r", name, nextLine[who]++);
            ASSERT_EQ(out.substr(at, 7), expected) << at;
            at += 7;
        } else {
            std::snprintf(expected, sizeof expected, "%c%04d\n", name, nextMessage[who]);
            nextMessage[who] += 7;
            ASSERT_EQ(out.substr(at, 6), expected) << at;
            at += 6;
        }
    }
    for (const int who : {0, 1}) {
        EXPECT_EQ(nextLine[who], kLines);
        EXPECT_EQ(nextMessage[who], (kLines + 6) / 7 * 7);
    }
}

TEST(Utf8Routing, MessagesProgressAndConsoleTextConvertAndAreNotCut) {
    RecordingReporter console(/*utf8=*/true);
    Reporter& reporter = console.reporter;
    reporter.SetLog(true, kLog);
    const std::string longPath = Utf8Text(u8"録画/") + std::string(300, 'p');
    reporter.PrintMessage(0, "－ ファイルがありません %s\n", longPath.c_str());
    reporter.MarkConsoleLineClosed(true);
    reporter.WriteProgressLine("－ 50 %\r");
    reporter.WriteConsoleText("\x82\xa0\n");
    const std::string message = Utf8Text(u8"－ ファイルがありません ") + longPath + "\n";
    EXPECT_EQ(console.output.StandardOutput(), message + Utf8Text(u8"－ 50 %\r") + Utf8Text(u8"あ\n"));
    EXPECT_EQ(console.output.Log(kLog), message);
}

TEST(Switches, ConsoleSwitchesComeBackAsSaved) {
    RecordingOutput output;
    Reporter reporter(output);
    EXPECT_FALSE(reporter.ConsoleOn());
    EXPECT_TRUE(reporter.ProgressOn());
    reporter.SetConsoleOn(true);
    reporter.SetProgressOn(false);
    const ConsoleSwitches saved = reporter.Console();
    reporter.SetConsoleOn(false);
    reporter.SetProgressOn(true);
    EXPECT_FALSE(reporter.ProgressShown());
    reporter.RestoreConsole(saved);
    EXPECT_TRUE(reporter.ConsoleOn());
    EXPECT_FALSE(reporter.ProgressOn());
    reporter.RestoreConsole(ConsoleSwitches{true, true});
    EXPECT_TRUE(reporter.ProgressShown());
}

TEST(Switches, LogPathThatDoesNotFitLeavesTheOldOne) {
    RecordingOutput output;
    Reporter reporter(output);
    reporter.SetLog(true, "a.log");
    const std::string tooLong(kMaxPath, 'l');
    reporter.SetLog(true, tooLong.c_str());
    EXPECT_EQ(reporter.LogPath(), "a.log");
    const std::string longest(kMaxPath - 1, 'l');
    reporter.SetLog(false, longest.c_str());
    EXPECT_EQ(reporter.LogPath(), longest);
    EXPECT_FALSE(reporter.LogOn());
}

namespace {

// The process's own console and log files.
class ProcessFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("trelvan_report_") + info->name() + "_" + std::to_string(platform::ProcessId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        logPath_ = (dir_ / "run.log").string();
        reporter_.SetConsoleOn(true);
        reporter_.SetLog(true, logPath_.c_str());
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string LogContents() const {
        std::ifstream in(logPath_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void BeginCapture() {
        reporter_.FlushStdout();
        ::testing::internal::CaptureStdout();
    }
    std::string EndCapture() {
        reporter_.FlushStdout();
        return ::testing::internal::GetCapturedStdout();
    }
    fs::path dir_;
    std::string logPath_;
    ProcessConsole console_;
    Reporter reporter_{console_};
};

}  // namespace

TEST_F(ProcessFiles, LockedLogLosesTheBatchButTheConsoleShowsIt) {
    reporter_.PrintMessage(0, "before\n");
    reporter_.FlushStdout();
    platform::FileHandle holder = platform::OpenAppendExclusive(logPath_.c_str());
    ASSERT_NE(holder, platform::kInvalidFile);
    BeginCapture();
    reporter_.PrintMessage(0, "first while held\n");
    reporter_.PrintMessage(0, "second while held\r");
    const std::string console = EndCapture();
    platform::CloseFile(holder);
    reporter_.PrintMessage(0, "after\n");
    reporter_.FlushStdout();
    EXPECT_EQ(LogContents(), "before\nafter\n");
    if (std::getenv("TRELVAN_CHARSET") == nullptr) {
        EXPECT_EQ(console, "first while held\nsecond while held\r");
    }
}

TEST_F(ProcessFiles, TheLogFileGetsNothingBeforeAFlushPointAndOneBatchAfter) {
    reporter_.SetConsoleOn(false);
    const uint32_t start = platform::TickCount();
    reporter_.FlushStdout();
    reporter_.PrintMessage(0, "one\n");
    reporter_.PrintMessage(0, "two\r\n");
    reporter_.PrintMessage(0, "three");
    // A machine that took 100 ms for this has reached a flush point.
    if (platform::TickCount() - start < 100) {
        EXPECT_FALSE(fs::exists(logPath_));
    }
    reporter_.FlushStdout();
    EXPECT_EQ(LogContents(), "one\ntwo\r\nthree\r\n");
    // Between flush points the log is free for others to take.
    platform::FileHandle other = platform::OpenAppendExclusive(logPath_.c_str());
    EXPECT_NE(other, platform::kInvalidFile);
    platform::CloseFile(other);
}

TEST_F(ProcessFiles, ConsoleBytesAreCodePage932UnlessUtf8IsAsked) {
    BeginCapture();
    reporter_.PrintMessage(0, "－ 閉じられます\n");
    const std::string console = EndCapture();
    // Unless TRELVAN_CHARSET=UTF-8 is set, the bytes go out as written.
    if (std::getenv("TRELVAN_CHARSET") == nullptr) {
        EXPECT_EQ(console, "\x81\x7c\x20\x95\xc2\x82\xb6\x82\xe7\x82\xea\x82\xdc\x82\xb7\n");
    } else {
        EXPECT_EQ(console, Utf8Text(u8"－ 閉じられます\n"));
    }
}

TEST_F(ProcessFiles, AppendToFileAppendsOrTruncatesAndReportsExistence) {
    const std::string path = (dir_ / "piece.txt").string();
    EXPECT_FALSE(AppendToFile("", "x", 1, true));
    EXPECT_FALSE(AppendToFile(path.c_str(), nullptr, 1, true));
    EXPECT_FALSE(AppendToFile(path.c_str(), "x", 0, true));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(AppendToFile(path.c_str(), "abc", 3, true));
    EXPECT_TRUE(AppendToFile(path.c_str(), "def", 3, true));
    EXPECT_EQ(fs::file_size(path), 6u);
    EXPECT_TRUE(AppendToFile(path.c_str(), "xy", 2, false));
    EXPECT_EQ(fs::file_size(path), 2u);
    EXPECT_FALSE(AppendToFile((dir_ / "no" / "dir.txt").string().c_str(), "x", 1, true));
}

TEST(Utf8Messages, OwnTextConvertsAndAPathPassesAsItIs) {
    // The format is the program's code page 932 text; the path is the
    // locale's UTF-8, which as a whole would not convert from code page 932.
    const std::string path = Utf8Text(u8"録画/番組.ts");
    EXPECT_EQ(FormatUtf8Message("－ ファイルがありません %s\n", path.c_str()),
              Utf8Text(u8"－ ファイルがありません 録画/番組.ts\n"));
    // Code page 932 text in an argument (a service name, a status word) converts.
    EXPECT_EQ(FormatUtf8Message("0x%04x %s %s\r\n", 0x400, "お", "ＮＨＫ"), Utf8Text(u8"0x0400 お ＮＨＫ\r\n"));
    EXPECT_EQ(FormatUtf8Message("－ BonDriverチューナー 開始%s %s\n", "成功", path.c_str()),
              Utf8Text(u8"－ BonDriverチューナー 開始成功 録画/番組.ts\n"));
    // Other conversions and "%%" are left alone; the text is not cut.
    const std::string longText(400, 'x');
    EXPECT_EQ(FormatUtf8Message("%d%% %5s|%-3s|%s", 50, "ab", "c", longText.c_str()), "50%    ab|c  |" + longText);
    // Bytes that are neither UTF-8 nor code page 932 stay as they are.
    EXPECT_EQ(FormatUtf8Message("%s", "\xff\xfe"), "\xff\xfe");
}

// Only the escapes the decoder writes, for symbols with a character, turn
// into characters; a path in the locale's UTF-8 is never touched.
TEST(Utf8Messages, SymbolEscapesAndLookalikes) {
    EXPECT_EQ(FormatUtf8Message("%s", "&&#xe285;&#xe285"), Utf8Text(u8"&\u27A1&#xe285"));
    EXPECT_EQ(FormatUtf8Message("%s", "\x82\xA0&#x00a9;"), Utf8Text(u8"\u3042\U0001F12B"));
    for (const char* stays : {"&#xE285;", "&#x1f12c;", "&#xe28;", "&#x0041;", "&#xe2f8;", "&#xe285 ", "&#x"}) {
        EXPECT_EQ(FormatUtf8Message("%s|", stays), std::string(stays) + "|");
    }
    // The program's own text is never broadcast text.
    EXPECT_EQ(FormatUtf8Message("&#xe285; %d", 1), "&#xe285; 1");
#ifndef _WIN32
    const std::string path = Utf8Text(u8"録画/&#xe285;.ts");
    EXPECT_EQ(FormatUtf8Message("%s", path.c_str()), path);
#endif
}

// The converters are kept between messages: a refused piece (half a
// double-byte character) must leave the next message's bytes as they were.
TEST(Utf8Messages, BytesStayTheSameAcrossMessagesAndAfterARefusedPiece) {
    const std::string path = Utf8Text(u8"録画/番組.ts");
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(FormatUtf8Message("%s|", "ab\x82"), "ab\x82|");
        EXPECT_EQ(FormatUtf8Message("－ ファイルがありません %s\n", path.c_str()),
                  Utf8Text(u8"－ ファイルがありません 録画/番組.ts\n"));
        EXPECT_EQ(FormatUtf8Message("%s\x82", "ＮＨＫ"), "\xef\xbc\xae\xef\xbc\xa8\xef\xbc\xab\x82");
        EXPECT_EQ(FormatUtf8Message("DROP : PID 0x%04X , %lld Drop , %s \r\n", 0x100, 3LL, "PCR 0:00:01.000"),
                  "DROP : PID 0x0100 , 3 Drop , PCR 0:00:01.000 \r\n");
    }
}
