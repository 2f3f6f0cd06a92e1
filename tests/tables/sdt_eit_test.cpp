#include <gtest/gtest.h>

#include <string>

#include "engine/table_lines.h"
#include "platform/process_state.h"
#include "report/report.h"
#include "tests/support/recording_output.h"
#include "tables/stream_context.h"
#include "tests/support/stream_builder.h"
#include "tests/tables/table_feed.h"

using tabletest::Cp932;
using tabletest::FeedAll;
using tsb::Bytes;

namespace {

// JIS X 0208 codes of a few kana, as the SI texts carry them.
const Bytes kA{0x24, 0x22, 0x24, 0x24};  // あい
const Bytes kU{0x24, 0x26, 0x24, 0x28};  // うえ
const Bytes kO{0x24, 0x2A};              // お
const Bytes kKa{0x24, 0x2B};             // か
const Bytes kKi{0x24, 0x2D};             // き
const Bytes kKu{0x24, 0x2F};             // く

struct Service {
    uint16_t id;
    Bytes provider;
    Bytes name;
    Bytes extra = {};  // descriptors before the service_descriptor
};

Bytes SdtSection(uint16_t tsid, const std::vector<Service>& services, uint8_t tableId = 0x42) {
    Bytes body{0x7F, 0xE1, 0xFF};  // original_network_id, reserved
    for (const Service& s : services) {
        Bytes descriptors = s.extra;
        Bytes sd{0x48, 0, 0x01, static_cast<uint8_t>(s.provider.size())};
        sd.insert(sd.end(), s.provider.begin(), s.provider.end());
        sd.push_back(static_cast<uint8_t>(s.name.size()));
        sd.insert(sd.end(), s.name.begin(), s.name.end());
        sd[1] = static_cast<uint8_t>(sd.size() - 2);
        descriptors.insert(descriptors.end(), sd.begin(), sd.end());
        body.push_back(static_cast<uint8_t>(s.id >> 8));
        body.push_back(static_cast<uint8_t>(s.id));
        body.push_back(0xFC);
        body.push_back(static_cast<uint8_t>(0x80 | (descriptors.size() >> 8)));
        body.push_back(static_cast<uint8_t>(descriptors.size()));
        body.insert(body.end(), descriptors.begin(), descriptors.end());
    }
    return tsb::MakeSection(tableId, tsid, body);
}

struct Event {
    Bytes start;     // MJD + BCD
    Bytes duration;  // BCD
    Bytes name;
    Bytes text = {};
};

Bytes EitSection(const std::vector<Event>& events, uint8_t tableId = 0x4E, const Bytes& padding = {}) {
    Bytes body{0x7F, 0xE1, 0x7F, 0xE1, 0x00, 0x4E};
    uint16_t eventId = 0x1000;
    for (const Event& e : events) {
        Bytes d{0x4D, 0, 'j', 'p', 'n', static_cast<uint8_t>(e.name.size())};
        d.insert(d.end(), e.name.begin(), e.name.end());
        d.push_back(static_cast<uint8_t>(e.text.size()));
        d.insert(d.end(), e.text.begin(), e.text.end());
        d[1] = static_cast<uint8_t>(d.size() - 2);
        d.insert(d.end(), padding.begin(), padding.end());
        body.push_back(static_cast<uint8_t>(eventId >> 8));
        body.push_back(static_cast<uint8_t>(eventId++));
        body.insert(body.end(), e.start.begin(), e.start.end());
        body.insert(body.end(), e.duration.begin(), e.duration.end());
        body.push_back(static_cast<uint8_t>(0x80 | (d.size() >> 8)));
        body.push_back(static_cast<uint8_t>(d.size()));
        body.insert(body.end(), d.begin(), d.end());
    }
    return tsb::MakeSection(tableId, 0x0400, body);
}

// Console output of the print functions, with the console on and no
// progress line open.
class TableOutput : public ::testing::Test {
protected:
    void SetUp() override { console_.reporter.MarkConsoleLineClosed(true); }
    // What one print call adds to the console.
    template <typename F>
    std::string Capture(F&& print, int& lines) {
        const std::size_t before = console_.output.StandardOutput().size();
        lines = print();
        return console_.output.StandardOutput().substr(before);
    }
    std::string PrintSdt(StreamContext& context, int& lines) {
        return Capture([&] { return PrintServiceLines(console_.reporter, context); }, lines);
    }
    std::string PrintEit(StreamContext& context, int& lines) {
        return Capture([&] { return PrintEventLines(console_.reporter, context); }, lines);
    }
    bool ConsoleLineClosed() const { return console_.reporter.ConsoleLineClosed(); }
    void OpenProgressLine() { console_.reporter.MarkConsoleLineClosed(false); }
    RecordingReporter console_;
    std::vector<bool> Feed(StreamContext& context, uint16_t pid, const Bytes& section, tabletest::Parser parser) {
        tsb::StreamBuilder& b = builder_;
        const std::size_t from = b.Data().size();
        b.Section(pid, section);
        return FeedAll(context, Bytes(b.Data().begin() + static_cast<long>(from), b.Data().end()), parser);
    }
    tsb::StreamBuilder builder_;
};

}  // namespace

