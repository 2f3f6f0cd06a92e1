// The built program run as a user runs it (TRELVAN_EXE names it).
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/limits.h"
#include "platform/platform.h"
#include "tests/app/program_fixture.h"
#include "tests/support/stream_builder.h"

namespace fs = std::filesystem;

using Program = ProgramFixture;

TEST_F(Program, NoArgumentsPrintsUsageAndSkipsShutDown) {
    std::ofstream(dir_ / "QMV1A2B.tmp") << "x";
    const RunResult result = Run("");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.substr(0, 5), "\x88\xf8\x90\x94\n");  // "引数\n"
    const std::string name = fs::path(exe_).stem().string();
    EXPECT_NE(result.out.find("\x81\x40" + name + ".exe[ -srcpath] "), std::string::npos);
    const std::string tail =
        "連絡先他\n　trelvan\n　trelvan transport stream pass-through; questions and bug reports: see README.md\n";
    ASSERT_GE(result.out.size(), tail.size());
    EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
    EXPECT_TRUE(fs::exists(dir_ / "QMV1A2B.tmp"));
}

TEST_F(Program, Utf8ConsoleOnRequest) {
    const RunResult result = Run("", "TRELVAN_CHARSET=UTF-8");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.substr(0, 7), "\xe5\xbc\x95\xe6\x95\xb0\n");
}

TEST_F(Program, HelpPrintsTheUsageAndRunsNoJob) {
    const RunResult usage = Run("");
    std::ofstream(dir_ / "QMV1A2B.tmp") << "x";
    for (const char* form : {"--help", "-h", "-help", "-?"}) {
        // The input beside it is not run: no output file appears.
        const RunResult result = Run(std::string("-drop in.ts '") + form + "'");
        EXPECT_EQ(result.exitCode, 0) << form;
        EXPECT_EQ(result.out, usage.out) << form;
    }
    EXPECT_FALSE(fs::exists(dir_ / "in.trelvan.ts"));
    EXPECT_TRUE(fs::exists(dir_ / "QMV1A2B.tmp"));
}

TEST_F(Program, ConsoleTextFollowsTheLocale) {
    const std::string cp932 = "\x88\xf8\x90\x94\n";  // "引数\n"
    const std::string utf8 = "\xe5\xbc\x95\xe6\x95\xb0\n";
    struct Case {
        const char* environment;
        const std::string& expected;
    };
    const Case cases[] = {
        {"LC_ALL= LC_CTYPE= LANG=ja_JP.UTF-8", utf8},
        {"LC_ALL= LC_CTYPE= LANG=en_US.utf8", utf8},
        {"LC_ALL= LC_CTYPE= LANG=C.UTF-8@euro", utf8},
        {"LC_ALL= LC_CTYPE= LANG=ja_JP.SJIS", cp932},
        {"LC_ALL= LC_CTYPE= LANG=C", cp932},
        {"LC_ALL= LC_CTYPE= LANG=", cp932},
        {"LC_ALL= LC_CTYPE=ja_JP.UTF-8 LANG=C", utf8},
        {"LC_ALL=POSIX LC_CTYPE=ja_JP.UTF-8 LANG=ja_JP.UTF-8", cp932},
        {"LC_ALL=C.UTF-8 TRELVAN_CHARSET=CP932", cp932},
        {"LC_ALL=C TRELVAN_CHARSET=utf-8", utf8},
    };
    for (const Case& c : cases) {
        const RunResult result = Run("", c.environment);
        EXPECT_EQ(result.exitCode, 0) << c.environment;
        EXPECT_EQ(result.out.substr(0, c.expected.size()), c.expected) << c.environment;
    }
}

TEST_F(Program, SwitchesWithoutInputRunNoJobAndShutDown) {
    std::ofstream(dir_ / "QMV1A2B.tmp") << "x";
    std::ofstream(dir_ / "QMV1A2B.tmp.bak") << "x";
    std::ofstream(dir_ / "QMV1A2.tmp") << "x";
    const RunResult quiet = Run("-log -drop");
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_FALSE(fs::exists(dir_ / "QMV1A2B.tmp"));
    EXPECT_FALSE(fs::exists(dir_ / "QMV1A2B.tmp.bak"));
    EXPECT_TRUE(fs::exists(dir_ / "QMV1A2.tmp"));

    const RunResult detail = Run("-detail");
    EXPECT_EQ(detail.exitCode, 0);
    EXPECT_EQ(detail.out, "－ 終了します. ( 戻り値 : 0 )\n");
}

TEST_F(Program, ProcessIdLine) {
    const RunResult result = Run("-pid");
    EXPECT_EQ(result.exitCode, 0);
    const std::string prefix = "－ プロセスID ";
    ASSERT_GT(result.out.size(), prefix.size() + 2);
    EXPECT_EQ(result.out.substr(0, prefix.size()), prefix);
    EXPECT_EQ(result.out.substr(result.out.size() - 2), "\r\n");
    EXPECT_GT(std::atol(result.out.c_str() + prefix.size()), 0);
}

