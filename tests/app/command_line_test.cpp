// Option grammar: prefix matching in a fixed order, values by state.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "app/app_internal.h"
#include "app/run_settings.h"
#include "endpoints/endpoints.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"

namespace {

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        RunSettings = RunSettingsRecord{};
        ReleasePlugins();
    }
    void TearDown() override {
        RunSettings = RunSettingsRecord{};
        ReleasePlugins();
    }
    RecordingReporter console_;
    // Parses "trelvan" followed by the arguments; returns the input list.
    std::vector<std::string> Parse(std::initializer_list<const char*> args, bool expectOk = true) {
        std::vector<std::string> storage{"trelvan"};
        for (const char* arg : args)
            storage.emplace_back(arg);
        std::vector<char*> argv;
        for (std::string& s : storage)
            argv.push_back(s.data());
        ByteBuffer list;
        EXPECT_EQ(ParseCommandLine(console_.reporter, static_cast<int>(argv.size()), argv.data(), list), expectOk);
        std::vector<std::string> inputs;
        const char* p = list.Text();
        const char* end = p + (list.used > 0 ? list.used : 0);
        while (p < end) {
            inputs.emplace_back(p);
            p += inputs.back().size() + 1;
        }
        return inputs;
    }
};

using Inputs = std::vector<std::string>;

}  // namespace

TEST_F(CommandLine, PiddefSetsPidAndLeavesItsValueAnInput) {
    EXPECT_EQ(Parse({"-piddef", "5", "in.ts"}), (Inputs{"5", "in.ts"}));
    EXPECT_TRUE(RunSettings.pid);
}

TEST_F(CommandLine, LongerOptionsActAsTheirPrefixKeyword) {
    EXPECT_EQ(Parse({"-logfile", "a.ts"}), Inputs{"a.ts"});
    EXPECT_TRUE(RunSettings.log);
    RunSettings = RunSettingsRecord{};
    EXPECT_EQ(Parse({"-log2", "b.ts"}), Inputs{"b.ts"});
    EXPECT_TRUE(RunSettings.log);
    EXPECT_EQ(RunSettings.logpath[0], '\0');
    RunSettings = RunSettingsRecord{};
    // Shorter than every keyword it resembles: nothing at all.
    EXPECT_EQ(Parse({"-lo", "-dro", "c.ts"}), Inputs{"c.ts"});
    EXPECT_FALSE(RunSettings.log);
    EXPECT_FALSE(RunSettings.drop);
}

TEST_F(CommandLine, LogpathIgnoresCaseAndTurnsLoggingOn) {
    EXPECT_EQ(Parse({"-LOGPATH", "x.log", "in.ts"}), Inputs{"in.ts"});
    EXPECT_TRUE(RunSettings.log);
    EXPECT_STREQ(RunSettings.logpath, "x.log");
}

TEST_F(CommandLine, SwitchesSetTheirFields) {
    EXPECT_TRUE(Parse({"-sync", "-capstr", "-detail", "-sdt", "-eit", "-pause", "-drop", "-wraparound", "-nodel",
                       "-srcpath", "-noprogress"})
                    .empty());
    EXPECT_TRUE(RunSettings.sync && RunSettings.capstr && RunSettings.detail && RunSettings.sdt && RunSettings.eit &&
                RunSettings.pause && RunSettings.drop && RunSettings.wraparound && RunSettings.nodel);
    EXPECT_FALSE(RunSettings.log || RunSettings.pid || RunSettings.loop);
    EXPECT_TRUE(console_.reporter.ConsoleOn());
    EXPECT_FALSE(console_.reporter.ProgressOn());
}

