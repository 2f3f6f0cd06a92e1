#include <gtest/gtest.h>

#include "tables/stream_context.h"
#include "tests/support/stream_builder.h"
#include "tests/tables/table_feed.h"

using tabletest::FeedAll;
using tsb::Bytes;
using tsb::PmtStream;
using tsb::StreamIdentifierDescriptor;

namespace {

bool FeedPat(StreamContext& context, tsb::StreamBuilder& b, const Bytes& section) {
    const std::size_t from = b.Data().size();
    b.Section(0x0000, section);
    const Bytes added(b.Data().begin() + static_cast<long>(from), b.Data().end());
    const auto results = FeedAll(context, added, ParsePat);
    return !results.empty() && results.back();
}

// Feeds a PMT section on `pid` as the worker does: only when the PAT named it.
bool FeedPmt(StreamContext& context, tsb::StreamBuilder& b, uint16_t pid, const Bytes& section) {
    const std::size_t from = b.Data().size();
    b.Section(pid, section);
    const Bytes added(b.Data().begin() + static_cast<long>(from), b.Data().end());
    bool last = false;
    for (const Bytes& packet : tabletest::SplitPackets(added)) {
        PidEntry* entry = DecodePacket(packet.data(), context);
        const ProgramEntry* program = FindProgramByPmtPid(context, entry->pid);
        if (program == nullptr) return false;
        last = ParsePmt(packet.data(), *program, context, *entry);
    }
    return last;
}

}  // namespace

TEST(Pat, TwoProgramsAndANetworkPidThatIsNoPmt) {
    StreamContext context;
    tsb::StreamBuilder b;
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(0x7FE1, {{0x0000, 0x0010}, {0x0400, 0x01F0}})));
    EXPECT_EQ(context.transportStreamId, 0x7FE1);
    ASSERT_EQ(context.programs.size(), 2u);
    EXPECT_EQ(context.programs[0].programNumber, 0x0000);
    EXPECT_EQ(context.programs[0].pmtPid, 0x0010);
    EXPECT_EQ(context.programs[1].programNumber, 0x0400);
    EXPECT_EQ(context.programs[1].pmtPid, 0x01F0);
    EXPECT_EQ(FindProgramByPmtPid(context, 0x01F0), &context.programs[1]);
    EXPECT_EQ(FindProgramByPmtPid(context, 0x0000), nullptr);
    // The network PID reaches the PMT parser, which refuses a NIT.
    EXPECT_FALSE(FeedPmt(context, b, 0x0010, tsb::MakeSection(0x40, 0x7FE1, Bytes{0xF0, 0x00, 0xF0, 0x00})));
    EXPECT_EQ(context.pcrPids[0], 0xFFFF);
}

TEST(Pat, LoopEndsAtProgram0xFFFFAndRepeatedNumbersKeepTheLaterPid) {
    StreamContext context;
    tsb::StreamBuilder b;
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(1, {{0x0101, 0x0100}, {0xFFFF, 0x0200}, {0x0102, 0x0300}})));
    ASSERT_EQ(context.programs.size(), 1u);
    EXPECT_EQ(context.programs[0].pmtPid, 0x0100);

    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(1, {{0x0101, 0x0100}, {0x0102, 0x0300}, {0x0101, 0x0111}})));
    ASSERT_EQ(context.programs.size(), 2u);
    EXPECT_EQ(context.programs[0].pmtPid, 0x0111);
    EXPECT_EQ(context.programs[1].pmtPid, 0x0300);
}

TEST(Pat, OtherPidsAndBadSectionsLeaveTheList) {
    StreamContext context;
    tsb::StreamBuilder b;
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(1, {{0x0101, 0x0100}})));
    Bytes bad = tsb::PatSection(2, {{0x0202, 0x0200}});
    bad[bad.size() - 1] ^= 0xFF;
    EXPECT_FALSE(FeedPat(context, b, bad));
    tsb::StreamBuilder other;
    other.Section(0x0021, tsb::PatSection(3, {{0x0303, 0x0300}}));
    EXPECT_EQ(FeedAll(context, other.Data(), ParsePat), std::vector<bool>{false});
    ASSERT_EQ(context.programs.size(), 1u);
    EXPECT_EQ(context.transportStreamId, 1);
}

