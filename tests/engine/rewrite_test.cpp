// Continuity counter rewriting (-rwcntdrop, -rwcntundrop) together with the
// continuity check, as the worker runs them for each packet.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/stream_job.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"
#include "tests/support/stream_builder.h"

namespace {

constexpr uint64_t kSecond = 90000;
constexpr uint16_t kPid = 0x0111;  // 273

class RewriteTest : public testing::Test {
protected:
    void SetUp() override {
        reporter_.SetLog(true, kLogPath);
        entry_.pid = kPid;
    }
    void TearDown() override {
        undrop_ = 0;
        dropList_.reset();
        dropCursor_ = std::string::npos;
    }

    void DropList(const char* list) {
        dropList_ = list;
        dropCursor_ = 0;
    }
    void PcrSeconds(uint64_t seconds) {
        AdaptationField adaptation;
        adaptation.pcrFlag = 1;
        adaptation.pcrBase = 1000 + seconds * kSecond;
        UpdateFromPcr(context_.pcr, adaptation);
    }

    // Steps 6 to 9 of the worker for one packet; returns the final drop
    // flag. The decoder's part is only the counter field.
    bool Run(tsb::Bytes& packet, PidEntry& entry, bool captionPid = false) {
        entry.continuityCounter = packet[3] & 0x0F;
        bool drop = ContinuityCheck(packet.data(), context_, entry);
        ForceDrop(reporter_, dropList_, dropCursor_, packet.data(), entry, context_, texts_, drop);
        if (drop) HideDrop(reporter_, undrop_, packet.data(), entry, context_, captionPid, texts_, drop);
        return drop;
    }
    // Runs packets of the fixture's PID with these counters; returns the
    // counters as they leave and the drop flags.
    std::vector<int> RunCounters(const std::vector<int>& counters, std::vector<bool>* drops = nullptr,
                                 bool captionPid = false) {
        std::vector<int> out;
        for (int cc : counters) {
            tsb::Bytes packet = tsb::MakePacket(kPid, static_cast<uint8_t>(cc), {0x01, 0x02});
            const bool drop = Run(packet, entry_, captionPid);
            EXPECT_EQ(packet[3] & 0xF0, 0x10);  // the flags beside the counter stay
            out.push_back(packet[3] & 0x0F);
            if (drops) drops->push_back(drop);
        }
        return out;
    }
    // The log as it stands after the next flush point.
    std::string Log() {
        reporter_.FlushStdout();
        return output_.Log(kLogPath);
    }

    static constexpr const char* kLogPath = "rewrite.log";
    RecordingOutput output_;
    Reporter reporter_{output_};

    StreamContext context_;
    PidEntry entry_;
    ReportTexts texts_;
    std::optional<std::string> dropList_;
    std::size_t dropCursor_ = std::string::npos;
    uint32_t undrop_ = 0;
};

// The log gets "\r\n" behind a text that ends in "\r".
const char kUndropLine[] = "－ REWRITECNTUNDROP PID 0x0111 PCR 0:00:00.000 0x000000000 +0x0        \r\r\n";

}  // namespace

TEST_F(RewriteTest, UndropRenumbersFromTheFirstGap) {
    undrop_ = 273;
    std::vector<bool> drops;
    EXPECT_EQ(RunCounters({5, 9, 10, 11}, &drops), (std::vector<int>{5, 6, 7, 8}));
    EXPECT_EQ(drops, (std::vector<bool>{false, false, false, false}));
    EXPECT_EQ(entry_.dropCount, 3);
    EXPECT_EQ(entry_.packetCount, 4);
    EXPECT_EQ(entry_.lastCounter, 8);
    EXPECT_EQ(entry_.dropInPacket, 0);
    EXPECT_EQ(Log(), std::string(kUndropLine) + kUndropLine + kUndropLine);
}

TEST_F(RewriteTest, UndropLineShowsPcrTotAndPosition) {
    undrop_ = 273;
    PcrSeconds(0);
    PcrSeconds(3723);  // 1:02:03
    texts_.tot = "TOT 2024/05/01 12:00:00";
    texts_.positionValue = 0x1D6F8;
    RunCounters({1, 3});
    EXPECT_EQ(Log(),
              "－ REWRITECNTUNDROP PID 0x0111 PCR 1:02:03.000 0x013f8c330 TOT 2024/05/01 12:00:00 "
              "+0x1D6F8        \r\r\n");
}

