#include <algorithm>

#include <gtest/gtest.h>

#include "tables/stream_context.h"
#include "tests/support/stream_builder.h"

using tsb::Bytes;
using tsb::MakePacket;
using tsb::PacketOptions;

TEST(StreamContextList, FindsByIdentifierAndAppendsNewOnes) {
    StreamContextList list;
    StreamContext* first = FindOrCreateStreamContext(list, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(FindOrCreateStreamContext(list, 0), first);
    StreamContext* second = FindOrCreateStreamContext(list, 7);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].get(), second);
    EXPECT_EQ(second->streamId, 7u);
    for (uint16_t slot : first->pcrPids)
        EXPECT_EQ(slot, 0xFFFF);
    EXPECT_EQ(first->broadcast.firstPending, 1);
}

TEST(PidTableRecords, KeepsFirstAppearanceOrderAndUnlinksOnRemove) {
    PidTable table;
    EXPECT_EQ(table.Find(0x100), nullptr);
    PidEntry* a = table.FindOrCreate(0x100);
    PidEntry* b = table.FindOrCreate(0x011);
    PidEntry* c = table.FindOrCreate(0x1FFF);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(table.FindOrCreate(0x011), b);
    EXPECT_EQ(b->pid, 0x011);
    EXPECT_EQ(b->pidCopy, 0x011);
    EXPECT_EQ(b->noCounterSeen, 1);
    table.Remove(0x011);
    EXPECT_EQ(table.Find(0x011), nullptr);
    ASSERT_EQ(table.Entries().size(), 2u);
    EXPECT_EQ(table.Entries()[0].get(), a);
    EXPECT_EQ(table.Entries()[1].get(), c);
    EXPECT_EQ(table.Find(0x1FFF), c);
    PidEntry* again = table.FindOrCreate(0x011);
    EXPECT_EQ(table.Entries().back().get(), again);
}

TEST(DecodePacketHeader, ContinuationFields) {
    StreamContext context;
    PacketOptions o;
    o.priority = true;
    o.scrambling = 2;
    const Bytes packet = MakePacket(0x1ABC, 9, Bytes(184, 0x55), o);
    PidEntry* entry = DecodePacket(packet.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->pid, 0x1ABC);
    EXPECT_EQ(entry->headerValid, 1);
    EXPECT_EQ(entry->continuityCounter, 9);
    EXPECT_EQ(entry->transportPriority, 1);
    EXPECT_EQ(entry->transportScramblingControl, 2);
    EXPECT_EQ(entry->adaptationFieldControl, 1);
    EXPECT_EQ(entry->payloadUnitStartIndicator, 0);
    EXPECT_EQ(entry->headerLength, 4);
    EXPECT_EQ(entry->adaptationParsed, 0);
}

TEST(DecodePacketHeader, MissingSyncByteCreatesNothing) {
    StreamContext context;
    Bytes packet = MakePacket(0x0100, 0, {});
    packet[0] = 0x48;
    EXPECT_EQ(DecodePacket(packet.data(), context), nullptr);
    EXPECT_TRUE(context.pids.Entries().empty());
}