TEST_F(Program, TooLongLogPathEndsTheRunBeforeAnyJob) {
    const std::string longPath(kMaxPath, 'L');
    std::ofstream(dir_ / "in.ts") << "";
    const RunResult result = Run("-detail -logpath " + longPath + " in.ts");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, "－ パスが長すぎます " + longPath + "\n－ 終了します. ( 戻り値 : 255 )\n");
    // Nothing was written beside the input: no log under a cut name.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"in.ts"});
}
TEST_F(Program, FirstMessageOfTheNextJobEndsTheLastProgressLine) {
    // An SDT naming service 0x0400 "お", then two plain packets: the service
    // line comes before the job's first progress line.
    const tsb::Bytes body{0x7F, 0xE1, 0xFF, 0x04, 0x00, 0xFC, 0x80, 0x07, 0x48, 0x05, 0x01, 0x00, 0x02, 0x24, 0x2A};
    tsb::StreamBuilder builder;
    builder.Section(0x0011, tsb::MakeSection(0x42, 1, body));
    builder.Packet(0x0100);
    builder.Packet(0x0100);
    ASSERT_TRUE(tsb::WriteFileBytes((dir_ / "s.ts").string(), builder.Data()));
    const RunResult result = Run("s.ts s.ts -sdt -throughpath /dev/null");
    EXPECT_EQ(result.exitCode, 0);
    const std::string service = "0x0400 お \r\n";
    EXPECT_EQ(result.out.substr(0, 2 + service.size()), "\r\n" + service);
    const std::size_t second = result.out.find(service, 2 + service.size());
    ASSERT_NE(second, std::string::npos);
    ASSERT_GE(second, 4u);
    // Job 1's last progress line ends in "\r" and the job adds "\n"; the
    // line still counts as open, so job 2's service line adds "\r\n".
    EXPECT_EQ(result.out.substr(second - 4, 4), "\r\n\r\n");
}

TEST_F(Program, OutputThatIsTheInputIsRefusedAndTheRecordingKept) {
    const std::string rec = WriteStream("rec.ts", 50);
    const std::string other = WriteStream("b.ts", 30);
    fs::create_symlink("rec.ts", dir_ / "link.ts");
    const char* commands[] = {"rec.ts -drop -throughpath rec.ts", "rec.ts -drop -throughpath link.ts",
                              "rec.ts b.ts -drop -throughpath b.ts"};
    const char* notices[] = {
        "－ 出力ファイルが入力ファイルと同じです rec.ts\n", "－ 出力ファイルが入力ファイルと同じです link.ts\n",
        "－ 出力ファイルが入力ファイルと同じです b.ts\n－ 出力ファイルが入力ファイルと同じです b.ts\n"};
    for (int i = 0; i < 3; ++i) {
        const RunResult result = Run(commands[i]);
        EXPECT_EQ(result.exitCode, 255) << commands[i];
        EXPECT_EQ(result.out, notices[i]);
        EXPECT_EQ(ReadText(dir_ / "rec.ts"), rec);
        EXPECT_EQ(ReadText(dir_ / "b.ts"), other);
    }
}

TEST_F(Program, LogThatIsTheOutputIsRefused) {
    WriteStream("rec.ts", 50);
    const RunResult result = Run("rec.ts -noprogress -logpath out.ts -throughpath out.ts");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, "－ ログファイルが入力・出力ファイルと同じです out.ts\n");
    EXPECT_FALSE(fs::exists(dir_ / "out.ts"));
}

TEST_F(Program, OutputThatCannotBeCreatedFailsTheRunButKeepsTheSummary) {
    WriteStream("rec.ts", 50);
    fs::create_directory(dir_ / "adir");
    const RunResult result = Run("rec.ts -drop -noprogress -detail -throughpath adir");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out,
              "－ 出力ファイルを作成できません adir\n\n－ DROP rec.ts\r\n"
              "0x0100 : 0x01 : 0 Drop : 50 Total \r\n\r\n－ 終了します. ( 戻り値 : 255 )\n");
}

TEST_F(Program, StreamOnStandardOutputStaysPure) {
    const std::string rec = WriteStream("rec.ts", 300);
    fs::create_directory(dir_ / "adir");
    const RunResult result = Run("rec.ts missing.ts -pid -detail -throughpath CON");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, rec);
    const std::string prefix = "－ プロセスID ";
    ASSERT_GT(result.err.size(), prefix.size());
    EXPECT_EQ(result.err.substr(0, prefix.size()), prefix);
    const std::string tail = "\r\n－ ファイルがありません missing.ts\n－ 終了します. ( 戻り値 : 255 )\n";
    ASSERT_GT(result.err.size(), tail.size());
    EXPECT_EQ(result.err.substr(result.err.size() - tail.size()), tail);
}

TEST_F(Program, PauseNeverTakesTheStreamFromStandardInput) {
    const std::string rec = WriteStream("rec.ts", 40);
    // No terminal (a new session): the prompt shows, nothing waits, and the
    // console source runs until the interrupt.
    const RunResult result = Run("CON -pause -noprogress -throughpath out.ts", "", "rec.ts", "timeout -s INT 2 setsid");
    EXPECT_EQ(result.out, "－ 続行するには何かキーを押してください . . .\r\n\n");
    EXPECT_EQ(ReadText(dir_ / "out.ts"), rec);
}

TEST_F(Program, Utf8MessageCarriesAUtf8PathUnchanged) {
    const RunResult result =
        Run(std::string("'") + reinterpret_cast<const char*>(u8"録画/番組.ts") + "'", "TRELVAN_CHARSET=UTF-8");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, reinterpret_cast<const char*>(u8"－ ファイルがありません 録画/番組.ts\n"));
}
#endif
