// Passes over the inputs, the usage text, process support and shut-down.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "app/app_internal.h"
#include "app/find_files.h"
#include "app/run_settings.h"
#include "common/process_state.h"
#include "common/text.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> jobsRun;
std::vector<std::string> logpathsSeen;
int32_t jobResult = 0;
int stopAfter = -1;
bool jobServes = true;

int32_t FakeJob(Reporter& reporter) {
    jobsRun.emplace_back(RunSettings.currentInput);
    if (jobServes) ++ServedJobs;
    logpathsSeen.emplace_back(RunSettings.logpath);
    // What a job may do: fill defaults and silence the console.
    CopyText(RunSettings.logpath, sizeof RunSettings.logpath, "derived.log");
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, "derived.ts");
    reporter.SetConsoleOn(false);
    if (stopAfter >= 0 && static_cast<int>(jobsRun.size()) >= stopAfter) StopRequested = 1;
    return jobResult;
}

ByteBuffer InputList(std::initializer_list<const char*> paths) {
    ByteBuffer list;
    for (const char* path : paths)
        list.Append(path, static_cast<int32_t>(std::strlen(path) + 1), kTextSlack);
    return list;
}

class Passes : public ::testing::Test {
protected:
    void SetUp() override {
        RunSettings = RunSettingsRecord{};
        console_.reporter.SetProgressOn(false);
        StopRequested = 0;
        jobsRun.clear();
        logpathsSeen.clear();
        jobResult = 0;
        stopAfter = -1;
        jobServes = true;
    }
    void TearDown() override {
        RunSettings = RunSettingsRecord{};
        StopRequested = 0;
        StopReason = 0;
    }
    int32_t RunPasses(const ByteBuffer& list, int32_t (*job)(Reporter&)) {
        return ::RunPasses(console_.reporter, list, job);
    }
    RecordingReporter console_;
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(Passes, WithoutLoopOnePassInCommandLineOrder) {
    jobResult = 3;
    const ByteBuffer list = InputList({"a.ts", "b.ts", "c.ts"});
    EXPECT_EQ(RunPasses(list, FakeJob), 9);
    EXPECT_EQ(jobsRun, (Names{"a.ts", "b.ts", "c.ts"}));
}

TEST_F(Passes, LoopCountMakesThatManyPasses) {
    RunSettings.loop = true;
    RunSettings.loopCount = 2;
    const ByteBuffer list = InputList({"a.ts", "b.ts"});
    RunPasses(list, FakeJob);
    EXPECT_EQ(jobsRun, (Names{"a.ts", "b.ts", "a.ts", "b.ts"}));
    RunSettings.loopCount = 1;
    jobsRun.clear();
    RunPasses(list, FakeJob);
    EXPECT_EQ(jobsRun.size(), 2u);
}

TEST_F(Passes, EndlessLoopEndsOnlyWithAStopRequest) {
    RunSettings.loop = true;
    stopAfter = 7;
    const ByteBuffer list = InputList({"a.ts", "b.ts"});
    RunPasses(list, FakeJob);
    EXPECT_EQ(jobsRun.size(), 7u);
}

TEST_F(Passes, StopDuringFirstInputSkipsTheRest) {
    stopAfter = 1;
    jobResult = 5;
    const ByteBuffer list = InputList({"a.ts", "b.ts", "c.ts"});
    EXPECT_EQ(RunPasses(list, FakeJob), 5);
    EXPECT_EQ(jobsRun, Names{"a.ts"});
}

TEST_F(Passes, EveryJobStartsFromTheCommandLineValues) {
    CopyText(RunSettings.logpath, sizeof RunSettings.logpath, "given.log");
    const ByteBuffer list = InputList({"a.ts", "b.ts"});
    RunPasses(list, FakeJob);
    EXPECT_EQ(logpathsSeen, (Names{"given.log", "given.log"}));
    EXPECT_STREQ(RunSettings.logpath, "given.log");
    EXPECT_STREQ(RunSettings.throughpath, "");
    // The job switched the console off; the next one finds it on again.
    EXPECT_TRUE(console_.reporter.ConsoleOn());
    EXPECT_FALSE(console_.reporter.ProgressOn());
}

TEST_F(Passes, EmptyListRunsNothing) {
    RunSettings.loop = true;
    const ByteBuffer list;
    EXPECT_EQ(RunPasses(list, FakeJob), 0);
    EXPECT_TRUE(jobsRun.empty());
}

TEST_F(Passes, LoopPassWithoutAnyServedJobWaitsASecond) {
    RunSettings.loop = true;
    RunSettings.loopCount = 2;
    jobServes = false;
    const ByteBuffer list = InputList({"missing.ts"});
    const uint32_t start = platform::TickCount();
    RunPasses(list, FakeJob);
    const uint32_t elapsed = platform::TickCount() - start;
    EXPECT_EQ(jobsRun.size(), 2u);
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 1900u);  // one wait, between the two passes only