TEST(DecodePacketHeader, UnitStartOffsetForSectionAndPes) {
    StreamContext context;
    PacketOptions start;
    start.pusi = true;
    const Bytes section = MakePacket(0x0030, 0, Bytes{0x00, 0x02, 0xB0, 0x0D}, start);
    PidEntry* entry = DecodePacket(section.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->unitStartOffset, 5);
    EXPECT_EQ(entry->headerLength, 5);
    EXPECT_EQ(entry->pesParsed, 0);

    const Bytes pes = MakePacket(0x0031, 0, tsb::MakePes(0xE0, 0x123456789ull, 0x0FEDCBA98ull, Bytes(10, 1)), start);
    entry = DecodePacket(pes.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->unitStartOffset, 4);
    EXPECT_EQ(entry->headerLength, 4);
    ASSERT_EQ(entry->pesParsed, 1);
    EXPECT_EQ(entry->pes.packetStartCodePrefix, 0x000001u);
    EXPECT_EQ(entry->pes.streamId, 0xE0);
    EXPECT_EQ(entry->pes.ptsDtsFlags, 3);
    EXPECT_EQ(entry->pes.pts, 0x123456789ull);
    EXPECT_EQ(entry->pes.dts, 0x0FEDCBA98ull);
    EXPECT_EQ(entry->pes.pesHeaderDataLength, 10);
    EXPECT_EQ(entry->pes.payloadOffset, 19);
    EXPECT_EQ(entry->pes.pesPacketLength, 3 + 10 + 10);

    // A following packet of the PID keeps the start packet's PES record.
    const Bytes next = MakePacket(0x0031, 1, Bytes(184, 0));
    entry = DecodePacket(next.data(), context);
    EXPECT_EQ(entry->pesParsed, 1);
    EXPECT_EQ(entry->pes.pts, 0x123456789ull);
    EXPECT_EQ(entry->unitStartOffset, 4);
}

TEST(DecodeAdaptation, PcrAndHeaderLength) {
    StreamContext context;
    PacketOptions o;
    o.pcr = 0x1F0E0D0C1ull;
    o.pcrExtension = 0x155;
    o.discontinuity = true;
    const Bytes packet = MakePacket(0x0100, 3, Bytes(10, 0), o);
    PidEntry* entry = DecodePacket(packet.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->adaptationParsed, 1);
    EXPECT_EQ(entry->adaptationFieldControl, 3);
    EXPECT_EQ(entry->adaptation.length, 7);
    EXPECT_EQ(entry->headerLength, 12);
    EXPECT_EQ(entry->adaptation.discontinuityIndicator, 1);
    EXPECT_EQ(entry->adaptation.pcrFlag, 1);
    EXPECT_EQ(entry->adaptation.pcrBase, 0x1F0E0D0C1ull);
    EXPECT_EQ(entry->adaptation.pcrExtension, 0x155);

    // The next packet without adaptation field clears the record.
    const Bytes plain = MakePacket(0x0100, 4, Bytes(184, 0));
    entry = DecodePacket(plain.data(), context);
    EXPECT_EQ(entry->adaptationParsed, 0);
    EXPECT_EQ(entry->adaptation.pcrFlag, 0);
    EXPECT_EQ(entry->adaptation.pcrBase, 0u);
}

TEST(DecodeAdaptation, HostileLengthsStayInsideThePacket) {
    StreamContext context;
    // adaptation_field_length 255 with payload: the header ends at the packet end.
    Bytes packet(188, 0x00);
    packet[0] = 0x47;
    packet[1] = 0x41;  // pusi, PID 0x100
    packet[2] = 0x00;
    packet[3] = 0x30;
    packet[4] = 0xFF;
    packet[5] = 0x10;  // PCR flag; the PCR fits
    PidEntry* entry = DecodePacket(packet.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->headerLength, 188);
    EXPECT_EQ(entry->unitStartOffset, 188);
    EXPECT_EQ(entry->pesParsed, 0);
    EXPECT_EQ(entry->adaptation.pcrFlag, 1);

    // A length of 2 cannot hold the announced PCR: the flag is dropped.
    packet[1] = 0x01;
    packet[4] = 2;
    entry = DecodePacket(packet.data(), context);
    EXPECT_EQ(entry->headerLength, 7);
    EXPECT_EQ(entry->adaptation.pcrFlag, 0);
    EXPECT_EQ(entry->adaptation.pcrBase, 0u);
}

