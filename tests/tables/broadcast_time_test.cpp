#include <gtest/gtest.h>

#include "tables/stream_context.h"
#include "tests/support/stream_builder.h"

using tsb::Bytes;

namespace {

bool Feed(StreamContext& context, const Bytes& packet) {
    PidEntry* entry = DecodePacket(packet.data(), context);
    return entry != nullptr && ParseTotTdt(packet.data(), context, *entry);
}

Bytes TimePacket(uint8_t tableId, const Bytes& mjdBcd, tsb::PacketOptions options = {}) {
    options.pusi = true;
    return tsb::MakePacket(0x0014, 0, tsb::Concat({{0x00}, tsb::TimeSection(tableId, mjdBcd)}), options);
}

void ExpectDateTime(const DateTime& t, int year, int month, int day, int hour, int minute, int second) {
    EXPECT_EQ(t.year, year);
    EXPECT_EQ(t.month, month);
    EXPECT_EQ(t.day, day);
    EXPECT_EQ(t.hour, hour);
    EXPECT_EQ(t.minute, minute);
    EXPECT_EQ(t.second, second);
}

}  // namespace

TEST(MjdDateTime, BroadcastExamples) {
    DateTime t;
    const uint8_t a[5] = {0xC0, 0x79, 0x12, 0x45, 0x00};
    ASSERT_TRUE(DecodeMjdDateTime(a, t));
    ExpectDateTime(t, 1993, 10, 13, 12, 45, 0);
    EXPECT_EQ(t.dayOfWeek, 0);
    const uint8_t b[5] = {0xE3, 0x2E, 0x23, 0x59, 0x59};
    ASSERT_TRUE(DecodeMjdDateTime(b, t));
    ExpectDateTime(t, 2018, 2, 9, 23, 59, 59);
    // Month ends, a leap day and the turn of a year.
    const uint8_t c[5] = {0xD6, 0x81, 0x00, 0x00, 0x00};  // MJD 54913
    ASSERT_TRUE(DecodeMjdDateTime(c, t));
    ExpectDateTime(t, 2009, 3, 23, 0, 0, 0);
    const Bytes leap = tsb::MjdBcd(2024, 2, 29, 1, 2, 3);
    ASSERT_TRUE(DecodeMjdDateTime(leap.data(), t));
    ExpectDateTime(t, 2024, 2, 29, 1, 2, 3);
    // The ends of the range the formula is exact for: MJD 15079 and 65534.
    const uint8_t first[5] = {0x3A, 0xE7, 0x00, 0x00, 0x00};
    ASSERT_TRUE(DecodeMjdDateTime(first, t));
    ExpectDateTime(t, 1900, 3, 1, 0, 0, 0);
    const uint8_t last[5] = {0xFF, 0xFE, 0x23, 0x59, 0x59};
    ASSERT_TRUE(DecodeMjdDateTime(last, t));
    ExpectDateTime(t, 2038, 4, 21, 23, 59, 59);
}