TEST_F(CommandLine, LoopCountIsAttachedNeverTheNextArgument) {
    EXPECT_EQ(Parse({"-loop3", "a.ts"}), Inputs{"a.ts"});
    EXPECT_TRUE(RunSettings.loop);
    EXPECT_EQ(RunSettings.loopCount, 3);
    RunSettings = RunSettingsRecord{};
    EXPECT_EQ(Parse({"-loop", "3", "a.ts"}), (Inputs{"3", "a.ts"}));
    EXPECT_TRUE(RunSettings.loop);
    EXPECT_EQ(RunSettings.loopCount, 0);
    RunSettings = RunSettingsRecord{};
    // "-1" is an option that matches nothing.
    EXPECT_EQ(Parse({"-loop", "-1", "a.ts"}), Inputs{"a.ts"});
    EXPECT_TRUE(RunSettings.loop);
    EXPECT_EQ(RunSettings.loopCount, 0);
    RunSettings = RunSettingsRecord{};
    Parse({"-LOOPx"});
    EXPECT_TRUE(RunSettings.loop);
    EXPECT_EQ(RunSettings.loopCount, 0);
}

TEST_F(CommandLine, UndropTargetKeepsPidAndCaptionBitsApart) {
    Parse({"-rwcntundrop", "256", "-rwcntundrop", "caption"});
    EXPECT_EQ(RunSettings.rwcntundrop, 0x10100u);
    RunSettings = RunSettingsRecord{};
    Parse({"-rwcntundrop", "CAPTIONS", "-rwcntundrop", "256"});
    EXPECT_EQ(RunSettings.rwcntundrop, 0x10100u);
    RunSettings = RunSettingsRecord{};
    Parse({"-rwcntundrop", "65537", "-rwcntundrop", "caption", "-rwcntundrop", "17"});
    EXPECT_EQ(RunSettings.rwcntundrop, 0x10011u);
}

TEST_F(CommandLine, PidsAreReadInHexadecimalAndNonNumbersAreNamedOnce) {
    Parse({"-rwcntundrop", "0x1FF", "-rwcntdrop", "0x111:1;x12:2,273:3;:4,", "-rwcntundrop", "0x", "in.ts"});
    const std::string out = console_.output.StandardOutput();
    // "0x" alone names no PID and leaves the earlier 0x1FF in place.
    EXPECT_EQ(RunSettings.rwcntundrop, 0x1FFu);
    EXPECT_EQ(RunSettings.rwcntdrop, std::optional<std::string>("0x111:1;x12:2,273:3;:4,"));
    EXPECT_EQ(out,
              "－ PIDが数値ではありません x12:2\n"
              "－ PIDが数値ではありません :4\n"
              "－ PIDが数値ではありません 0x\n");
}

TEST_F(CommandLine, HelpFormsAreRecognisedWholeOnly) {
    for (const char* form : {"-h", "-H", "-help", "--help", "--HELP", "-?"})
        EXPECT_TRUE(IsHelpArgument(form)) << form;
    for (const char* other : {"-hx", "help", "-", "--", "-?x", "-hel", "h"})
        EXPECT_FALSE(IsHelpArgument(other)) << other;
#ifdef _WIN32
    EXPECT_TRUE(IsHelpArgument("/?"));
#else
    EXPECT_FALSE(IsHelpArgument("/?"));
#endif
}

TEST_F(CommandLine, IgnoredValueOptionsConsumeTheirValue) {
    EXPECT_EQ(Parse({"-wsize", "1280x720", "-dump", "x", "-wcaption", "y", "-capmergepatch", "z", "-filterpath", "f",
                     "-paramhex", "0a", "in.ts"}),
              Inputs{"in.ts"});
    EXPECT_FALSE(RunSettings.pid);
}

TEST_F(CommandLine, UnknownOptionsAreIgnoredAndEmptyInputsSkipped) {
    EXPECT_EQ(Parse({"-bogus", "a.ts", "", "-zz", "b.ts"}), (Inputs{"a.ts", "b.ts"}));
}