TEST(Pmt, CaptionStreamsAndTheirProfiles) {
    StreamContext context;
    tsb::StreamBuilder b;
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(1, {{0x0400, 0x01F0}, {0x0401, 0x1FC8}})));
    ASSERT_TRUE(FeedPmt(context, b, 0x01F0,
                        tsb::PmtSection(0x0400, 0x01FF,
                                        {{0x02, 0x0111, StreamIdentifierDescriptor(0x00)},
                                         {0x06, 0x0130, tsb::Concat({{0x09, 0x00}, StreamIdentifierDescriptor(0x30)})},
                                         {0x06, 0x0131, StreamIdentifierDescriptor(0x31)},
                                         {0x0D, 0x0132, StreamIdentifierDescriptor(0x30)}})));
    ASSERT_EQ(context.captions.size(), 1u);
    EXPECT_EQ(context.captions[0]->pid, 0x0130);
    EXPECT_EQ(context.captions[0]->decoder.profile, 0);
    EXPECT_EQ(context.pcrPids[0], 0x01FF);

    ASSERT_TRUE(FeedPmt(context, b, 0x1FC8,
                        tsb::PmtSection(0x0401, 0x01FF,
                                        {{0x06, 0x0187, StreamIdentifierDescriptor(0x87)},
                                         {0x06, 0x0130, StreamIdentifierDescriptor(0x87)}})));
    ASSERT_EQ(context.captions.size(), 2u);
    EXPECT_EQ(FindCaptionStream(context, 0x0187)->decoder.profile, 1);
    EXPECT_EQ(FindCaptionStream(context, 0x0130)->decoder.profile, 0);  // kept as it was
    EXPECT_EQ(FindCaptionStream(context, 0x0131), nullptr);
    EXPECT_EQ(context.pcrPids[1], 0xFFFF);  // the same PCR PID takes one slot

    // A later PAT without the programme: no more PMT parsing, caption kept.
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(1, {{0x0401, 0x1FC8}})));
    EXPECT_EQ(FindProgramByPmtPid(context, 0x01F0), nullptr);
    EXPECT_NE(FindCaptionStream(context, 0x0130), nullptr);
}

TEST(Pmt, DescriptorLengthsPastTheCrcAreNotFollowed) {
    StreamContext context;
    tsb::StreamBuilder b;
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(1, {{0x0400, 0x01F0}})));
    // ES_info_length claims 0xFFF; the descriptor inside is still real.
    Bytes section = tsb::PmtSection(0x0400, 0x0100, {{0x06, 0x0130, StreamIdentifierDescriptor(0x30)}});
    section[12 + 3] = 0xFF;
    section[12 + 4] = 0xFF;
    const uint32_t crc = tsb::Crc32(section.data(), section.size() - 4);
    for (int i = 0; i < 4; ++i)
        section[section.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    ASSERT_TRUE(FeedPmt(context, b, 0x01F0, section));
    EXPECT_NE(FindCaptionStream(context, 0x0130), nullptr);

    // program_info_length far past the end: no streams read, PCR PID taken.
    Bytes wild = tsb::PmtSection(0x0400, 0x0101, {{0x06, 0x0140, StreamIdentifierDescriptor(0x30)}});
    wild[10] = 0xFF;
    wild[11] = 0xF0;
    const uint32_t crc2 = tsb::Crc32(wild.data(), wild.size() - 4);
    for (int i = 0; i < 4; ++i)
        wild[wild.size() - 4 + i] = static_cast<uint8_t>(crc2 >> (24 - 8 * i));
    ASSERT_TRUE(FeedPmt(context, b, 0x01F0, wild));
    EXPECT_EQ(FindCaptionStream(context, 0x0140), nullptr);
    EXPECT_TRUE(IsPcrPid(context, 0x0101));
}

TEST(PcrPids, EightSlotsFilledFromTheFront) {
    StreamContext context;
    for (uint16_t pid = 0x100; pid < 0x108; ++pid)
        EXPECT_TRUE(RegisterPcrPid(context, pid));
    EXPECT_TRUE(RegisterPcrPid(context, 0x103));
    EXPECT_FALSE(RegisterPcrPid(context, 0x1FFF));
    EXPECT_FALSE(IsPcrPid(context, 0x1FFF));
    EXPECT_TRUE(IsPcrPid(context, 0x107));
    EXPECT_EQ(context.pcrPids[0], 0x100);
    EXPECT_EQ(context.pcrPids[7], 0x107);
}

