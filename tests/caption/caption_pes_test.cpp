// Caption PES gathering, data groups and statement text.
#include <gtest/gtest.h>

#include <string>

#include "caption_fixture.h"

namespace {

using namespace captiontest;

constexpr uint16_t kPid = 0x0130;

// Kanji 亜 (JIS 0x3021) repeated `count` times.
Bytes Kanji(std::size_t count) {
    Bytes out;
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(0x30);
        out.push_back(0x21);
    }
    return out;
}

std::string KanjiText(std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        out += "\x88\x9F";
    return out;
}

Bytes JpnManagement(uint8_t groupId = 0x00) {
    return Group(groupId, Management({{0, "jpn"}}));
}

// A stream with one PES carrying the management data and one carrying the
// statement (group A) with `text`.
Bytes ManagementThenStatement(const Bytes& text, tsb::StreamBuilder& builder) {
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})));
    builder.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body(text)))})));
    return builder.Data();
}

TEST(Crc16, XmodemCheckValueAndReference) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(digits, digits + 9), 0x31C3);
    EXPECT_EQ(Crc16(digits, digits), 0x0000);
    Bytes data;
    for (int i = 0; i < 300; ++i)
        data.push_back(static_cast<uint8_t>(i * 37 + 11));
    EXPECT_EQ(Crc16(data.data(), data.data() + data.size()), tsb::Crc16(data.data(), data.size()));
}

TEST(CaptionPes, SpreadOverPacketsWithAdaptationStuffing) {
    tsb::StreamBuilder builder;
    const Bytes stream = ManagementThenStatement(Kanji(250), builder);
    ASSERT_GE(builder.PacketCount(), 4u);
    CaptionRig rig;
    EXPECT_TRUE(rig.Feed(stream));
    EXPECT_EQ(rig.Text(), KanjiText(250));
    EXPECT_TRUE(rig.Changed());
    EXPECT_EQ(rig.caption.selectedGroup, 0x01);
    // Packets before the end of a PES report "still gathering".
    for (std::size_t i = 0; i < rig.results.size(); ++i)
        EXPECT_TRUE(rig.results[i]) << i;
    EXPECT_EQ(rig.entry.assembler.pending, 0);
    EXPECT_EQ(rig.entry.assembler.buffer.used, 0);
}

TEST(CaptionPes, StartPacketWithAdaptationField) {
    tsb::StreamBuilder builder;
    tsb::PacketOptions withPcr;
    withPcr.pcr = 900000;
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})), withPcr);
    builder.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body(Kanji(100))))})), withPcr);
    CaptionRig rig;
    EXPECT_TRUE(rig.Feed(builder.Data()));
    EXPECT_EQ(rig.Text(), KanjiText(100));
}

TEST(CaptionPes, BytesAfterPesLengthAreNotRead) {
    // The PES length covers the first statement only; a second, valid
    // statement follows in the same packet's payload.
    const Bytes first = Group(0x01, Statement(Body({0xA2})));
    const Bytes second = Group(0x01, Statement(Body({0xA4})));
    Bytes pes = CaptionPes(SyncPayload({first}));
    pes.insert(pes.end(), second.begin(), second.end());
    tsb::StreamBuilder builder;
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})));
    builder.Pes(kPid, pes);
    CaptionRig rig;
    rig.Feed(builder.Data());
    EXPECT_EQ(rig.Text(), "あ");
}

TEST(CaptionPes, LongPesIsGatheredInFull) {
    tsb::StreamBuilder builder;
    const Bytes pes = CaptionPes(SyncPayload({Group(0x01, Statement(Body(Kanji(2100))))}));
    ASSERT_GE(pes.size(), 4096u + 6);
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})));
    builder.Pes(kPid, pes);
    CaptionRig rig;
    EXPECT_TRUE(rig.Feed(builder.Data()));
    EXPECT_EQ(rig.Text(), KanjiText(2100));
}

TEST(CaptionPes, ContinuityDropDiscardsThePes) {
    tsb::StreamBuilder builder;
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})));
    const std::size_t firstStatement = builder.PacketCount();
    builder.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body(Kanji(200))))})));
    builder.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body({0xA2, 0xA4})))})));
    CaptionRig rig;
    rig.Feed(builder.Data(), {firstStatement + 1});
    EXPECT_FALSE(rig.results[firstStatement + 1]);
    // The rest of the broken PES is refused until the next start packet.
    EXPECT_FALSE(rig.results[firstStatement + 2]);
    EXPECT_EQ(rig.Text(), "あい");
}

TEST(CaptionPes, PacketWithoutPayloadDiscardsThePes) {
    tsb::StreamBuilder builder;
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})));
    const Bytes pes = CaptionPes(SyncPayload({Group(0x01, Statement(Body(Kanji(150))))}));
    builder.Packet(kPid, Bytes(pes.begin(), pes.begin() + 184), StartOptions());
    tsb::PacketOptions adaptationOnly;
    adaptationOnly.noPayload = true;
    builder.Packet(kPid, {}, adaptationOnly);
    builder.Packet(kPid, Bytes(pes.begin() + 184, pes.end()), StuffedOptions());
    CaptionRig rig;
    rig.Feed(builder.Data());
    EXPECT_EQ(rig.Text(), "");
    EXPECT_FALSE(rig.Changed());
}