TEST_F(CommandLine, ValueOptionsStoreTheirValues) {
    const Inputs inputs = Parse({"-throughpath", "out.ts", "-bufsize", "65536", "-duration", "1-2", "-duration", "3-4",
                                 "-rwcntdrop", "256:1;257:2", "-patchtime", "-5", "-patchtime", "7", "in.ts"});
    // "-5" is read as an option, so patchtime takes the later 7.
    EXPECT_EQ(inputs, Inputs{"in.ts"});
    EXPECT_STREQ(RunSettings.throughpath, "out.ts");
    EXPECT_EQ(RunSettings.bufsize, 65536u);
    EXPECT_EQ(RunSettings.duration, std::optional<std::string>("3-4"));
    EXPECT_EQ(RunSettings.rwcntdrop, std::optional<std::string>("256:1;257:2"));
    EXPECT_EQ(RunSettings.rwcntdropCursor, 0u);
    EXPECT_EQ(RunSettings.patchtime, 7);
}

TEST_F(CommandLine, ValueOptionLastOnTheLineOnlyMatches) {
    EXPECT_TRUE(Parse({"a.ts", "-logpath"}) == Inputs{"a.ts"});
    EXPECT_TRUE(RunSettings.log);
    EXPECT_EQ(RunSettings.logpath[0], '\0');
}

TEST_F(CommandLine, PluginPathsAreKeptOncePerDistinctPath) {
    Parse({"-tvtppath", "p.tvtp", "-tvtppath", "P.tvtp", "-tvtppath", "p.tvtp", "in.ts"});
    ASSERT_NE(PluginList, nullptr);
    EXPECT_STREQ(PluginList->path, "p.tvtp");
    ASSERT_NE(PluginList->next, nullptr);
    EXPECT_STREQ(PluginList->next->path, "P.tvtp");
    EXPECT_EQ(PluginList->next->next, nullptr);
    EXPECT_FALSE(PluginList->loaded || PluginList->started);
    ReleasePlugins();
    EXPECT_EQ(PluginList, nullptr);
}

TEST_F(CommandLine, TooLongPathIsRefusedWithOneNotice) {
    const std::string longPath(kMaxPath, 'p');
    std::vector<std::string> storage{"trelvan", "-logpath", longPath, "in.ts"};
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(s.data());
    ByteBuffer list;
    EXPECT_FALSE(ParseCommandLine(console_.reporter, 4, argv.data(), list));
    const std::string out = console_.output.StandardOutput();
    EXPECT_EQ(out, "－ パスが長すぎます " + longPath + "\n");
    EXPECT_EQ(RunSettings.logpath[0], '\0');
    EXPECT_EQ(list.used, 0);

    // One byte shorter fits, terminator included.
    RunSettings = RunSettingsRecord{};
    const std::string fits(kMaxPath - 1, 'q');
    EXPECT_EQ(Parse({"-throughpath", fits.c_str(), fits.c_str()}), Inputs{fits});
    EXPECT_EQ(std::string(RunSettings.throughpath), fits);
    Parse({"-srcpath", longPath.c_str()}, false);
}

TEST(OptionPrefix, SlashStartsAnOptionOnlyOnWindows) {
    EXPECT_TRUE(IsOptionArgument("-log"));
#ifdef _WIN32
    EXPECT_TRUE(IsOptionArgument("/log"));
#else
    EXPECT_FALSE(IsOptionArgument("/tmp/in.ts"));
#endif
    EXPECT_FALSE(IsOptionArgument("in.ts"));
    EXPECT_FALSE(IsOptionArgument(""));
}

TEST(ExitCode, ClampedToEightBitsOnPosix) {
    EXPECT_EQ(ExitStatus(0), 0);
    EXPECT_EQ(ExitStatus(17), 17);
#ifdef _WIN32
    EXPECT_EQ(ExitStatus(256), 256);
#else
    EXPECT_EQ(ExitStatus(255), 255);
    EXPECT_EQ(ExitStatus(256), 255);
    EXPECT_EQ(ExitStatus(100000), 255);
    EXPECT_EQ(ExitStatus(-1), 255);
#endif
}