    // Passes that carried packets follow each other at once.
    jobServes = true;
    RunSettings.loopCount = 20;
    jobsRun.clear();
    const uint32_t busyStart = platform::TickCount();
    RunPasses(list, FakeJob);
    EXPECT_EQ(jobsRun.size(), 20u);
    EXPECT_LT(platform::TickCount() - busyStart, 500u);
}

TEST_F(Passes, StopRequestEndsTheIdleWait) {
    RunSettings.loop = true;
    jobServes = false;
    const ByteBuffer list = InputList({"missing.ts"});
    std::thread stopper([] {
        platform::SleepMs(200);
        StopRequested = 1;
    });
    const uint32_t start = platform::TickCount();
    RunPasses(list, FakeJob);
    const uint32_t elapsed = platform::TickCount() - start;
    stopper.join();
    EXPECT_EQ(jobsRun.size(), 1u);
    EXPECT_LT(elapsed, 700u);
}

TEST(Usage, TextBytesWithProgramNameAndContactLines) {
    char saved[kMaxPath];
    std::memcpy(saved, ProgramName, sizeof saved);
    CopyText(ProgramName, sizeof ProgramName, "trelvan");
    RecordingReporter console;
    PrintUsage(console.reporter);
    const std::string out = console.output.StandardOutput();
    std::memcpy(ProgramName, saved, sizeof saved);
    EXPECT_EQ(console.output.Unflushed(), 0u);

    // "引数\n" and the start of line 2 as code page 932 bytes.
    ASSERT_GE(out.size(), 40u);
    EXPECT_EQ(out.substr(0, 5), "\x88\xf8\x90\x94\n");
    EXPECT_EQ(out.substr(5, 29), "\x81\x40trelvan.exe[ -srcpath] \x93\xfc\x97\xcd");

    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(out.substr(start, end - start + 1));
    }
    EXPECT_EQ(start, out.size());
    ASSERT_EQ(lines.size(), 31u);
    EXPECT_EQ(lines[2], "説明\n");
    EXPECT_EQ(
        lines[5],
        "　　ファイルパス, 標準入力 \"CON\", パイプ \"\\\\.\\pipe\\SendTSTCP_ポート番号_親プロセスID\", BonDriver "
        "\"\\\\.\\bondriver\\チューナー空間番号\\BonDriver内部チャンネル番号\\BonDriverdllパス\" "
        "いずれかを指定する\n");
    EXPECT_EQ(lines[6], "　-throughpath 出力tsファイルパス　(省略時 入力tsファイルパス＋'.trelvan'＋拡張子)\n");
    EXPECT_EQ(lines[7],
              "　　ファイルパス, 標準出力 \"CON\", SendTSTcp.dll送信先 "
              "\"\\\\.\\sendtstcp\\送信先:ポート番号\\SendTSTcp.dllパス\"  いずれかを指定する\n");
    EXPECT_EQ(lines[26], "　-rwcntdrop \"PID:秒;...;PID:秒\"\n");
    EXPECT_EQ(lines[27], "　　巡回カウンタをドロップしているように書き換える\n");
    EXPECT_EQ(lines[28], "連絡先他\n");
    EXPECT_EQ(lines[29], "　trelvan\n");
    EXPECT_EQ(lines[30], "　trelvan transport stream pass-through; questions and bug reports: see README.md\n");
}

namespace {

class TempFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("trelvan_app_") + info->name() + "_" + std::to_string(platform::ProcessId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::memcpy(savedTempDir_, TempDir, sizeof savedTempDir_);
    }
    void TearDown() override {
        std::memcpy(TempDir, savedTempDir_, sizeof savedTempDir_);
        StopRequested = 0;
        fs::remove_all(dir_);
    }
    void Touch(const fs::path& name) const { std::ofstream(dir_ / name) << "x"; }
    static std::vector<std::string> Names(const CFindFileInfo* list) {
        std::vector<std::string> names;
        for (; list != nullptr; list = list->next)
            names.push_back(fs::path(list->path).filename().string());
        return names;
    }
    fs::path dir_;
    char savedTempDir_[kMaxPath] = {};
};

}  // namespace

TEST_F(TempFiles, PatternListPutsLaterPatternsInFront) {
    Touch("a1");
    Touch("a2");
    Touch("b1");
    Touch("c1");
    fs::create_directory(dir_ / "a_dir");
    CFindFileInfo* list = nullptr;
    FindFiles(dir_.string().c_str(), "a*;b*", list, false, false);
    const std::vector<std::string> names = Names(list);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "b1");
    std::vector<std::string> rest(names.begin() + 1, names.end());
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"a1", "a2"}));
    EXPECT_EQ(std::string(list->path), (dir_ / "b1").string());
    EXPECT_EQ(list->reserved, -1);
    EXPECT_EQ(list->size, 1u);

    // New matches go in front of what the list already holds.
    FindFiles((dir_.string() + "/").c_str(), "c*", list, false, true);
    EXPECT_EQ(Names(list)[0], "c1");
    EXPECT_EQ(std::string(list->path), (dir_ / "c1").string());
    FreeFindList(list);
    EXPECT_EQ(list, nullptr);

    FindFiles(dir_.string().c_str(), "a*", list, false, true);
    EXPECT_EQ(Names(list).size(), 3u);  // the directory too
    FreeFindList(list);
    FindFiles(dir_.string().c_str(), "", list, false, true);
    FindFiles("", "*", list, false, true);
    EXPECT_EQ(list, nullptr);
}