using Sdt = TableOutput;
using Eit = TableOutput;

TEST_F(Sdt, TwoServicesPrintedOnceEach) {
    StreamContext context;
    const Bytes section = SdtSection(0x7FE1, {{0x0400, kA, kU}, {0x0401, {}, kO}});
    EXPECT_EQ(Feed(context, 0x0011, section, ParseSdt), std::vector<bool>{true});
    EXPECT_EQ(context.transportStreamId, 0x7FE1);
    ASSERT_EQ(context.services.count, 2);
    int lines = 0;
    EXPECT_EQ(PrintSdt(context, lines),
              "0x0400 " + Cp932("あい") + " " + Cp932("うえ") + " \r\n" + "0x0401 " + Cp932("お") + " \r\n");
    EXPECT_EQ(lines, 2);
    EXPECT_TRUE(ConsoleLineClosed());

    EXPECT_EQ(Feed(context, 0x0011, section, ParseSdt), std::vector<bool>{true});
    EXPECT_EQ(PrintSdt(context, lines), "");
    EXPECT_EQ(lines, 0);
}

TEST_F(Sdt, OpenProgressLineIsEndedFirst) {
    StreamContext context;
    Feed(context, 0x0011, SdtSection(1, {{0x0400, {}, kO}}), ParseSdt);
    OpenProgressLine();
    int lines = 0;
    EXPECT_EQ(PrintSdt(context, lines), "\r\n0x0400 " + Cp932("お") + " \r\n");
    EXPECT_TRUE(ConsoleLineClosed());
}

TEST_F(Sdt, OtherTransportStreamAndOtherPidsAreNotRead) {
    StreamContext context;
    EXPECT_EQ(Feed(context, 0x0011, SdtSection(1, {{0x0400, kA, kU}}, 0x46), ParseSdt), std::vector<bool>{false});
    EXPECT_EQ(Feed(context, 0x0012, SdtSection(1, {{0x0400, kA, kU}}), ParseSdt), std::vector<bool>{false});
    EXPECT_EQ(context.services.count, 0);
    int lines = 0;
    EXPECT_EQ(PrintSdt(context, lines), "");
}

TEST_F(Sdt, RepeatedSectionOverTwoPacketsPrintsWhileInProgressOnly) {
    StreamContext context;
    Feed(context, 0x0011, SdtSection(1, {{0x0400, kA, kU}}), ParseSdt);
    int lines = 0;
    PrintSdt(context, lines);
    ASSERT_EQ(lines, 1);
    // Name changes; the section is padded with a long descriptor to span two packets.
    const Bytes padding{0x88, 180};
    Bytes extra = padding;
    extra.resize(182, 0x00);
    const Bytes changed = SdtSection(1, {{0x0400, kA, kO, extra}});
    EXPECT_EQ(Feed(context, 0x0011, changed, ParseSdt), (std::vector<bool>{true, true}));
    EXPECT_EQ(PrintSdt(context, lines), "0x0400 " + Cp932("あい") + " " + Cp932("お") + " \r\n");

    tsb::StreamBuilder& b = builder_;
    const std::size_t from = b.Data().size();
    b.Section(0x0011, changed);
    const auto packets = tabletest::SplitPackets(Bytes(b.Data().begin() + static_cast<long>(from), b.Data().end()));
    ASSERT_EQ(packets.size(), 2u);
    PidEntry* entry = DecodePacket(packets[0].data(), context);
    EXPECT_TRUE(ParseSdt(packets[0].data(), context, *entry));
    PrintSdt(context, lines);
    EXPECT_EQ(lines, 1);  // the flags still hold while the section is gathered
    entry = DecodePacket(packets[1].data(), context);
    EXPECT_TRUE(ParseSdt(packets[1].data(), context, *entry));
    PrintSdt(context, lines);
    EXPECT_EQ(lines, 0);
}

