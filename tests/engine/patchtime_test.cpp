// Patch-time report: PCRDIFF lines and the ".patchtime.txt" file.
// Run with TZ=Asia/Tokyo.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/stream_job.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"
#include "tests/support/stream_builder.h"

namespace {

constexpr uint64_t kSecond = 90000;
constexpr uint64_t kBase = 1000000;
constexpr int64_t kTot = 1714532400;  // 2024-05-01 12:00:00 JST

class PatchTimeTest : public testing::Test {
protected:
    void SetUp() override { reporter_.SetLog(true, kLogPath); }

    // One PCR packet at `elapsed` seconds; the step runs when the clock
    // reports an advance, as in the worker.
    void PcrAt(double elapsedSeconds) {
        AdaptationField adaptation;
        adaptation.pcrFlag = 1;
        adaptation.pcrBase = kBase + static_cast<uint64_t>(elapsedSeconds * kSecond);
        if (UpdateFromPcr(context_.pcr, adaptation)) PatchTimeStep(reporter_, state_, context_, 10);
    }
    void TotNow() {
        context_.broadcast.current = kTot;
        context_.broadcast.currentTime = DateTime{2024, 5, 3, 1, 12, 0, 0, 0};
        PredictWrap(context_);
    }
    // The log as it stands after the next flush point.
    std::string Log() {
        reporter_.FlushStdout();
        return output_.Log(kLogPath);
    }

    StreamContext context_;
    PatchTimeState state_;
    static constexpr const char* kLogPath = "patch.log";
    RecordingOutput output_;
    Reporter reporter_{output_};
};

std::string FileText(const std::string& path) {
    const tsb::Bytes bytes = tsb::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

bool Exists(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

}  // namespace

TEST_F(PatchTimeTest, NineSecondsNothingTenSecondsTwoLinesThenOne) {
    const std::string dir = tsb::TempPath("rec");
    const std::string input = dir + ".ts";
    const std::string report = dir + ".patchtime.txt";
    ASSERT_TRUE(tsb::WriteFileBytes(report, tsb::TextBytes("old contents\r\n")));
    PreparePatchTime(state_, input.c_str(), true);
    EXPECT_EQ(state_.path, report);
    EXPECT_FALSE(Exists(report));  // an earlier report is removed

    PcrAt(0);
    PcrAt(1);
    TotNow();  // marks the PCR clock at 1 s
    PcrAt(2);
    PcrAt(11);  // a 9-second jump
    EXPECT_EQ(Log(), "");
    EXPECT_FALSE(Exists(report));

    PcrAt(12);
    PcrAt(22);  // 10 seconds: 12 s recorded + 10 = 22 s; resumes at TOT + 21 s
    EXPECT_EQ(Log(),
              "PCRDIFF PCR 2024/05/01 11:59:38 : 0:00:00 \r\n"
              "PCRDIFF PCR 2024/05/01 12:00:21 : 0:00:22 \r\n");
    EXPECT_TRUE(reporter_.ConsoleLineClosed());

    PcrAt(23);
    PcrAt(38);  // 15 seconds: 13 s recorded + 10
    EXPECT_EQ(Log(),
              "PCRDIFF PCR 2024/05/01 11:59:38 : 0:00:00 \r\n"
              "PCRDIFF PCR 2024/05/01 12:00:21 : 0:00:22 \r\n"
              "PCRDIFF PCR 2024/05/01 12:00:37 : 0:00:23 \r\n");
    EXPECT_EQ(FileText(report),
              "<><><><><>PATCHTIME;20240501115938:00000\r\n"
              "<><><><><>PATCHTIME;20240501120021:00022\r\n"
              "<><><><><>PATCHTIME;20240501120037:00023\r\n");
    std::remove(report.c_str());
}

TEST_F(PatchTimeTest, NoBroadcastTimeNoReport) {
    PcrAt(0);
    PcrAt(1);
    PcrAt(30);
    EXPECT_EQ(Log(), "");
    // Without a broadcast time the jump ends no segment.
    EXPECT_EQ(state_.streamTotal, 0u);
    EXPECT_EQ(state_.segmentStart, 0u);
}

TEST_F(PatchTimeTest, ConsoleSourceHasLinesButNoFile) {
    PreparePatchTime(state_, "CON", false);
    EXPECT_EQ(state_.path, "");
    PcrAt(0);
    PcrAt(1);
    TotNow();
    PcrAt(20);
    EXPECT_EQ(Log(),
              "PCRDIFF PCR 2024/05/01 11:59:49 : 0:00:00 \r\n"
              "PCRDIFF PCR 2024/05/01 12:00:19 : 0:00:11 \r\n");
}

TEST(PatchTimePath, OffsetSuffixIsNotPartOfTheName) {
    const std::string base = tsb::TempPath("offset");
    const std::string input = base + ".m2ts;1880";
    PatchTimeState state;
    PreparePatchTime(state, input.c_str(), true);
    EXPECT_EQ(state.path, base + ".patchtime.txt");
}

// The file is opened again for every line: a recording put under its name
// (here before the first line) must not receive the report.
TEST_F(PatchTimeTest, ReportNameLeadingToARecordingStopsTheReport) {
    const std::string dir = tsb::TempPath("linked");
    const std::string input = dir + ".ts";
    const std::string report = dir + ".patchtime.txt";
    ASSERT_TRUE(tsb::WriteFileBytes(input, tsb::TextBytes("GGGG")));
    PreparePatchTime(state_, input.c_str(), true);
    std::filesystem::create_hard_link(input, report);
    PcrAt(0);
    PcrAt(1);
    TotNow();
    PcrAt(20);
    PcrAt(40);
    EXPECT_EQ(FileText(input), "GGGG");
    EXPECT_TRUE(state_.replaced);
    EXPECT_EQ(Log(),
              "PCRDIFF PCR 2024/05/01 11:59:49 : 0:00:00 \r\n"
              "－ パッチ時刻ファイルが変わったため出力を停止しました " +
                  report +
                  "\n"
                  "PCRDIFF PCR 2024/05/01 12:00:19 : 0:00:11 \r\n"
                  "PCRDIFF PCR 2024/05/01 12:00:39 : 0:00:11 \r\n");
    std::remove(report.c_str());
    std::remove(input.c_str());
}