TEST(CaptionPes, NewStartWithoutStartCodeDropsPartialPes) {
    tsb::StreamBuilder builder;
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})));
    const Bytes pes = CaptionPes(SyncPayload({Group(0x01, Statement(Body(Kanji(150))))}));
    builder.Packet(kPid, Bytes(pes.begin(), pes.begin() + 184), StartOptions());
    builder.Packet(kPid, Bytes{0x00, 0x00, 0x02, 0xBD}, StartOptions());
    builder.Packet(kPid, Bytes(pes.begin() + 184, pes.end()), StuffedOptions());
    CaptionRig rig;
    rig.Feed(builder.Data());
    EXPECT_EQ(rig.Text(), "");
    EXPECT_EQ(rig.entry.assembler.pending, 0);
}

TEST(CaptionDataGroups, CrcMismatchYieldsNoText) {
    tsb::StreamBuilder builder;
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement()})));
    builder.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body({0xA2})), true)})));
    CaptionRig rig;
    EXPECT_FALSE(rig.Feed(builder.Data()));
    EXPECT_EQ(rig.Text(), "");
    tsb::StreamBuilder next;
    next.SetCounter(kPid, builder.NextCounter(kPid));
    next.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body({0xA2})))})));
    EXPECT_TRUE(rig.Feed(next.Data()));
    EXPECT_EQ(rig.Text(), "あ");
}

TEST(CaptionDataGroups, CrcMismatchDropsTheRestOfThePes) {
    tsb::StreamBuilder builder;
    builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement(), Group(0x01, Statement(Body({0xA2})), true),
                                              Group(0x01, Statement(Body({0xA4})))})));
    CaptionRig rig;
    EXPECT_TRUE(rig.Feed(builder.Data()));  // the management group was valid
    EXPECT_EQ(rig.Text(), "");
}

TEST(CaptionDataGroups, LanguageSelection) {
    struct Case {
        uint8_t managementGroup;
        uint8_t statementGroup;
    };
    // "eng" first, "jpn" second: group A selects 0x02, group B 0x22.
    for (const Case c : {Case{0x00, 0x02}, Case{0x20, 0x22}}) {
        tsb::StreamBuilder builder;
        builder.Pes(kPid, CaptionPes(SyncPayload({Group(c.managementGroup, Management({{0, "eng"}, {1, "jpn"}}))})));
        builder.Pes(
            kPid,
            CaptionPes(SyncPayload({Group(static_cast<uint8_t>(c.statementGroup - 1), Statement(Body({0x41})))})));
        builder.Pes(kPid, CaptionPes(SyncPayload({Group(c.statementGroup, Statement(Body({0xA2})))})));
        CaptionRig rig;
        rig.Feed(builder.Data());
        EXPECT_EQ(rig.caption.selectedGroup, c.statementGroup);
        EXPECT_EQ(rig.Text(), "あ");
        EXPECT_EQ(rig.caption.management.languageCount, 2);
        EXPECT_STREQ(rig.caption.management.languages[0].code, "eng");
        EXPECT_STREQ(rig.caption.management.languages[1].code, "jpn");
    }
}

TEST(CaptionDataGroups, NoStatementBeforeJapaneseManagement) {
    tsb::StreamBuilder builder;
    builder.Pes(kPid, CaptionPes(SyncPayload({Group(0x00, Management({{0, "eng"}}))})));
    builder.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body({0xA2})))})));
    CaptionRig rig;
    EXPECT_TRUE(rig.Feed(builder.Data()));
    EXPECT_EQ(rig.caption.selectedGroup, 0);
    EXPECT_EQ(rig.Text(), "");
}

TEST(CaptionDataGroups, IdentifiersOtherThanCaptionAreIgnored) {
    const Bytes groups[] = {JpnManagement(), Group(0x01, Statement(Body({0xA2})))};
    // Superimpose is read like a caption.
    {
        tsb::StreamBuilder builder;
        builder.Pes(kPid, CaptionPes(SyncPayload({groups[0], groups[1]}, 0x81)));
        CaptionRig rig;
        EXPECT_TRUE(rig.Feed(builder.Data()));
        EXPECT_EQ(rig.Text(), "あ");
    }
    for (const auto& [identifier, streamId] : {std::pair<uint8_t, uint8_t>{0x82, 0xFF}, {0x80, 0xFE}}) {
        tsb::StreamBuilder builder;
        builder.Pes(kPid, CaptionPes(SyncPayload({groups[0], groups[1]}, identifier, streamId)));
        CaptionRig rig;
        EXPECT_FALSE(rig.Feed(builder.Data()));
        EXPECT_EQ(rig.Text(), "");
        EXPECT_EQ(rig.caption.selectedGroup, 0);
    }
}

