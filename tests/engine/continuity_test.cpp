// Continuity drop tracking.
#include <gtest/gtest.h>

#include <vector>

#include "engine/stream_job.h"
#include "tests/support/stream_builder.h"

namespace {

struct Outcome {
    std::vector<bool> drops;
    int64_t dropCount = 0;
    int64_t packetCount = 0;
    uint8_t lastCounter = 0;
};

Outcome Check(const std::vector<int>& counters, uint16_t pid = 0x111, bool pcrOnly = false, bool noPayload = false) {
    StreamContext context;
    if (pcrOnly) {
        context.pcrPids[0] = pid;
    }
    Outcome out;
    PidEntry* entry = nullptr;
    for (int cc : counters) {
        tsb::PacketOptions options;
        options.noPayload = noPayload;
        const tsb::Bytes packet = tsb::MakePacket(pid, static_cast<uint8_t>(cc), {}, options);
        entry = DecodePacket(packet.data(), context);
        EXPECT_NE(entry, nullptr);
        if (entry == nullptr) {
            return out;
        }
        out.drops.push_back(ContinuityCheck(packet.data(), context, *entry));
    }
    out.dropCount = entry->dropCount;
    out.packetCount = entry->packetCount;
    out.lastCounter = entry->lastCounter;
    return out;
}

TEST(ContinuityCheck, InSequenceAcrossTheWrapIsNoDrop) {
    const Outcome out = Check({14, 15, 0, 1});
    EXPECT_EQ(out.drops, (std::vector<bool>{false, false, false, false}));
    EXPECT_EQ(out.dropCount, 0);
    EXPECT_EQ(out.packetCount, 4);
    EXPECT_EQ(out.lastCounter, 1);
}

TEST(ContinuityCheck, RepeatedCounterIsOneDrop) {
    const Outcome out = Check({5, 5, 6});
    EXPECT_EQ(out.drops, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(out.dropCount, 1);
    EXPECT_EQ(out.packetCount, 3);
}

TEST(ContinuityCheck, GapIsOneDropThenInSequence) {
    const Outcome out = Check({5, 9, 10});
    EXPECT_EQ(out.drops, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(out.dropCount, 1);
    EXPECT_EQ(out.packetCount, 3);
    EXPECT_EQ(out.lastCounter, 10);
}

TEST(ContinuityCheck, FirstPacketIsNeverADrop) {
    for (int cc = 0; cc < 16; ++cc) {
        const Outcome out = Check({cc});
        EXPECT_EQ(out.drops, (std::vector<bool>{false})) << cc;
        EXPECT_EQ(out.packetCount, 1);
    }
}

TEST(ContinuityCheck, AdaptationOnlyPacketsWithAnUnchangedCounterAreDrops) {
    const Outcome out = Check({3, 3, 3}, 0x1FF, false, true);
    EXPECT_EQ(out.dropCount, 2);
    EXPECT_EQ(out.packetCount, 3);
}

TEST(ContinuityCheck, PcrPidIsNeitherComparedNorCounted) {
    const Outcome out = Check({3, 3, 9}, 0x1FF, true, true);
    EXPECT_EQ(out.drops, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(out.dropCount, 0);
    EXPECT_EQ(out.packetCount, 0);
}

TEST(ContinuityCheck, PcrListSearchStopsAtTheFirstEmptySlot) {
    StreamContext context;
    context.pcrPids[0] = 0x0100;
    context.pcrPids[1] = 0xFFFF;
    context.pcrPids[2] = 0x0111;  // behind an empty slot: not on the list
    const tsb::Bytes a = tsb::MakePacket(0x111, 1, {});
    const tsb::Bytes b = tsb::MakePacket(0x111, 7, {});
    PidEntry* entry = DecodePacket(a.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(ContinuityCheck(a.data(), context, *entry));
    entry = DecodePacket(b.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(ContinuityCheck(b.data(), context, *entry));
    EXPECT_EQ(entry->dropCount, 1);
    EXPECT_EQ(entry->previousCounter, 1);
}

TEST(ContinuityCheck, MissingPacketChangesNothing) {
    StreamContext context;
    PidEntry entry;
    entry.pid = 0x111;
    EXPECT_FALSE(ContinuityCheck(nullptr, context, entry));
    EXPECT_EQ(entry.packetCount, 0);
    EXPECT_EQ(entry.noCounterSeen, 1);
}

}  // namespace