TEST(PatPmtRecording, ScrambledBsCapture) {
    const std::string path = std::string(TRELVAN_SOURCE_DIR) + "/../shared/samples/bs_scrambled_pmt_nit_eit.ts";
    const Bytes data = tsb::ReadFileBytes(path);
    if (data.empty()) GTEST_SKIP() << "sample recording not present";
    StreamContext context;
    int pmtSections = 0;
    for (const Bytes& packet : tabletest::SplitPackets(data)) {
        PidEntry* entry = DecodePacket(packet.data(), context);
        ASSERT_NE(entry, nullptr);
        if (ParsePat(packet.data(), context, *entry)) continue;
        if (const ProgramEntry* program = FindProgramByPmtPid(context, entry->pid)) {
            if (ParsePmt(packet.data(), *program, context, *entry) && entry->assembler.pending == 0) ++pmtSections;
        }
    }
    EXPECT_EQ(context.transportStreamId, 0x40D0);
    std::vector<std::pair<uint16_t, uint16_t>> programs;
    for (const ProgramEntry& p : context.programs)
        programs.emplace_back(p.programNumber, p.pmtPid);
    // Program 0 names the network PID.
    const std::vector<std::pair<uint16_t, uint16_t>> expected{
        {0, 0x0010}, {141, 0x0101}, {142, 0x0201}, {143, 0x0203}, {744, 0x0401}, {745, 0x0402}, {746, 0x0403}};
    EXPECT_EQ(programs, expected);
    EXPECT_EQ(pmtSections, 3);
    EXPECT_EQ(context.pcrPids[0], 0x0100);
    EXPECT_EQ(context.pcrPids[1], 0xFFFF);
    std::vector<uint16_t> captions;
    for (const auto& c : context.captions)
        captions.push_back(c->pid);
    // The caption (component_tag 0x30) and the superimposed text (0x38).
    EXPECT_EQ(captions, (std::vector<uint16_t>{0x0145, 0x0146}));
    EXPECT_EQ(context.captions[0]->decoder.profile, 0);
    EXPECT_EQ(context.captions[1]->decoder.profile, 0);
}

TEST(PcrPids, ListEndsAtTheFirstEmptySlot) {
    StreamContext context;
    EXPECT_FALSE(IsPcrPid(context, 0xFFFF));
    context.pcrPids[0] = 0x0100;
    context.pcrPids[2] = 0x0111;  // behind an empty slot
    EXPECT_TRUE(IsPcrPid(context, 0x0100));
    EXPECT_FALSE(IsPcrPid(context, 0x0111));
    EXPECT_FALSE(IsPcrPid(context, 0xFFFF));
}

// The packet loop asks for a PID's roles on every packet and remembers that a
// PID has none: a PAT, a PMT's PCR PID or caption stream arriving later must
// still be seen for PIDs looked up before, each on its own.
TEST(PidRoles, RolesArrivingLaterReachPidsLookedUpBefore) {
    StreamContext context;
    tsb::StreamBuilder b;
    PidEntry* pmt = context.pids.FindOrCreate(0x01F0);
    PidEntry* pcr = context.pids.FindOrCreate(0x0100);
    PidEntry* caption = context.pids.FindOrCreate(0x0130);
    for (PidEntry* entry : {pmt, pcr, caption}) {
        for (int twice = 0; twice < 2; ++twice) {
            const PidRoles roles = RolesOf(context, *entry);
            EXPECT_FALSE(roles.pcr);
            EXPECT_EQ(roles.program, nullptr);
            EXPECT_EQ(roles.caption, nullptr);
        }
    }
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(0x7FE1, {{0x0400, 0x01F0}, {0x0401, 0x01F1}})));
    ASSERT_EQ(RolesOf(context, *pmt).program, &context.programs[0]);
    EXPECT_FALSE(RolesOf(context, *pcr).pcr);
    EXPECT_EQ(RolesOf(context, *caption).caption, nullptr);
    // A PCR PID alone.
    ASSERT_TRUE(FeedPmt(context, b, 0x01F0, tsb::PmtSection(0x0400, 0x0100, {})));
    EXPECT_TRUE(RolesOf(context, *pcr).pcr);
    EXPECT_EQ(RolesOf(context, *caption).caption, nullptr);
    // A caption stream alone (the PCR PID is listed already).
    ASSERT_TRUE(FeedPmt(context, b, 0x01F1,
                        tsb::PmtSection(0x0401, 0x0100, {{0x06, 0x0130, StreamIdentifierDescriptor(0x30)}})));
    ASSERT_EQ(context.captions.size(), 1u);
    EXPECT_EQ(RolesOf(context, *caption).caption, context.captions[0].get());
    // A new PAT without the programmes: the PID is no PMT PID any more.
    ASSERT_TRUE(FeedPat(context, b, tsb::PatSection(0x7FE1, {{0x0500, 0x01F8}})));
    EXPECT_EQ(RolesOf(context, *pmt).program, nullptr);
}
