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