TEST_F(Sdt, NameLengthsAreFollowedPastAShortDescriptorLength) {
    StreamContext context;
    // A service_descriptor of length 3 announces a 2-byte service name; the
    // name is read from the bytes that follow, the service_id 0x242B of the
    // next service.
    const Bytes body{0x7F, 0xE1, 0xFF,                                            // original_network_id, reserved
                     0x04, 0x00, 0xFC, 0x80, 0x05, 0x48, 0x03, 0x01, 0x00, 0x02,  // service 0x0400
                     0x24, 0x2B, 0xFC, 0x80, 0x00};                               // service 0x242B, no descriptors
    EXPECT_EQ(Feed(context, 0x0011, tsb::MakeSection(0x42, 1, body), ParseSdt), std::vector<bool>{true});
    ASSERT_EQ(context.services.count, 2);
    EXPECT_EQ(context.services.ids[1], 0x242B);
    int lines = 0;
    EXPECT_EQ(PrintSdt(context, lines), "0x0400 " + Cp932("か") + " \r\n");
    EXPECT_EQ(lines, 1);
}

TEST_F(Sdt, NoMoreThanSixServicesAndOverlongLoopsStayInTheirService) {
    StreamContext context;
    std::vector<Service> services;
    for (uint16_t id = 0x0401; id <= 0x0408; ++id)
        services.push_back({id, {}, kO});
    // The first service's descriptor loop claims 0xFFF bytes.
    Bytes section = SdtSection(1, services);
    section[11 + 3] = 0x8F;
    section[11 + 4] = 0xFF;
    const uint32_t crc = tsb::Crc32(section.data(), section.size() - 4);
    for (int i = 0; i < 4; ++i)
        section[section.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    EXPECT_EQ(Feed(context, 0x0011, section, ParseSdt), std::vector<bool>{true});
    // The overlong loop swallows the rest of the section: one service.
    EXPECT_EQ(context.services.count, 1);

    Feed(context, 0x0011, SdtSection(2, services), ParseSdt);
    ASSERT_EQ(context.services.count, 6);
    EXPECT_EQ(context.services.ids[5], 0x0406);
    int lines = 0;
    const std::string out = PrintSdt(context, lines);
    // 0x0401 kept its name; 0x0407 and 0x0408 have no slots.
    EXPECT_EQ(lines, 5);
    EXPECT_EQ(out.find("0x0401"), std::string::npos);
    EXPECT_NE(out.find("0x0406"), std::string::npos);
    EXPECT_EQ(out.find("0x0407"), std::string::npos);
}

TEST_F(Eit, ProgrammeChangePrintsSixLinesOnce) {
    StreamContext context;
    const Bytes present = EitSection({{tsb::MjdBcd(2020, 5, 9, 20, 0, 0), tsb::Bcd3(1, 0, 0), kKa}});
    const Bytes following = EitSection({{tsb::MjdBcd(2020, 5, 9, 21, 0, 0), tsb::Bcd3(0, 30, 0), kKi}});
    int lines = 0;
    EXPECT_EQ(Feed(context, 0x0012, present, ParseEit), std::vector<bool>{true});
    EXPECT_EQ(PrintEit(context, lines), "");
    EXPECT_EQ(context.events.currentStart, 1589022000);
    EXPECT_EQ(context.events.currentDurationSeconds, 3600);

    EXPECT_EQ(Feed(context, 0x0012, following, ParseEit), std::vector<bool>{true});
    EXPECT_EQ(PrintEit(context, lines), "2020/05/09 20:00:00\r\n1:00:00\r\n" + Cp932("か") + "\r\n" +
                                            "2020/05/09 21:00:00\r\n0:30:00\r\n" + Cp932("き") + "\r\n");
    EXPECT_EQ(lines, 6);

    Feed(context, 0x0012, present, ParseEit);
    EXPECT_EQ(PrintEit(context, lines), "");
    Feed(context, 0x0026, following, ParseEit);
    EXPECT_EQ(PrintEit(context, lines), "");
    EXPECT_EQ(lines, 0);
}

TEST_F(Eit, EventTextAndEmptyDuration) {
    StreamContext context;
    Feed(context, 0x0027, EitSection({{tsb::MjdBcd(2020, 5, 9, 20, 0, 0), tsb::Bcd3(1, 0, 0), kKa, kKu}}), ParseEit);
    Feed(context, 0x0027, EitSection({{tsb::MjdBcd(2020, 5, 9, 21, 0, 0), Bytes{0xFF, 0xFF, 0xFF}, kKi, kKu}}),
         ParseEit);
    EXPECT_EQ(context.events.currentDurationSeconds, 0);
    int lines = 0;
    // The latest text slot was empty before this shift, so both texts show.
    EXPECT_EQ(PrintEit(context, lines), "2020/05/09 20:00:00\r\n1:00:00\r\n" + Cp932("か") + "\r\n" + Cp932("く") +
                                            "\r\n2020/05/09 21:00:00\r\n0:00:00\r\n" + Cp932("き") + "\r\n" +
                                            Cp932("く") + "\r\n");
    EXPECT_EQ(lines, 8);
    // The next change of programme keeps the same text: names only.
    Feed(context, 0x0027, EitSection({{tsb::MjdBcd(2020, 5, 9, 22, 0, 0), tsb::Bcd3(0, 10, 0), kKa, kKu}}), ParseEit);
    EXPECT_EQ(PrintEit(context, lines), "2020/05/09 21:00:00\r\n0:00:00\r\n" + Cp932("き") + "\r\n" +
                                            "2020/05/09 22:00:00\r\n0:10:00\r\n" + Cp932("か") + "\r\n");
}

TEST_F(Eit, TextLengthIsFollowedPastAShortDescriptorLength) {
    StreamContext context;
    Feed(context, 0x0012, EitSection({{tsb::MjdBcd(2020, 5, 9, 20, 0, 0), tsb::Bcd3(1, 0, 0), kKa}}), ParseEit);
    // short_event_descriptor of length 7: name "き" and a text length of 2 whose
    // bytes are the tag and length of the next descriptor (0x24 0x2B, "か").
    Bytes descriptors{0x4D, 0x07, 'j', 'p', 'n', 0x02, 0x24, 0x2D, 0x02, 0x24, 0x2B};
    descriptors.resize(descriptors.size() + 0x2B, 0x00);
    const Bytes start = tsb::MjdBcd(2020, 5, 9, 21, 0, 0);
    const Bytes duration = tsb::Bcd3(0, 30, 0);
    const Bytes body = tsb::Concat({{0x7F, 0xE1, 0x7F, 0xE1, 0x00, 0x4E, 0x10, 0x01},
                                    start,
                                    duration,
                                    {0x80, static_cast<uint8_t>(descriptors.size())},
                                    descriptors});
    EXPECT_EQ(Feed(context, 0x0012, tsb::MakeSection(0x4E, 0x0400, body), ParseEit), std::vector<bool>{true});
    int lines = 0;
    EXPECT_EQ(PrintEit(context, lines), "2020/05/09 20:00:00\r\n1:00:00\r\n" + Cp932("か") + "\r\n" +
                                            "2020/05/09 21:00:00\r\n0:30:00\r\n" + Cp932("き") + "\r\n" + Cp932("か") +
                                            "\r\n");
    EXPECT_EQ(lines, 7);
}

TEST_F(Eit, WrongTablesAndPidsAreRejected) {
    StreamContext context;
    const Event e{tsb::MjdBcd(2020, 5, 9, 20, 0, 0), tsb::Bcd3(1, 0, 0), kKa};
    EXPECT_EQ(Feed(context, 0x0012, EitSection({e}, 0x50), ParseEit), std::vector<bool>{false});
    EXPECT_EQ(Feed(context, 0x0012, EitSection({e}, 0x4F), ParseEit), std::vector<bool>{false});
    EXPECT_EQ(Feed(context, 0x0011, EitSection({e}), ParseEit), std::vector<bool>{false});
    EXPECT_EQ(context.events.currentStart, 0);
}

TEST_F(Eit, StartPacketCompletesThePendingSection) {
    StreamContext context;
    // A section that fills the first packet and needs 3 more bytes.
    Bytes padding{0x88, 0};
    const Event e{tsb::MjdBcd(2020, 5, 9, 20, 0, 0), tsb::Bcd3(1, 0, 0), kKa};
    Bytes section = EitSection({e});
    padding[1] = static_cast<uint8_t>(183 + 3 - section.size() - 2);
    padding.resize(padding[1] + 2, 0x00);
    section = EitSection({e}, 0x4E, padding);
    ASSERT_EQ(section.size(), 186u);
    tsb::PacketOptions start;
    start.pusi = true;
    const Bytes first = tsb::MakePacket(0x0012, 0, tsb::Concat({{0x00}, section}), start);
    // The start packet of the next section: pointer_field 3, the tail, then a new section.
    const Bytes tail(section.end() - 3, section.end());
    const Bytes next = EitSection({{tsb::MjdBcd(2020, 5, 9, 21, 0, 0), tsb::Bcd3(0, 30, 0), kKi}});
    const Bytes second = tsb::MakePacket(0x0012, 1, tsb::Concat({{0x03}, tail, next}), start);
    EXPECT_EQ(FeedAll(context, tsb::Concat({first, second}), ParseEit), (std::vector<bool>{true, true}));
    EXPECT_EQ(context.events.currentStart, 1589022000);  // the 21:00 section in that packet was not read
    EXPECT_EQ(tabletest::SlotText(context.events.currentName), Cp932("か"));
}

// What the tables hand to the printing: exact records, no console involved.
TEST_F(Sdt, ChangedServiceLinesAreTheChangedNamesInTableOrder) {
    StreamContext context;
    const Bytes first = SdtSection(0x7FE1, {{0x0400, kA, kU}, {0x0401, {}, kO}});
    Feed(context, 0x0011, first, ParseSdt);
    const std::vector<ServiceLine> lines = ChangedServiceLines(context);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].serviceId, 0x0400);
    EXPECT_EQ(lines[0].provider, Cp932("あい"));
    EXPECT_EQ(lines[0].service, Cp932("うえ"));
    EXPECT_EQ(lines[1].serviceId, 0x0401);
    EXPECT_EQ(lines[1].provider, "");
    EXPECT_EQ(lines[1].service, Cp932("お"));
    // Asking again changes nothing: the flags belong to the next table.
    EXPECT_EQ(ChangedServiceLines(context).size(), 2u);

    // Only the second service's name changes.
    Feed(context, 0x0011, SdtSection(0x7FE1, {{0x0400, kA, kU}, {0x0401, {}, kKa}}), ParseSdt);
    const std::vector<ServiceLine> changed = ChangedServiceLines(context);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].serviceId, 0x0401);
    EXPECT_EQ(changed[0].service, Cp932("か"));
}