TEST(CaptionText, RepeatedTextDoesNotSetChangedAgain) {
    tsb::StreamBuilder builder;
    const Bytes stream = ManagementThenStatement({0xA2, 0xA4}, builder);
    CaptionRig rig;
    rig.Feed(stream);
    ASSERT_TRUE(rig.Changed());
    rig.caption.decoder.text.changed = 0;
    tsb::StreamBuilder again;
    again.SetCounter(kPid, builder.NextCounter(kPid));
    again.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body({0xA2, 0xA4})))})));
    again.Pes(kPid, CaptionPes(SyncPayload({Group(0x01, Statement(Body({0xA2, 0xA6})))})));
    rig.Feed(Bytes(again.Data().begin(), again.Data().begin() + 188));
    EXPECT_FALSE(rig.Changed());
    rig.Feed(Bytes(again.Data().begin() + 188, again.Data().end()));
    EXPECT_TRUE(rig.Changed());
    EXPECT_EQ(rig.Text(), "あう");
}

TEST(CaptionText, NewTextRepeatedInsideOnePesStaysFlagged) {
    tsb::StreamBuilder builder;
    builder.Pes(
        kPid, CaptionPes(SyncPayload({JpnManagement(), Group(0x01, Statement(Concat({Body({0xA2}), Body({0xA2})})))})));
    CaptionRig rig;
    rig.Feed(builder.Data());
    EXPECT_EQ(rig.Text(), "あ");
    EXPECT_TRUE(rig.Changed());
}

TEST(CaptionText, LastBodyWinsAndEmptyBodyKeepsText) {
    tsb::StreamBuilder builder;
    // A clear-screen-only body decodes to nothing and leaves the stored text.
    builder.Pes(
        kPid, CaptionPes(SyncPayload({JpnManagement(), Group(0x01, Statement(Concat({Body({0xA2}), Unit(0x30, {0xA4}),
                                                                                     Body({0xA6}), Body({0x0C})})))})));
    CaptionRig rig;
    rig.Feed(builder.Data());
    EXPECT_EQ(rig.Text(), "う");
    EXPECT_EQ(rig.caption.decoder.text.used, 3);  // two bytes and the terminator
}

TEST(CaptionHostile, LengthsPointingPastTheData) {
    // data_group_size larger than the PES.
    {
        Bytes group = Group(0x00, Management({{0, "jpn"}}));
        group[3] = 0x7F;
        tsb::StreamBuilder builder;
        builder.Pes(kPid, CaptionPes(SyncPayload({group})));
        CaptionRig rig;
        EXPECT_FALSE(rig.Feed(builder.Data()));
        EXPECT_EQ(rig.caption.selectedGroup, 0);
    }
    // data_unit_size and data_unit_loop_length beyond the group: the
    // complete units before it are still read.
    {
        Bytes units = Concat({Body({0xA2}), Body({0xA4})});
        units[units.size() - 4] = 0x40;  // second unit's size high byte
        Bytes statement = Statement(units);
        statement[1] = 0x7F;  // loop length
        tsb::StreamBuilder builder;
        builder.Pes(kPid, CaptionPes(SyncPayload({JpnManagement(), Group(0x01, statement)})));
        CaptionRig rig;
        EXPECT_TRUE(rig.Feed(builder.Data()));
        EXPECT_EQ(rig.Text(), "あ");
    }
    // PES_header_data_length and the synchronized header length too large.
    {
        Bytes pes = CaptionPes(SyncPayload({JpnManagement()}));
        pes[8] = 0xF0;
        tsb::StreamBuilder builder;
        builder.Pes(kPid, pes);
        Bytes payload = SyncPayload({JpnManagement()});
        payload[2] = 0xFF;
        builder.Pes(kPid, CaptionPes(Bytes(payload.begin(), payload.begin() + 10)));
        CaptionRig rig;
        rig.Feed(builder.Data());
        EXPECT_EQ(rig.caption.selectedGroup, 0);
        for (bool result : rig.results)
            EXPECT_FALSE(result);
    }
    // Adaptation field length beyond the packet and a start code at the very end.
    {
        tsb::PacketOptions options = StartOptions();
        options.adaptation = true;
        Bytes packet = tsb::MakePacket(kPid, 0, {}, options);
        packet[4] = 0xFF;
        CaptionRig rig;
        EXPECT_FALSE(rig.Feed(packet));
        packet[4] = 182;
        packet[187] = 0x00;
        EXPECT_FALSE(rig.Feed(packet));
        EXPECT_EQ(rig.entry.assembler.pending, 0);
    }
}

TEST(CaptionHostile, PesLengthZeroOrPaddingStream) {
    Bytes zero = CaptionPes(SyncPayload({JpnManagement()}));
    zero[4] = 0;
    zero[5] = 0;
    tsb::StreamBuilder builder;
    builder.Pes(kPid, zero);
    builder.Pes(kPid, tsb::MakePes(0xBE, std::nullopt, std::nullopt, SyncPayload({JpnManagement()})));
    CaptionRig rig;
    rig.Feed(builder.Data());
    EXPECT_EQ(rig.caption.selectedGroup, 0);
}

}  // namespace