TEST_F(TempFiles, RecursionSearchesSubdirectories) {
    fs::create_directories(dir_ / "sub" / "deeper");
    Touch("top.tmp");
    Touch(fs::path("sub") / "mid.tmp");
    Touch(fs::path("sub") / "deeper" / "low.tmp");
    CFindFileInfo* list = nullptr;
    FindFiles(dir_.string().c_str(), "*.tmp", list, true, false);
    std::vector<std::string> names = Names(list);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"low.tmp", "mid.tmp", "top.tmp"}));
    FreeFindList(list);
}

TEST_F(TempFiles, ShutDownRemovesOnlyStaleTemporaryFiles) {
    for (const char* name :
         {"QMV1A2B.tmp", "QMV1A2B.tmp.bak", "QMV1A2.tmp", "QMV1A2BC.tmp", "XQMV1A2B.tmp", "QMV1A2B.txt", "keep.ts"}) {
        Touch(name);
    }
    ASSERT_TRUE(CopyText(TempDir, sizeof TempDir, (dir_.string() + "/").c_str()));
    ShutDown();
    EXPECT_EQ(StopRequested.load(), 1);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"QMV1A2.tmp", "QMV1A2B.txt", "QMV1A2BC.tmp", "XQMV1A2B.tmp", "keep.ts"}));
}

#ifndef _WIN32
TEST_F(TempFiles, ShutDownLeavesLinksDirectoriesAndOtherUsersFiles) {
    const fs::path outside = dir_ / "outside";
    fs::create_directory(outside);
    std::ofstream(outside / "precious.ts") << "x";
    fs::create_symlink(outside / "precious.ts", dir_ / "QMVLINK.tmp");
    fs::create_directory(dir_ / "QMVDIRS.tmp");
    Touch("QMVMINE.tmp");
    const bool root = ::geteuid() == 0;
    if (root) {
        Touch("QMVTHEM.tmp");
        ASSERT_EQ(::chown((dir_ / "QMVTHEM.tmp").string().c_str(), 65534, 65534), 0);
    }
    ASSERT_TRUE(CopyText(TempDir, sizeof TempDir, (dir_.string() + "/").c_str()));
    ShutDown();
    EXPECT_FALSE(fs::exists(dir_ / "QMVMINE.tmp"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "QMVLINK.tmp"));
    EXPECT_TRUE(fs::exists(outside / "precious.ts"));
    EXPECT_TRUE(fs::is_directory(dir_ / "QMVDIRS.tmp"));
    if (!root) GTEST_SKIP() << "another user's file needs root to make";
    EXPECT_TRUE(fs::exists(dir_ / "QMVTHEM.tmp"));
}
#endif

TEST(ControlEvents, CtrlCAndClosingStopInOrderOthersAreDeclined) {
    // The second request starts a watch that holds on to the reporter.
    static RecordingReporter console;
    Reporter& reporter = console.reporter;
    reporter.MarkConsoleLineClosed(false);
    EXPECT_TRUE(ConsoleControlHandler(reporter, 0));
    EXPECT_EQ(StopReason.load(), 1);
    EXPECT_EQ(StopRequested.load(), 1);
    EXPECT_TRUE(reporter.ConsoleLineClosed());
    EXPECT_EQ(console.output.Unflushed(), 0u);
    EXPECT_TRUE(ConsoleControlHandler(reporter, 2));
    EXPECT_EQ(StopReason.load(), 2);
    reporter.SetProgressOn(false);
    reporter.MarkConsoleLineClosed(false);
    EXPECT_TRUE(ConsoleControlHandler(reporter, 0));
    EXPECT_EQ(StopReason.load(), 1);
    EXPECT_FALSE(reporter.ConsoleLineClosed());
    StopReason = 0;
    EXPECT_FALSE(ConsoleControlHandler(reporter, 1));
    EXPECT_FALSE(ConsoleControlHandler(reporter, 5));
    EXPECT_FALSE(ConsoleControlHandler(reporter, 6));
    EXPECT_EQ(StopReason.load(), 0);
    StopRequested = 0;
    const std::string out = console.output.StandardOutput();
    EXPECT_EQ(out, "－ CTRL+Cが押されました\n－ 閉じられます\n");
    EXPECT_EQ(out.substr(0, 3), "\x81\x7c\x20");
}

TEST(StartUpState, ProgramNameAndTempDir) {
    RecordingReporter console;
    StartUp(console.reporter);
    EXPECT_STREQ(ProgramName, "test_app");
    ASSERT_NE(TempDir[0], '\0');
    EXPECT_EQ(TempDir[std::strlen(TempDir) - 1], platform::PathSeparator());
    EXPECT_TRUE(platform::PathExists(TempDir));
}