TEST(DecodePesHeader, OptionalFieldsCutByThePacketEndAreDropped) {
    StreamContext context;
    // Adaptation field of 174 bytes: the PES header starts at byte 179, its
    // nine fixed bytes fit, the announced PTS does not.
    Bytes packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x41;
    packet[2] = 0x10;
    packet[3] = 0x30;
    packet[4] = 174;
    packet[5] = 0x00;
    const Bytes pes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0xC0, 0x0A};
    std::copy(pes.begin(), pes.end(), packet.begin() + 179);
    PidEntry* entry = DecodePacket(packet.data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->unitStartOffset, 179);
    ASSERT_EQ(entry->pesParsed, 1);
    EXPECT_EQ(entry->pes.optionalHeader, 1);
    EXPECT_EQ(entry->pes.ptsDtsFlags, 0);
    EXPECT_EQ(entry->pes.pts, 0u);
    EXPECT_EQ(entry->pes.payloadOffset, 19);

    // Start code in the last three bytes: not even the fixed part fits.
    packet[4] = 180;
    std::copy(pes.begin(), pes.begin() + 3, packet.begin() + 185);
    entry = DecodePacket(packet.data(), context);
    EXPECT_EQ(entry->unitStartOffset, 185);
    EXPECT_EQ(entry->pesParsed, 0);
}

TEST(TransportError, RemovesTheEntryAndTheNextPacketStartsAfresh) {
    StreamContext context;
    const Bytes first = MakePacket(0x0200, 0, Bytes(184, 0));
    PidEntry* entry = DecodePacket(first.data(), context);
    ASSERT_NE(entry, nullptr);
    entry->packetCount = 1000;
    entry->noCounterSeen = 0;
    entry->assembler.buffer.Append(first.data(), 100, 940);
    entry->assembler.pending = 20;
    DecodePacket(MakePacket(0x0300, 0, {}).data(), context);

    PacketOptions damaged;
    damaged.tei = true;
    const Bytes bad = MakePacket(0x0200, 1, Bytes(184, 0), damaged);
    EXPECT_EQ(DecodePacket(bad.data(), context), nullptr);
    EXPECT_EQ(context.pids.Find(0x0200), nullptr);
    ASSERT_EQ(context.pids.Entries().size(), 1u);

    entry = DecodePacket(MakePacket(0x0200, 2, Bytes(184, 0)).data(), context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->packetCount, 0);
    EXPECT_EQ(entry->noCounterSeen, 1);
    EXPECT_EQ(entry->assembler.pending, 0);
    EXPECT_EQ(entry->assembler.buffer.used, 0);
    EXPECT_EQ(context.pids.Entries().back().get(), entry);
}

namespace {

// A packet of PID 0x100 filled with 0xFF whose adaptation field holds
// `field` (flags first) under the given adaptation_field_length.
Bytes PacketWithAdaptation(uint8_t length, const Bytes& field) {
    Bytes packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x01;
    packet[2] = 0x00;
    packet[3] = 0x30;
    packet[4] = length;
    std::copy(field.begin(), field.end(), packet.begin() + 5);
    return packet;
}

// A start packet of PID 0x100 filled with 0xFF with the PES header bytes at
// `at`, as far as they fit: right after the header at 4, or after an
// adaptation field filling the bytes in between.
Bytes PacketWithPes(int at, const Bytes& pes) {
    Bytes packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x41;
    packet[2] = 0x00;
    packet[3] = at == 4 ? 0x10 : 0x30;
    if (at > 4) {
        packet[4] = static_cast<uint8_t>(at - 5);
        packet[5] = 0x00;
    }
    const std::size_t fits = std::min(pes.size(), packet.size() - static_cast<std::size_t>(at));
    std::copy_n(pes.begin(), fits, packet.begin() + at);
    return packet;
}

// Extension flags 0xE0: legal time window 0x0123 (valid), piecewise rate
// 0x012345, seamless splice type 3 with DTS_next_AU 0x848D3C4D.
const Bytes kAdaptationWithExtension{0x01, 0x0A, 0xE0, 0x81, 0x23, 0xC1, 0x23, 0x45, 0x35, 0x12, 0x35, 0x78, 0x9B};

}  // namespace