TEST_F(RewriteTest, UndropLeavesTheConsoleLineOpen) {
    undrop_ = 273;
    reporter_.SetConsoleOn(true);
    RunCounters({1, 3, 5});
    // Each line is left open like a progress line, so the next one ends it.
    EXPECT_EQ(output_.StandardOutput(),
              "\r\n－ REWRITECNTUNDROP PID 0x0111 PCR 0:00:00.000 0x000000000 +0x0        \r"
              "\r\n－ REWRITECNTUNDROP PID 0x0111 PCR 0:00:00.000 0x000000000 +0x0        \r");
    EXPECT_FALSE(reporter_.ConsoleLineClosed());
}

TEST_F(RewriteTest, UndropCaptionOnlyTouchesCaptionPids) {
    undrop_ = kUndropCaption;
    std::vector<bool> drops;
    EXPECT_EQ(RunCounters({0, 2}, &drops, false), (std::vector<int>{0, 2}));
    EXPECT_EQ(drops, (std::vector<bool>{false, true}));
    EXPECT_EQ(Log(), "");

    PidEntry caption;
    caption.pid = 0x0130;
    tsb::Bytes first = tsb::MakePacket(0x0130, 4, {});
    tsb::Bytes second = tsb::MakePacket(0x0130, 7, {});
    EXPECT_FALSE(Run(first, caption, true));
    EXPECT_FALSE(Run(second, caption, true));
    EXPECT_EQ(second[3] & 0x0F, 5);
    EXPECT_EQ(caption.dropCount, 1);
    EXPECT_EQ(Log(), "－ REWRITECNTUNDROP PID 0x0130 PCR 0:00:00.000 0x000000000 +0x0        \r\r\n");
}

TEST_F(RewriteTest, UndropZeroHidesNothing) {
    undrop_ = 0;
    PidEntry nullPidZero;  // PID 0 must not match the empty setting
    tsb::Bytes a = tsb::MakePacket(0x0000, 1, {});
    tsb::Bytes b = tsb::MakePacket(0x0000, 5, {});
    Run(a, nullPidZero);
    EXPECT_TRUE(Run(b, nullPidZero));
    EXPECT_EQ(b[3] & 0x0F, 5);
    EXPECT_EQ(Log(), "");
}

