// The stream job: checks and their messages, default names, log settings and
// the summary.
#include <gtest/gtest.h>

#include <filesystem>

#include "report/report.h"
#include "tests/engine/worker_test_support.h"

namespace {

using worker_test::CapturedRun;
using worker_test::Text;

struct JobDir {
    std::filesystem::path dir = tsb::TempPath("job");
    JobDir() {
        std::filesystem::create_directories(dir);
        CopyText(ProgramName, sizeof ProgramName, "P");
    }
    ~JobDir() { std::filesystem::remove_all(dir); }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
};

tsb::StreamBuilder Packets(int count, uint16_t pid = 0x100) {
    tsb::StreamBuilder builder;
    for (int i = 0; i < count; ++i) {
        builder.Packet(pid, tsb::Bytes(184, static_cast<uint8_t>(i)));
    }
    return builder;
}

int32_t RunInput(Reporter& reporter, const std::string& input) {
    CopyText(RunSettings.currentInput, sizeof RunSettings.currentInput, input.c_str());
    return RunJob(reporter);
}

TEST(RunJob, EmptyInputDoesNothing) {
    CapturedRun capture;
    EXPECT_EQ(RunInput(capture.reporter, ""), 0);
    EXPECT_EQ(capture.Messages(), "");
}

TEST(RunJob, MissingFileIsReportedWithoutTheOffset) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("none.ts");
    EXPECT_EQ(RunInput(capture.reporter, input + ";1000"), 0);
    EXPECT_EQ(capture.Messages(), Text("－ ファイルがありません ") + input + "\n");
}

TEST(RunJob, ShortOrUnalignedFileIsNotAStream) {
    CapturedRun capture;
    JobDir dir;
    const std::string small = dir.Path("small.ts");
    tsb::Bytes bytes(384, 0);
    bytes[0] = 0x47;
    bytes[188] = 0x47;
    ASSERT_TRUE(tsb::WriteFileBytes(small, bytes));
    const std::string noise = dir.Path("noise.ts");
    ASSERT_TRUE(tsb::WriteFileBytes(noise, tsb::Bytes(2000, 0x47 ^ 0xFF)));
    EXPECT_EQ(RunInput(capture.reporter, small), 0);
    EXPECT_EQ(RunInput(capture.reporter, noise), 0);
    EXPECT_EQ(capture.Messages(), Text("－ tsファイルではありません ") + small + "\n" +
                                      Text("－ tsファイルではありません ") + noise + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.Path("small.P.ts")));
}

TEST(RunJob, TunerPathChecksInOrder) {
    CapturedRun capture;
    JobDir dir;
    const std::string noSpace = "\\\\.\\bondriver\\\\1\\x.dll";
    const std::string noChannel = "\\\\.\\bondriver\\0\\\\x.dll";
    const std::string noDriver = "\\\\.\\bondriver\\0\\1\\" + dir.Path("missing.so");
    EXPECT_EQ(RunInput(capture.reporter, noSpace), 0);
    EXPECT_EQ(RunInput(capture.reporter, noChannel), 0);
    EXPECT_EQ(RunInput(capture.reporter, noDriver), 0);
    EXPECT_EQ(capture.Messages(), Text("－ BonDriverチューナー空間番号がありません ") + noSpace + "\n" +
                                      Text("－ BonDriverチューナー内部チャンネル番号がありません ") + noChannel + "\n" +
                                      Text("－ BonDriverがありません ") + noDriver + "\n");
}

// The notice names the sender library's file as the platform's build makes it.
#ifdef _WIN32
const char* const kNoSenderLibrary = "－ SendTSTCP.dllがありません ";
#else
const char* const kNoSenderLibrary = "－ SendTSTCP.soがありません ";
#endif

TEST(RunJob, SenderPathChecksInOrder) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    ASSERT_TRUE(tsb::WriteFileBytes(input, Packets(4).Data()));
    const char* outputs[] = {"\\\\.\\sendtstcp\\:1234\\x.dll", "\\\\.\\sendtstcp\\127.0.0.1\\x.dll",
                             "\\\\.\\sendtstcp\\127.0.0.1:1234\\"};
    for (const char* output : outputs) {
        CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, output);
        EXPECT_EQ(RunInput(capture.reporter, input), 0);
    }
    EXPECT_EQ(capture.Messages(), Text("－ SendTSTCP送信先がありません ") + outputs[0] + "\n" +
                                      Text("－ SendTSTCP送信先ポートがありません ") + outputs[1] + "\n" +
                                      Text(kNoSenderLibrary) + outputs[2] + "\n");
}