TEST_F(Sdt, StopRequestDoesNotCutTheTable) {
    StreamContext context;
    StopRequested = 1;
    const std::vector<bool> consumed =
        Feed(context, 0x0011, SdtSection(0x7FE1, {{0x0400, kA, kU}, {0x0401, {}, kO}}), ParseSdt);
    StopRequested = 0;
    EXPECT_EQ(consumed, std::vector<bool>{true});
    EXPECT_EQ(context.services.count, 2);
    EXPECT_EQ(ChangedServiceLines(context).size(), 2u);
}

TEST_F(Eit, TakeEventLinesGivesBothEventsOnceAfterAMove) {
    StreamContext context;
    Feed(context, 0x0012, EitSection({{tsb::MjdBcd(2020, 5, 9, 20, 0, 0), tsb::Bcd3(1, 0, 0), kKa, kKu}}), ParseEit);
    EXPECT_TRUE(TakeEventLines(context).empty());  // no move yet

    Feed(context, 0x0012, EitSection({{tsb::MjdBcd(2020, 5, 9, 21, 0, 0), tsb::Bcd3(0, 30, 0), kKi}}), ParseEit);
    const std::vector<EventLines> events = TakeEventLines(context);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].start.hour, 20);
    EXPECT_EQ(events[0].duration.hour, 1);
    EXPECT_EQ(events[0].name, Cp932("か"));
    // The new event has no text, so no text changed: neither shows one.
    EXPECT_FALSE(events[0].text.has_value());
    EXPECT_EQ(events[1].start.hour, 21);
    EXPECT_EQ(events[1].duration.minute, 30);
    EXPECT_EQ(events[1].name, Cp932("き"));
    EXPECT_FALSE(events[1].text.has_value());

    // Taken: the same table again gives the parts without a change.
    Feed(context, 0x0012, EitSection({{tsb::MjdBcd(2020, 5, 9, 21, 0, 0), tsb::Bcd3(0, 30, 0), kKi}}), ParseEit);
    EXPECT_TRUE(TakeEventLines(context).empty());
}

TEST_F(Eit, StopRequestDoesNotCutTheTable) {
    StreamContext context;
    StopRequested = 1;
    const std::vector<bool> consumed = Feed(
        context, 0x0012, EitSection({{tsb::MjdBcd(2020, 5, 9, 20, 0, 0), tsb::Bcd3(1, 0, 0), kKa, kKu}}), ParseEit);
    StopRequested = 0;
    EXPECT_EQ(consumed, std::vector<bool>{true});
    EXPECT_EQ(context.events.currentStart, 1589022000);
    EXPECT_EQ(tabletest::SlotText(context.events.currentName), Cp932("か"));
    EXPECT_EQ(tabletest::SlotText(context.events.currentText), Cp932("く"));
}