TEST_F(RewriteTest, ForcedDropAtSixtySecondsRepeatsTheCounter) {
    DropList("273:60");
    PcrSeconds(0);
    PcrSeconds(59);
    std::vector<bool> drops;
    EXPECT_EQ(RunCounters({0, 1, 2, 3}, &drops), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(dropCursor_, 0u);

    // Another PID at 60 s does not fire the entry.
    PcrSeconds(60);
    PidEntry other;
    other.pid = 0x0112;
    tsb::Bytes otherPacket = tsb::MakePacket(0x0112, 9, {});
    EXPECT_FALSE(Run(otherPacket, other));
    EXPECT_EQ(otherPacket[3] & 0x0F, 9);

    drops.clear();
    EXPECT_EQ(RunCounters({4}, &drops), (std::vector<int>{3}));
    EXPECT_EQ(drops, (std::vector<bool>{true}));
    EXPECT_EQ(entry_.dropInPacket, 1);
    EXPECT_EQ(entry_.lastCounter, 3);
    EXPECT_EQ(entry_.dropCount, 0);  // the check saw the incoming counter
    EXPECT_EQ(dropCursor_, std::string::npos);
    EXPECT_EQ(Log(), "－ REWRITECNTDROP PID 0x0111 PCR 0:01:00.000 0x0005265c0 +0x0        \r\r\n");

    // The next packet is a gap of two behind the rewritten counter.
    drops.clear();
    EXPECT_EQ(RunCounters({5, 6}, &drops), (std::vector<int>{5, 6}));
    EXPECT_EQ(drops, (std::vector<bool>{true, false}));
    EXPECT_EQ(entry_.dropCount, 1);
    EXPECT_EQ(entry_.packetCount, 7);
}

TEST_F(RewriteTest, SecondEntryAlreadyDueFiresAtTheNextPacket) {
    DropList("273:60,273:30");
    PcrSeconds(0);
    PcrSeconds(59);
    std::vector<bool> drops;
    EXPECT_EQ(RunCounters({0}, &drops), (std::vector<int>{0}));
    PcrSeconds(60);
    EXPECT_EQ(RunCounters({1}, &drops), (std::vector<int>{0}));
    EXPECT_EQ(dropCursor_, 7u);
    // 30 s have long passed: the next packet of the PID fires at once.
    EXPECT_EQ(RunCounters({2}, &drops), (std::vector<int>{0}));
    EXPECT_EQ(dropCursor_, std::string::npos);
    EXPECT_EQ(entry_.dropCount, 1);  // the incoming 2 after the rewritten 0
    // Used up: only the check acts from here on.
    EXPECT_EQ(RunCounters({3, 4}, &drops), (std::vector<int>{3, 4}));
    EXPECT_EQ(drops, (std::vector<bool>{false, true, true, true, false}));
    EXPECT_EQ(entry_.dropCount, 2);
}

TEST_F(RewriteTest, NegativeEntryNeverFiresAndBlocksTheRest) {
    DropList("273:-5,273:0");
    PcrSeconds(0);
    PcrSeconds(100);
    EXPECT_EQ(RunCounters({0, 1, 2, 3}), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(dropCursor_, 0u);
    EXPECT_EQ(Log(), "");
}

TEST_F(RewriteTest, MalformedEntries) {
    // Without ":" an entry never fires.
    DropList("273");
    EXPECT_EQ(RunCounters({0, 1}), (std::vector<int>{0, 1}));
    EXPECT_EQ(dropCursor_, 0u);
    // A PID that is no number never fires either, and is not taken as PID 0.
    DropList("abc:0,273:0");
    EXPECT_EQ(RunCounters({0, 1}), (std::vector<int>{0, 1}));
    EXPECT_EQ(dropCursor_, 0u);
    entry_.pid = 0;
    EXPECT_EQ(RunCounters({2}), (std::vector<int>{2}));
    entry_.pid = kPid;
    // A cursor on an empty rest does nothing.
    DropList("273:0,");
    dropCursor_ = 6;
    EXPECT_EQ(RunCounters({3}), (std::vector<int>{3}));
}

TEST_F(RewriteTest, EntriesSeparatedBySemicolonOrCommaWithHexadecimalPids) {
    // ";" as the usage text shows it, "," as before; 0x111 is PID 273.
    DropList("0x111:1;273:2,0X0111:3");
    std::vector<int> counters;
    for (int second = 0; second < 4; ++second) {
        PcrSeconds(static_cast<uint64_t>(second));
        for (int cc : RunCounters({2 * second, 2 * second + 1}))
            counters.push_back(cc);
    }
    // Each entry repeats the counter before it at its second.
    EXPECT_EQ(counters, (std::vector<int>{0, 1, 1, 3, 3, 5, 5, 7}));
    EXPECT_EQ(dropCursor_, std::string::npos);
    EXPECT_EQ(Log(),
              "－ REWRITECNTDROP PID 0x0111 PCR 0:00:01.000 0x000015f90 +0x0        \r\r\n"
              "－ REWRITECNTDROP PID 0x0111 PCR 0:00:02.000 0x00002bf20 +0x0        \r\r\n"
              "－ REWRITECNTDROP PID 0x0111 PCR 0:00:03.000 0x000041eb0 +0x0        \r\r\n");
}

TEST_F(RewriteTest, ForcedDropThenHiddenRestoresTheCounter) {
    undrop_ = 273;
    EXPECT_EQ(RunCounters({6}), (std::vector<int>{6}));
    DropList("273:0");
    std::vector<bool> drops;
    EXPECT_EQ(RunCounters({7}, &drops), (std::vector<int>{7}));
    EXPECT_EQ(drops, (std::vector<bool>{false}));
    EXPECT_EQ(entry_.dropInPacket, 0);
    EXPECT_EQ(entry_.lastCounter, 7);
    EXPECT_EQ(Log(),
              "－ REWRITECNTDROP PID 0x0111 PCR 0:00:00.000 0x000000000 +0x0        \r\r\n"
              "－ REWRITECNTUNDROP PID 0x0111 PCR 0:00:00.000 0x000000000 +0x0        \r\r\n");
}

TEST_F(RewriteTest, ForcedDropOnAFirstPacketRepeatsTheCounterBeforeZero) {
    DropList("273:0");
    EXPECT_EQ(RunCounters({0}), (std::vector<int>{15}));
}