TEST(DecodeAdaptation, ExtensionFieldsWhenTheyFit) {
    StreamContext context;
    const Bytes packet = PacketWithAdaptation(13, kAdaptationWithExtension);
    const AdaptationField& af = DecodePacket(packet.data(), context)->adaptation;
    EXPECT_EQ(af.adaptationFieldExtensionFlag, 1);
    EXPECT_EQ(af.adaptationFieldExtensionLength, 0x0A);
    EXPECT_EQ(af.ltwFlag, 1);
    EXPECT_EQ(af.ltwValidFlag, 1);
    EXPECT_EQ(af.ltwOffset, 0x0123);
    EXPECT_EQ(af.piecewiseRateFlag, 1);
    EXPECT_EQ(af.piecewiseRate, 0x012345u);
    EXPECT_EQ(af.seamlessSpliceFlag, 1);
    EXPECT_EQ(af.spliceType, 3);
    EXPECT_EQ(af.dtsNextAu, 0x848D3C4Dull);
}

TEST(DecodeAdaptation, ExtensionCutByTheFieldLengthKeepsWhatFits) {
    StreamContext context;
    // One byte short of the splice: the window and the rate stay.
    Bytes packet = PacketWithAdaptation(12, kAdaptationWithExtension);
    const AdaptationField* af = &DecodePacket(packet.data(), context)->adaptation;
    EXPECT_EQ(af->piecewiseRateFlag, 1);
    EXPECT_EQ(af->piecewiseRate, 0x012345u);
    EXPECT_EQ(af->seamlessSpliceFlag, 0);
    EXPECT_EQ(af->spliceType, 0);
    EXPECT_EQ(af->dtsNextAu, 0u);

    // Room for the window only.
    packet = PacketWithAdaptation(5, kAdaptationWithExtension);
    af = &DecodePacket(packet.data(), context)->adaptation;
    EXPECT_EQ(af->ltwFlag, 1);
    EXPECT_EQ(af->ltwOffset, 0x0123);
    EXPECT_EQ(af->piecewiseRateFlag, 0);
    EXPECT_EQ(af->piecewiseRate, 0u);
    EXPECT_EQ(af->seamlessSpliceFlag, 0);

    // The window does not fit: all three go, the extension itself stays.
    packet = PacketWithAdaptation(4, kAdaptationWithExtension);
    af = &DecodePacket(packet.data(), context)->adaptation;
    EXPECT_EQ(af->adaptationFieldExtensionFlag, 1);
    EXPECT_EQ(af->adaptationFieldExtensionLength, 0x0A);
    EXPECT_EQ(af->ltwFlag, 0);
    EXPECT_EQ(af->ltwOffset, 0);
    EXPECT_EQ(af->piecewiseRateFlag, 0);
    EXPECT_EQ(af->seamlessSpliceFlag, 0);

    // Not even the extension's length and flags fit.
    packet = PacketWithAdaptation(2, kAdaptationWithExtension);
    af = &DecodePacket(packet.data(), context)->adaptation;
    EXPECT_EQ(af->adaptationFieldExtensionFlag, 0);
    EXPECT_EQ(af->adaptationFieldExtensionLength, 0);
    EXPECT_EQ(af->ltwFlag, 0);
}

TEST(DecodeAdaptation, PrivateDataPastTheFieldDropsOnlyTheExtension) {
    StreamContext context;
    // Splice countdown -2, then five bytes of private data in a field of four.
    const Bytes packet = PacketWithAdaptation(4, {0x07, 0xFE, 0x05, 0xAA, 0xBB});
    const AdaptationField& af = DecodePacket(packet.data(), context)->adaptation;
    EXPECT_EQ(af.splicingPointFlag, 1);
    EXPECT_EQ(af.spliceCountdown, -2);
    EXPECT_EQ(af.transportPrivateDataFlag, 1);
    EXPECT_EQ(af.transportPrivateDataLength, 5);
    EXPECT_EQ(af.privateDataOffset, 4);
    EXPECT_EQ(af.adaptationFieldExtensionFlag, 0);
}