// A bracketed IPv6 literal is one host, its colons included; only the
// colon behind the bracket starts the port.
TEST(RunJob, SenderPathTakesBracketedIpv6Hosts) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    ASSERT_TRUE(tsb::WriteFileBytes(input, Packets(4).Data()));
    const std::string missing = dir.Path("missing.dll");
    const std::string outputs[] = {"\\\\.\\sendtstcp\\[::1]:1234\\" + missing, "\\\\.\\sendtstcp\\[::1]\\" + missing,
                                   "\\\\.\\sendtstcp\\[]:1234\\" + missing};
    for (const std::string& output : outputs) {
        CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, output.c_str());
        EXPECT_EQ(RunInput(capture.reporter, input), 0);
    }
    EXPECT_EQ(capture.Messages(), Text(kNoSenderLibrary) + outputs[0] + "\n" +
                                      Text("－ SendTSTCP送信先ポートがありません ") + outputs[1] + "\n" +
                                      Text("－ SendTSTCP送信先がありません ") + outputs[2] + "\n");
}

TEST(RunJob, DefaultOutputAndLogNamesFollowTheInput) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    const tsb::StreamBuilder builder = Packets(10);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    RunSettings.log = true;
    RunSettings.drop = true;
    EXPECT_EQ(RunInput(capture.reporter, input + ";376"), 0);
    EXPECT_STREQ(RunSettings.throughpath, dir.Path("a.P.ts").c_str());
    EXPECT_STREQ(RunSettings.logpath, dir.Path("a.P.log").c_str());
    EXPECT_EQ(capture.reporter.LogPath(), dir.Path("a.P.log"));
    EXPECT_EQ(tsb::ReadFileBytes(dir.Path("a.P.ts")), tsb::Bytes(builder.Data().begin() + 376, builder.Data().end()));
    // The end of a job is a flush point for the passes over the inputs.
    capture.reporter.FlushStdout();
    const tsb::Bytes log = tsb::ReadFileBytes(dir.Path("a.P.log"));
    EXPECT_EQ(std::string(log.begin(), log.end()),
              // The worker cuts the start offset off the source path for good.
              Text("－ DROP ") + input + "\r\n0x0100 : 0x09 : 0 Drop : 8 Total \r\n\r\n");
}

#ifndef _WIN32
TEST(RunJob, LongDirectoryPartIsNoReasonToRefuse) {
    CapturedRun capture;
    JobDir dir;
    // A directory part of more than 255 bytes: 100 kanji in three folders.
    std::string kanji;
    for (int i = 0; i < 34; ++i) {
        kanji += reinterpret_cast<const char*>(u8"録");
    }
    const std::filesystem::path deep = dir.dir / kanji / kanji / kanji;
    std::filesystem::create_directories(deep);
    const std::string input = (deep / "a.ts").string();
    const tsb::StreamBuilder builder = Packets(4);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    FailedJobs = 0;
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    EXPECT_EQ(capture.Messages(), "");
    EXPECT_EQ(FailedJobs, 0);
    EXPECT_EQ(tsb::ReadFileBytes((deep / "a.P.ts").string()), builder.Data());
}

TEST(RunJob, DerivedNameBeyondThePathLimitIsRefusedAsAFailure) {
    CapturedRun capture;
    JobDir dir;
    // An input path of kMaxPath - 2 bytes: ".P" makes its output too long.
    std::filesystem::path deep = dir.dir;
    while (deep.string().size() + 1 + 200 + 6 < kMaxPath - 2) {
        deep /= std::string(200, 'd');
    }
    const std::size_t nameLength = kMaxPath - 2 - deep.string().size() - 1 - 3;
    std::filesystem::create_directories(deep);
    const std::string input = (deep / (std::string(nameLength, 'n') + ".ts")).string();
    ASSERT_EQ(input.size(), kMaxPath - 2);
    ASSERT_TRUE(tsb::WriteFileBytes(input, Packets(4).Data()));
    FailedJobs = 0;
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    const std::string output = input.substr(0, input.size() - 3) + ".P.ts";
    EXPECT_EQ(capture.Messages(), Text("－ パスが長すぎます ") + output + "\n");
    EXPECT_STREQ(RunSettings.throughpath, "");
    EXPECT_EQ(FailedJobs, 1);
}
#endif