TEST(MjdDateTime, AllOnesAreRefused) {
    DateTime t;
    const uint8_t noDate[5] = {0xFF, 0xFF, 0x12, 0x00, 0x00};
    EXPECT_FALSE(DecodeMjdDateTime(noDate, t));
    const uint8_t noTime[5] = {0xC0, 0x79, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(DecodeMjdDateTime(noTime, t));
}

TEST(BcdTime, DigitsWithoutRangeCheck) {
    DateTime d;
    const uint8_t bytes[3] = {0x1A, 0x30, 0x99};
    ASSERT_TRUE(DecodeBcdTime(bytes, d));
    EXPECT_EQ(d.hour, 10);
    EXPECT_EQ(d.minute, 30);
    EXPECT_EQ(d.second, 99);
    const uint8_t none[3] = {0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(DecodeBcdTime(none, d));
}

TEST(LocalSeconds, SixtyFourBitsBeyond2038) {
    DateTime t;
    t.year = 2040;
    t.month = 1;
    t.day = 2;
    t.hour = 3;
    t.minute = 4;
    t.second = 5;
    EXPECT_EQ(LocalDateTimeToSeconds(t), 2209053845);  // Asia/Tokyo
    const DateTime back = SecondsToLocalDateTime(2209053845);
    ExpectDateTime(back, 2040, 1, 2, 3, 4, 5);
    EXPECT_EQ(back.dayOfWeek, 1);  // a Monday
    t.hour = 24;
    EXPECT_EQ(LocalDateTimeToSeconds(t), 0);
}

TEST(TotTdt, FirstPreviousAndCurrent) {
    StreamContext context;
    ASSERT_TRUE(Feed(context, TimePacket(0x73, Bytes{0xE3, 0x2E, 0x23, 0x59, 0x59})));
    const BroadcastTime& time = context.broadcast;
    EXPECT_EQ(time.current, 1518188399);
    EXPECT_EQ(time.first, 1518188399);
    EXPECT_EQ(time.previous, 0);
    EXPECT_EQ(time.firstPending, 0);
    ExpectDateTime(time.currentTime, 2018, 2, 9, 23, 59, 59);

    // A TDT moves the values the same way.
    ASSERT_TRUE(Feed(context, TimePacket(0x70, tsb::MjdBcd(2018, 2, 10, 0, 0, 4))));
    EXPECT_EQ(time.current, 1518188404);
    EXPECT_EQ(time.previous, 1518188399);
    EXPECT_EQ(time.first, 1518188399);
    ExpectDateTime(time.previousTime, 2018, 2, 9, 23, 59, 59);
    ExpectDateTime(time.currentTime, 2018, 2, 10, 0, 0, 4);
    ExpectDateTime(time.firstTime, 2018, 2, 9, 23, 59, 59);
}

TEST(TotTdt, RefusedPacketsChangeNothing) {
    StreamContext context;
    ASSERT_TRUE(Feed(context, TimePacket(0x73, tsb::MjdBcd(2020, 5, 9, 20, 0, 0))));
    const int64_t before = context.broadcast.current;
    Bytes notTime = TimePacket(0x73, tsb::MjdBcd(2020, 5, 9, 21, 0, 0));
    notTime[5] = 0x72;
    EXPECT_FALSE(Feed(context, notTime));
    EXPECT_FALSE(Feed(context, TimePacket(0x73, Bytes{0xFF, 0xFF, 0x21, 0x00, 0x00})));
    EXPECT_FALSE(Feed(context, TimePacket(0x73, Bytes{0xE3, 0x2E, 0x25, 0x00, 0x00})));  // hour 25
    Bytes otherPid = TimePacket(0x73, tsb::MjdBcd(2020, 5, 9, 22, 0, 0));
    otherPid[2] = 0x15;
    EXPECT_FALSE(Feed(context, otherPid));
    EXPECT_EQ(context.broadcast.current, before);
    EXPECT_EQ(context.broadcast.previous, 0);
    EXPECT_EQ(context.broadcast.current, 1589022000);
}

TEST(TotTdt, ContinuationPacketIsReadInPlace) {
    StreamContext context;
    const Bytes packet = tsb::MakePacket(0x0014, 3, tsb::TimeSection(0x73, tsb::MjdBcd(2020, 5, 9, 23, 0, 0)));
    ASSERT_TRUE(Feed(context, packet));
    EXPECT_EQ(context.broadcast.current, 1589032800);
}

TEST(TotTdt, StartPacketWithAdaptationField) {
    StreamContext context;
    tsb::PacketOptions options;
    options.pcr = 99;
    ASSERT_TRUE(Feed(context, TimePacket(0x73, tsb::MjdBcd(2020, 5, 9, 23, 0, 0), options)));
    EXPECT_EQ(context.broadcast.current, 1589032800);
}

TEST(TotTdt, TimeFieldPastThePacketEndIsRefused) {
    StreamContext context;
    // Adaptation field of 176 bytes: table_id at byte 182, JST_time would end at 190.
    Bytes packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x00;
    packet[2] = 0x14;
    packet[3] = 0x30;
    packet[4] = 177;
    packet[5] = 0x00;
    const Bytes head{0x73, 0x70, 0x0D, 0xE3, 0x2E, 0x23};
    std::copy(head.begin(), head.end(), packet.begin() + 182);
    EXPECT_FALSE(Feed(context, packet));
    EXPECT_EQ(context.broadcast.firstPending, 1);
    // Two bytes less of adaptation field and the time fits.
    packet[4] = 175;
    const Bytes full{0x73, 0x70, 0x0D, 0xE3, 0x2E, 0x23, 0x59, 0x59};
    std::copy(full.begin(), full.end(), packet.begin() + 180);
    EXPECT_TRUE(Feed(context, packet));
    EXPECT_EQ(context.broadcast.current, 1518188399);
}

TEST(TotTdt, TimeBefore1970IsStoredButNotReported) {
    StreamContext context;
    EXPECT_FALSE(Feed(context, TimePacket(0x73, tsb::MjdBcd(1969, 12, 31, 0, 0, 0))));
    EXPECT_EQ(context.broadcast.current, -118800);
    EXPECT_EQ(context.broadcast.firstPending, 0);
    EXPECT_EQ(context.broadcast.first, -118800);
}

// The prediction from a new broadcast time is the engine's step after the
// table: the parser records the time and nothing else.
TEST(TotTdt, AcceptedTimeLeavesMarksAndPredictionAlone) {
    StreamContext context;
    context.pcr.base = 1000;
    context.pcr.currentElapsed = 5 * 90000;
    ASSERT_TRUE(Feed(context, TimePacket(0x73, tsb::MjdBcd(2024, 5, 1, 12, 0, 0))));
    EXPECT_EQ(context.broadcast.current, 1714532400);
    EXPECT_EQ(context.marks.pcr, 0u);
    EXPECT_EQ(context.wrap.seconds, 0);
    EXPECT_EQ(context.wrap.pending, 0);

    PredictWrap(context);
    EXPECT_EQ(context.marks.pcr, 5u * 90000);
    EXPECT_EQ(context.wrap.pending, 1);
    // (2^33 - 1 - (1000 + 450000)) / 90000 = 95438 whole seconds after the TOT.
    EXPECT_EQ(context.wrap.seconds, 1714532400 + 95438);
}