namespace {

// Every optional field and every extension part: PTS 0x123456789, DTS
// 0x0FEDCBA98, ESCR 0x1ABCDEF01 extension 0x1A5, ES rate 0x2ABCDE, fast
// forward trick mode, copy info 0x55, previous CRC 0xBEEF, private data
// 0..15, a three-byte pack header, sequence counter 0x2A (MPEG-2, stuffing
// 0x15), P-STD scale 1 size 0x1234 and a second extension of length 5.
Bytes FullPesHeader() {
    Bytes pes{0x00, 0x00, 0x01, 0xE0, 0x12, 0x34, 0x85, 0xFF, 50,   0x39, 0x8D, 0x15, 0xCF, 0x13, 0x17, 0xFB, 0x73,
              0x75, 0x31, 0xF6, 0xBC, 0xDF, 0x78, 0x0F, 0x4B, 0xD5, 0x79, 0xBD, 0x1D, 0xD5, 0xBE, 0xEF, 0xF1};
    for (uint8_t i = 0; i < 16; ++i)
        pes.push_back(i);
    const Bytes tail{0x03, 0xA1, 0xA2, 0xA3, 0xAA, 0x55, 0x72, 0x34, 0x85, 0x80};
    pes.insert(pes.end(), tail.begin(), tail.end());
    return pes;
}

}  // namespace

TEST(DecodePesHeader, EveryOptionalFieldAndExtensionPart) {
    StreamContext context;
    const Bytes packet = PacketWithPes(4, FullPesHeader());
    const PesHeader& pes = DecodePacket(packet.data(), context)->pes;
    EXPECT_EQ(pes.pesPacketLength, 0x1234);
    EXPECT_EQ(pes.marker, 2);
    EXPECT_EQ(pes.dataAlignmentIndicator, 1);
    EXPECT_EQ(pes.originalOrCopy, 1);
    EXPECT_EQ(pes.copyright, 0);
    EXPECT_EQ(pes.payloadOffset, 59);
    EXPECT_EQ(pes.pts, 0x123456789ull);
    EXPECT_EQ(pes.dts, 0x0FEDCBA98ull);
    EXPECT_EQ(pes.escrBase, 0x1ABCDEF01ull);
    EXPECT_EQ(pes.escrExtension, 0x1A5);
    EXPECT_EQ(pes.esRate, 0x2ABCDEu);
    EXPECT_EQ(pes.trickModeControl, 0);
    EXPECT_EQ(pes.fieldId, 3);
    EXPECT_EQ(pes.intraSliceRefresh, 1);
    EXPECT_EQ(pes.frequencyTruncation, 1);
    EXPECT_EQ(pes.additionalCopyInfo, 0x55);
    EXPECT_EQ(pes.previousPesPacketCrc, 0xBEEF);
    EXPECT_EQ(pes.pesPrivateData[0], 0);
    EXPECT_EQ(pes.pesPrivateData[15], 15);
    EXPECT_EQ(pes.packFieldLength, 3);
    EXPECT_EQ(pes.programPacketSequenceCounter, 0x2A);
    EXPECT_EQ(pes.mpeg1Mpeg2Identifier, 1);
    EXPECT_EQ(pes.originalStuffLength, 0x15);
    EXPECT_EQ(pes.pStdBufferScale, 1);
    EXPECT_EQ(pes.pStdBufferSize, 0x1234);
    EXPECT_EQ(pes.pesExtensionFieldLength, 5);
    EXPECT_EQ(pes.streamIdExtensionFlag, 1);
}

TEST(DecodePesHeader, PackHeaderPastThePacketKeepsItsLengthOnly) {
    StreamContext context;
    Bytes header = FullPesHeader();
    header[49] = 0xFF;  // pack_field_length
    const Bytes packet = PacketWithPes(4, header);
    const PesHeader& pes = DecodePacket(packet.data(), context)->pes;
    EXPECT_EQ(pes.pesExtensionFlag, 1);
    EXPECT_EQ(pes.pesPrivateDataFlag, 1);
    EXPECT_EQ(pes.pesPrivateData[15], 15);
    EXPECT_EQ(pes.packHeaderFieldFlag, 1);
    EXPECT_EQ(pes.packFieldLength, 0xFF);
    EXPECT_EQ(pes.programPacketSequenceCounterFlag, 0);
    EXPECT_EQ(pes.programPacketSequenceCounter, 0);
    EXPECT_EQ(pes.pStdBufferFlag, 0);
    EXPECT_EQ(pes.pesExtensionFlag2, 0);
    EXPECT_EQ(pes.pesExtensionFieldLength, 0);
}