TEST(RunJob, TransportStreamAsLogFileDisablesTheLog) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    const std::string logTs = dir.Path("log.ts");
    const tsb::StreamBuilder builder = Packets(4);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    ASSERT_TRUE(tsb::WriteFileBytes(logTs, builder.Data()));
    RunSettings.log = true;
    CopyText(RunSettings.logpath, sizeof RunSettings.logpath, logTs.c_str());
    const std::string captureLog = capture.log;
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    // Printed under the settings active before the job: the capture log.
    const tsb::Bytes messages = tsb::ReadFileBytes(captureLog);
    EXPECT_EQ(std::string(messages.begin(), messages.end()),
              Text("－ ログファイルにtsファイルが指定されているためログ出力を無効にしました ") + logTs + "\n");
    EXPECT_FALSE(RunSettings.log);
    EXPECT_STREQ(RunSettings.logpath, "");
    EXPECT_FALSE(capture.reporter.LogOn());
    EXPECT_EQ(tsb::ReadFileBytes(logTs), builder.Data());
}

TEST(RunJob, SummaryCountsDropsWithThePluralRule) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    tsb::StreamBuilder builder;
    for (int cc : {5, 9, 10}) {
        builder.SetCounter(0x111, static_cast<uint8_t>(cc));
        builder.Packet(0x111);
    }
    for (int cc : {0, 1, 5, 9}) {
        builder.SetCounter(0x222, static_cast<uint8_t>(cc));
        builder.Packet(0x222);
    }
    builder.Packet(0x333);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, dir.Path("out.ts").c_str());
    EXPECT_EQ(RunInput(capture.reporter, input), 0);  // without -drop nothing is summed
    RunSettings.drop = true;
    const std::string before = capture.Messages();
    EXPECT_EQ(RunInput(capture.reporter, input), 3);
    const std::string summary = capture.Messages().substr(before.size());
    const std::string table = Text("－ DROP ") + input + "\r\n" +
                              "0x0111 : 0x0A : 1 Drop : 3 Total \r\n"
                              "0x0222 : 0x09 : 2 Drops : 4 Total \r\n"
                              "0x0333 : 0x00 : 0 Drop : 1 Total \r\n"
                              "\r\n";
    EXPECT_EQ(summary.substr(summary.size() - std::min(summary.size(), table.size())), table);
}

TEST(RunJob, PcrPidIsMarkedAndLeftOutOfTheTotal) {
    CapturedRun capture;
    RunSettings.drop = true;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    tsb::StreamBuilder builder;
    builder.Pcr(0x1FF, 0);
    builder.SetCounter(0x1FF, 7);
    builder.Pcr(0x1FF, 9000);  // a drop counted before the PMT names the PID
    builder.Section(0x000, tsb::PatSection(1, {{1, 0x1F0}}));
    builder.Section(0x1F0, tsb::PmtSection(1, 0x1FF, {{0x02, 0x111, {}}}));
    builder.Pcr(0x1FF, 18000);
    builder.Packet(0x111);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, dir.Path("out.ts").c_str());
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    const std::string messages = capture.Messages();
    EXPECT_NE(messages.find(Text("0x01FF : 0x07 : 1 Drop : 2 Total 対象外\r\n")), std::string::npos) << messages;
}

