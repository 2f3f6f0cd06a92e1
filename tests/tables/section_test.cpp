#include <gtest/gtest.h>

#include <cstring>

#include "tables/stream_context.h"
#include "tests/support/stream_builder.h"
#include "tests/tables/table_feed.h"

using tabletest::SplitPackets;
using tsb::Bytes;

namespace {

SectionOutcome Step(StreamContext& context, const Bytes& packet, uint8_t tableId, PidEntry** out = nullptr,
                    bool drop = false) {
    PidEntry* entry = DecodePacket(packet.data(), context);
    EXPECT_NE(entry, nullptr);
    if (entry == nullptr) return SectionOutcome::Rejected;
    entry->dropInPacket = drop ? 1 : 0;  // what the continuity check leaves
    if (out) *out = entry;
    return SectionStep(packet.data(), *entry, tableId);
}

// A PMT whose section_length is 397.
Bytes LongPmt() {
    Bytes descriptors;
    descriptors.resize(400 - 21, 0x00);  // 8 header, 4 PCR and info length, 5 stream, 4 CRC
    return tsb::PmtSection(1, 0x100, {{0x06, 0x130, descriptors}});
}

}  // namespace

TEST(Crc32Mpeg2, KnownValues) {
    const uint8_t none = 0;
    EXPECT_EQ(Crc32Mpeg2(&none, &none), 0xFFFFFFFFu);
    const char* check = "123456789";
    const auto* b = reinterpret_cast<const uint8_t*>(check);
    EXPECT_EQ(Crc32Mpeg2(b, b + 9), 0x0376E6E7u);
    const Bytes section = tsb::PatSection(0x7FE1, {{0x0400, 0x01F0}});
    EXPECT_EQ(Crc32Mpeg2(section.data(), section.data() + section.size()), 0u);
}

TEST(SectionStep, PatOfLength17InOnePacket) {
    StreamContext context;
    tsb::StreamBuilder b;
    const Bytes section = tsb::PatSection(0x7FE1, {{0x0000, 0x0010}, {0x0400, 0x01F0}});
    ASSERT_EQ(section.size(), 20u);  // section_length 17
    b.Section(0x0000, section);
    PidEntry* entry = nullptr;
    ASSERT_EQ(Step(context, b.Data(), 0x00, &entry), SectionOutcome::Complete);
    EXPECT_EQ(SectionStart(*entry), 5);
    ASSERT_EQ(entry->assembler.buffer.used, 25);
    EXPECT_EQ(std::memcmp(entry->assembler.buffer.data + 5, section.data(), 20), 0);
    EXPECT_EQ(entry->assembler.pending, 0);

    // Any change in bytes 5-24 fails the CRC and leaves the assembler idle.
    Bytes bad = b.Data();
    bad[24] ^= 0x01;
    EXPECT_EQ(Step(context, bad, 0x00, &entry), SectionOutcome::Rejected);
    EXPECT_EQ(entry->assembler.buffer.used, 0);
    bad = b.Data();
    bad[20] ^= 0x80;
    EXPECT_EQ(Step(context, bad, 0x00, &entry), SectionOutcome::Rejected);
}

TEST(SectionStep, PmtOverThreePackets) {
    StreamContext context;
    tsb::StreamBuilder b;
    const Bytes section = LongPmt();
    ASSERT_EQ(section.size(), 400u);  // section_length 397
    b.Section(0x01F0, section);
    const auto packets = SplitPackets(b.Data());
    ASSERT_EQ(packets.size(), 3u);
    PidEntry* entry = nullptr;
    EXPECT_EQ(Step(context, packets[0], 0x02, &entry), SectionOutcome::InProgress);
    EXPECT_EQ(entry->assembler.buffer.used, 188);
    EXPECT_EQ(entry->assembler.pending, 405 - 188);
    EXPECT_EQ(Step(context, packets[1], 0x02), SectionOutcome::InProgress);
    EXPECT_EQ(entry->assembler.buffer.used, 372);
    EXPECT_EQ(Step(context, packets[2], 0x02), SectionOutcome::Complete);
    EXPECT_EQ(entry->assembler.buffer.used, 405);
    EXPECT_EQ(std::memcmp(entry->assembler.buffer.data + 5, section.data(), section.size()), 0);
}

TEST(SectionStep, DiscontinuityDropsThePartialSection) {
    StreamContext context;
    tsb::StreamBuilder b;
    b.Section(0x01F0, LongPmt());
    b.Section(0x01F0, LongPmt());
    const auto packets = SplitPackets(b.Data());
    PidEntry* entry = nullptr;
    EXPECT_EQ(Step(context, packets[0], 0x02, &entry), SectionOutcome::InProgress);
    EXPECT_EQ(Step(context, packets[1], 0x02, nullptr, true), SectionOutcome::Rejected);
    EXPECT_EQ(entry->assembler.pending, 0);
    EXPECT_EQ(entry->assembler.buffer.data, nullptr);
    // The rest of the broken section has nothing to continue.
    EXPECT_EQ(Step(context, packets[2], 0x02), SectionOutcome::Rejected);
    EXPECT_EQ(Step(context, packets[3], 0x02), SectionOutcome::InProgress);
    EXPECT_EQ(Step(context, packets[4], 0x02), SectionOutcome::InProgress);
    EXPECT_EQ(Step(context, packets[5], 0x02), SectionOutcome::Complete);
}