TEST(DecodePesHeader, DtsCutByThePacketEndLeavesThePts) {
    StreamContext context;
    // Fourteen bytes left: the fixed part and the PTS.
    const Bytes packet = PacketWithPes(174, FullPesHeader());
    const PesHeader& pes = DecodePacket(packet.data(), context)->pes;
    EXPECT_EQ(pes.ptsDtsFlags, 2);
    EXPECT_EQ(pes.pts, 0x123456789ull);
    EXPECT_EQ(pes.dts, 0u);
    EXPECT_EQ(pes.escrFlag, 0);
    EXPECT_EQ(pes.esRateFlag, 0);
    EXPECT_EQ(pes.dsmTrickModeFlag, 0);
    EXPECT_EQ(pes.additionalCopyInfoFlag, 0);
    EXPECT_EQ(pes.pesCrcFlag, 0);
    EXPECT_EQ(pes.pesExtensionFlag, 0);
}

// Random headers on a few PIDs, decoded the way the packet loop does and by
// the full header decoder: every field must agree after every packet.
TEST(DecodePacketHeader, QuickPayloadOnlyCaseAgreesWithTheFullDecoder) {
    StreamContext quick;
    StreamContext full;
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    int payloadOnly = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes packet(188);
        for (uint8_t& byte : packet)
            byte = next();
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((packet[1] & 0xE0) | (next() % 3));  // PIDs 0x000-0x2FF
        if (next() % 8 != 0) packet[1] &= 0x3F;                               // mostly no error, no start
        if (next() % 4 != 0) packet[3] = static_cast<uint8_t>((packet[3] & 0xCF) | 0x10);
        const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
        payloadOnly += (packet[1] & 0xC0) == 0 && (packet[3] & 0x30) == 0x10;
        PidEntry* a = DecodePacket(packet.data(), quick);
        PidEntry* b = full.pids.FindOrCreate(pid);
        ASSERT_NE(b, nullptr);
        if (!DecodeHeader(packet.data(), *b)) {
            full.pids.Remove(pid);
            b = nullptr;
        }
        ASSERT_EQ(a == nullptr, b == nullptr) << i;
        if (a == nullptr) continue;
        ASSERT_EQ(a->headerValid, b->headerValid) << i;
        ASSERT_EQ(a->continuityCounter, b->continuityCounter) << i;
        ASSERT_EQ(a->headerLength, b->headerLength) << i;
        ASSERT_EQ(a->transportErrorIndicator, b->transportErrorIndicator) << i;
        ASSERT_EQ(a->payloadUnitStartIndicator, b->payloadUnitStartIndicator) << i;
        ASSERT_EQ(a->transportPriority, b->transportPriority) << i;
        ASSERT_EQ(a->transportScramblingControl, b->transportScramblingControl) << i;
        ASSERT_EQ(a->adaptationFieldControl, b->adaptationFieldControl) << i;
        ASSERT_EQ(a->adaptationParsed, b->adaptationParsed) << i;
        ASSERT_EQ(a->adaptation.length, b->adaptation.length) << i;
        ASSERT_EQ(a->adaptation.pcrFlag, b->adaptation.pcrFlag) << i;
        ASSERT_EQ(a->adaptation.pcrBase, b->adaptation.pcrBase) << i;
        ASSERT_EQ(a->pesParsed, b->pesParsed) << i;
        ASSERT_EQ(a->unitStartOffset, b->unitStartOffset) << i;
    }
    // Both kinds of packet were there in numbers.
    EXPECT_GT(payloadOnly, 5000);
    EXPECT_LT(payloadOnly, 15000);
}