TEST(RunJob, OutputNamingTheInputIsRefusedAndTheInputKept) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("rec.ts");
    const tsb::StreamBuilder builder = Packets(10);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    const std::string spellings[] = {input, dir.Path("./rec.ts"), dir.Path("sub/../rec.ts")};
    std::filesystem::create_directories(dir.dir / "sub");
    FailedJobs = 0;
    std::string expected;
    for (const std::string& output : spellings) {
        CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, output.c_str());
        EXPECT_EQ(RunInput(capture.reporter, input + ";188"), 0);
        expected += Text("－ 出力ファイルが入力ファイルと同じです ") + output + "\n";
    }
    EXPECT_EQ(capture.Messages(), expected);
    EXPECT_EQ(FailedJobs, 3);
    EXPECT_EQ(tsb::ReadFileBytes(input), builder.Data());
}

TEST(RunJob, OutputNamingALaterInputIsRefusedBeforeItIsWritten) {
    CapturedRun capture;
    JobDir dir;
    const std::string first = dir.Path("a.ts");
    const std::string second = dir.Path("b.ts");
    const tsb::StreamBuilder builder = Packets(10);
    ASSERT_TRUE(tsb::WriteFileBytes(first, Packets(5).Data()));
    ASSERT_TRUE(tsb::WriteFileBytes(second, builder.Data()));
    ByteBuffer inputs;
    for (const std::string& path : {first, second}) {
        inputs.Append(path.c_str(), static_cast<int32_t>(path.size() + 1), kTextSlack);
    }
    CommandLineInputs = &inputs;
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, second.c_str());
    FailedJobs = 0;
    EXPECT_EQ(RunInput(capture.reporter, first), 0);
    CommandLineInputs = nullptr;
    inputs.Free();
    EXPECT_EQ(capture.Messages(), Text("－ 出力ファイルが入力ファイルと同じです ") + second + "\n");
    EXPECT_EQ(FailedJobs, 1);
    EXPECT_EQ(tsb::ReadFileBytes(second), builder.Data());
}

TEST(RunJob, LogNamingTheOutputOrTheInputIsRefused) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    const tsb::StreamBuilder builder = Packets(10);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    const std::string output = dir.Path("out.ts");
    FailedJobs = 0;
    // Neither exists yet: the same name in the same directory collides all the same.
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, output.c_str());
    CopyText(RunSettings.logpath, sizeof RunSettings.logpath, dir.Path("./out.ts").c_str());
    RunSettings.log = true;
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    EXPECT_FALSE(std::filesystem::exists(output));
    CopyText(RunSettings.logpath, sizeof RunSettings.logpath, input.c_str());
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    EXPECT_EQ(capture.Messages(), Text("－ ログファイルが入力・出力ファイルと同じです ") + dir.Path("./out.ts") + "\n" +
                                      Text("－ ログファイルが入力・出力ファイルと同じです ") + input + "\n");
    EXPECT_EQ(FailedJobs, 2);
    EXPECT_EQ(tsb::ReadFileBytes(input), builder.Data());
}

TEST(RunJob, OutputOrLogNamingThePatchTimeFileIsRefused) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    ASSERT_TRUE(tsb::WriteFileBytes(input, Packets(10).Data()));
    const std::string patch = dir.Path("a.patchtime.txt");
    RunSettings.patchtime = 5;
    FailedJobs = 0;
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, patch.c_str());
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, dir.Path("out.ts").c_str());
    CopyText(RunSettings.logpath, sizeof RunSettings.logpath, dir.Path("./a.patchtime.txt").c_str());
    RunSettings.log = true;
    EXPECT_EQ(RunInput(capture.reporter, input), 0);
    const std::string notice = Text("－ パッチ時刻ファイルが入力・出力・ログファイルと同じです ") + patch + "\n";
    EXPECT_EQ(capture.Messages(), notice + notice);
    EXPECT_EQ(FailedJobs, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("out.ts")));
}

TEST(RunJob, FailedOutputCountsAsAFailedJobAndTheSummaryStillComes) {
    CapturedRun capture;
    JobDir dir;
    const std::string input = dir.Path("a.ts");
    tsb::StreamBuilder builder = Packets(4);
    builder.SetCounter(0x100, 9);
    builder.Packet(0x100);
    ASSERT_TRUE(tsb::WriteFileBytes(input, builder.Data()));
    const std::string output = dir.Path("missing/out.ts");
    CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, output.c_str());
    RunSettings.drop = true;
    FailedJobs = 0;
    ServedJobs = 0;
    EXPECT_EQ(RunInput(capture.reporter, input), 1);
    EXPECT_EQ(FailedJobs, 1);
    EXPECT_EQ(ServedJobs, 1);
    EXPECT_EQ(capture.Messages(), Text("－ 出力ファイルを作成できません ") + output + "\n" +
                                      "DROP : PID 0x0100 , 1 Drop , PCR 0:00:00.000 , +0x2F0 \r\n" + Text("－ DROP ") +
                                      input + "\r\n0x0100 : 0x09 : 1 Drop : 5 Total \r\n\r\n");
}