TEST(SectionStep, WrongStartsAreRejected) {
    StreamContext context;
    const Bytes section = tsb::PatSection(1, {{1, 0x100}});
    tsb::PacketOptions start;
    start.pusi = true;
    // Wrong table_id.
    EXPECT_EQ(Step(context, tsb::MakePacket(0, 0, tsb::Concat({{0x00}, section}), start), 0x02),
              SectionOutcome::Rejected);
    // pointer_field 1: the byte after it is a filler, not the table_id.
    EXPECT_EQ(Step(context, tsb::MakePacket(0, 1, tsb::Concat({{0x01, 0xFF}, section}), start), 0x00),
              SectionOutcome::Rejected);
    // A continuation with nothing pending.
    EXPECT_EQ(Step(context, tsb::MakePacket(0, 2, section), 0x00), SectionOutcome::Rejected);
    // section_length 0 leaves no room for a CRC_32.
    EXPECT_EQ(Step(context, tsb::MakePacket(0, 3, Bytes{0x00, 0x00, 0xB0, 0x00}, start), 0x00),
              SectionOutcome::Rejected);
    // Adaptation field only, no payload.
    tsb::PacketOptions noPayload = start;
    noPayload.noPayload = true;
    EXPECT_EQ(Step(context, tsb::MakePacket(0, 4, {}, noPayload), 0x00), SectionOutcome::Rejected);
}

TEST(SectionStep, StartPacketWithAdaptationFieldSkipsThePointerField) {
    StreamContext context;
    tsb::StreamBuilder b;
    tsb::PacketOptions first;
    first.pcr = 1234;
    const Bytes section = tsb::PatSection(0x0010, {{0x0400, 0x01F0}});
    b.Section(0x0000, section, first);
    PidEntry* entry = nullptr;
    ASSERT_EQ(Step(context, b.Data(), 0x00, &entry), SectionOutcome::Complete);
    EXPECT_EQ(entry->unitStartOffset, 12);  // on the pointer_field, as PES detection wants it
    EXPECT_EQ(SectionStart(*entry), 13);
    EXPECT_EQ(entry->assembler.buffer.used, 13 + static_cast<int>(section.size()));
    ResetAssembler(entry->assembler);

    ASSERT_TRUE(ParsePat(b.Data().data(), context, *DecodePacket(b.Data().data(), context)));
    ASSERT_EQ(context.programs.size(), 1u);
    EXPECT_EQ(context.programs[0].pmtPid, 0x01F0);
}

TEST(SectionStep, HostileSectionLengthNeverReadsPastThePackets) {
    StreamContext context;
    tsb::PacketOptions start;
    start.pusi = true;
    // section_length 4095 announced, then continuations of garbage.
    Bytes head{0x00, 0x00, 0xBF, 0xFF};
    PidEntry* entry = nullptr;
    EXPECT_EQ(Step(context, tsb::MakePacket(0, 0, head, start), 0x00, &entry), SectionOutcome::InProgress);
    SectionOutcome last = SectionOutcome::InProgress;
    int packets = 1;
    for (uint8_t cc = 1; last == SectionOutcome::InProgress; ++cc, ++packets)
        last = Step(context, tsb::MakePacket(0, cc & 0x0F, Bytes(184, 0xA5)), 0x00);
    EXPECT_EQ(last, SectionOutcome::Rejected);
    EXPECT_EQ(packets, 1 + 22);  // 4095 + 8 = 188 + 21 * 184 + 51
    EXPECT_EQ(entry->assembler.buffer.used, 0);

    // Adaptation field up to the last byte: the table_id would lie outside.
    Bytes packet(188, 0x00);
    packet[0] = 0x47;
    packet[1] = 0x40;
    packet[3] = 0x30;
    packet[4] = 183;
    EXPECT_EQ(Step(context, packet, 0x00), SectionOutcome::Rejected);
}

TEST(SectionStep, RealScheduleSectionOverFivePackets) {
    const std::string path = std::string(TRELVAN_SOURCE_DIR) + "/../shared/samples/terr_eit_schedule_5pkt.ts";
    const Bytes data = tsb::ReadFileBytes(path);
    if (data.empty()) GTEST_SKIP() << "sample recording not present";
    StreamContext context;
    std::vector<SectionOutcome> outcomes;
    for (const Bytes& packet : SplitPackets(data))
        outcomes.push_back(Step(context, packet, 0x50));
    const std::vector<SectionOutcome> expected{SectionOutcome::InProgress, SectionOutcome::InProgress,
                                               SectionOutcome::InProgress, SectionOutcome::InProgress,
                                               SectionOutcome::Complete};
    EXPECT_EQ(outcomes, expected);
}