// "REWRITECNTDROP" as the log receives it for the first packet of a file.
std::string ForcedDropLine(const char* pid) {
    return Text("－ REWRITECNTDROP PID ") + pid + " PCR 0:00:00.000 0x000000000 +0x0        \r\r\n";
}

TEST(RunJob, DropListCarriesOnFromJobToJob) {
    CapturedRun capture;
    JobDir dir;
    const std::string first = dir.Path("first.ts");
    const std::string second = dir.Path("second.ts");
    ASSERT_TRUE(tsb::WriteFileBytes(first, Packets(4, 0x100).Data()));
    ASSERT_TRUE(tsb::WriteFileBytes(second, Packets(4, 0x101).Data()));
    RunSettings.rwcntdrop = "256:0,257:0";
    RunSettings.rwcntdropCursor = 0;
    const auto run = [&](const std::string& input) {
        RunSettings.throughpath[0] = '\0';
        RunInput(capture.reporter, input);
    };
    // The first job uses the first entry only; the second entry waits for a
    // PID the first file does not have.
    run(first);
    EXPECT_EQ(RunSettings.rwcntdropCursor, 6u);
    // The next job goes on with the second entry, and the list is used up.
    run(second);
    EXPECT_EQ(RunSettings.rwcntdropCursor, std::string::npos);
    // A used-up list stays used up: the first file again rewrites nothing.
    run(first);
    run(second);
    EXPECT_EQ(capture.Messages(), ForcedDropLine("0x0100") + ForcedDropLine("0x0101"));
}

TEST(ProbePacketSize, FindsTheFirstAlignedSyncByte) {
    JobDir dir;
    const std::string path = dir.Path("probe.ts");
    tsb::Bytes bytes(1000, 0);
    bytes[7] = 0x47;
    bytes[7 + 192] = 0x47;  // a 192-byte spacing first
    bytes[300] = 0x47;
    bytes[300 + 188] = 0x47;
    ASSERT_TRUE(tsb::WriteFileBytes(path, bytes));
    platform::FileHandle file = platform::OpenRead(path.c_str());
    ASSERT_NE(file, platform::kInvalidFile);
    EXPECT_EQ(ProbePacketSize(file, 0, platform::SeekFrom::Begin), 192);
    EXPECT_EQ(platform::Seek(file, 0, platform::SeekFrom::Current), 7 + 192);
    EXPECT_EQ(ProbePacketSize(file, 200, platform::SeekFrom::Begin), 188);
    EXPECT_EQ(platform::Seek(file, 0, platform::SeekFrom::Current), 300 + 188);
    // 616 bytes or fewer left after the offset: within the probe window.
    EXPECT_EQ(ProbePacketSize(file, 616, platform::SeekFrom::Begin), 0);
    platform::CloseFile(file);
}

TEST(ProbePacketSize, A188SpacingWinsOverA192SpacingAtTheSameByte) {
    JobDir dir;
    const std::string path = dir.Path("both.ts");
    tsb::Bytes bytes(800, 0);
    bytes[0] = 0x47;
    bytes[188] = 0x47;
    bytes[192] = 0x47;
    ASSERT_TRUE(tsb::WriteFileBytes(path, bytes));
    EXPECT_TRUE(IsTransportStreamFile(path.c_str()));
    platform::FileHandle file = platform::OpenRead(path.c_str());
    EXPECT_EQ(ProbePacketSize(file, 0, platform::SeekFrom::Begin), 188);
    platform::CloseFile(file);
    EXPECT_FALSE(IsTransportStreamFile(dir.Path("absent.ts").c_str()));
    EXPECT_FALSE(IsTransportStreamFile(nullptr));
}

}  // namespace
