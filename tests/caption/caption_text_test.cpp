// The caption side on its own: a complete PES handed over as bytes, and the
// changed text taken from the stream.
#include <gtest/gtest.h>

#include <string>

#include "caption/caption.h"
#include "caption_fixture.h"
#include "platform/process_state.h"

namespace {

using namespace captiontest;

CaptionStream FreshCaption() {
    CaptionStream caption;
    ResetDecoder(caption.decoder);
    return caption;
}

ByteBuffer BufferOf(const Bytes& lead, const Bytes& pes) {
    ByteBuffer buffer;
    const Bytes all = Concat({lead, pes});
    EXPECT_TRUE(buffer.Append(all.data(), static_cast<int32_t>(all.size()), 0));
    return buffer;
}

}  // namespace

TEST(CaptionPesBytes, ManagementThenStatementAtAnOffset) {
    CaptionStream caption = FreshCaption();
    const Bytes lead{0x47, 0x01, 0x30};  // bytes before the PES, as a packet header leaves them
    const ByteBuffer management = BufferOf(lead, CaptionPes(SyncPayload({Group(0x00, Management({{0, "jpn"}}))})));
    EXPECT_TRUE(ParseCaptionPes(management, 3, caption));
    EXPECT_EQ(caption.selectedGroup, 1);
    EXPECT_STREQ(caption.management.languages[0].code, "jpn");

    const Bytes text{0x30, 0x21, 0x30, 0x21};  // 亜亜
    const ByteBuffer statement = BufferOf(lead, CaptionPes(SyncPayload({Group(0x01, Statement(Body(text)))})));
    EXPECT_TRUE(ParseCaptionPes(statement, 3, caption));
    // Lead 3, PES header with PTS 14, data header 3, group header 5, TMD 1,
    // loop length 3: the unit loop starts 29 bytes into the buffer.
    EXPECT_EQ(caption.statement.unitLoopStart, 29);
    EXPECT_EQ(caption.statement.unitLoopLength, Body(text).size());
    std::string shown;
    ASSERT_TRUE(TakeChangedCaptionText(caption, shown));
    EXPECT_EQ(shown, "\x88\x9F\x88\x9F");
}

TEST(CaptionPesBytes, RefusedStarts) {
    CaptionStream caption = FreshCaption();
    const Bytes pes = CaptionPes(SyncPayload({Group(0x00, Management({{0, "jpn"}}))}));
    EXPECT_FALSE(ParseCaptionPes(BufferOf({}, pes), 1, caption));   // not at a start code
    EXPECT_FALSE(ParseCaptionPes(BufferOf({}, pes), -1, caption));  // no start
    EXPECT_FALSE(ParseCaptionPes(ByteBuffer{}, 0, caption));        // nothing gathered
    EXPECT_EQ(caption.selectedGroup, 0);
}

TEST(CaptionText, TakenOncePerChange) {
    CaptionStream caption = FreshCaption();
    std::string shown = "left";
    EXPECT_FALSE(TakeChangedCaptionText(caption, shown));
    EXPECT_EQ(shown, "left");

    caption.decoder.text.AssignText("a");
    ASSERT_TRUE(TakeChangedCaptionText(caption, shown));
    EXPECT_EQ(shown, "a");
    EXPECT_EQ(caption.decoder.text.changed, 0);
    EXPECT_FALSE(TakeChangedCaptionText(caption, shown));
    caption.decoder.text.AssignText("a");  // the same text again is no change
    EXPECT_FALSE(TakeChangedCaptionText(caption, shown));
    caption.decoder.text.AssignText("b");
    ASSERT_TRUE(TakeChangedCaptionText(caption, shown));
    EXPECT_EQ(shown, "b");
}

TEST(CaptionText, StopRequestDoesNotCutDecoding) {
    CaptionStream caption = FreshCaption();
    Bytes units = Concat({Body({0x30, 0x21}), Body({0x30, 0x21, 0x30, 0x21, 0x30, 0x21})});
    StopRequested = 1;
    ParseCaptionPes(BufferOf({}, CaptionPes(SyncPayload({Group(0x00, Management({{0, "jpn"}}))}))), 0, caption);
    const bool parsed =
        ParseCaptionPes(BufferOf({}, CaptionPes(SyncPayload({Group(0x01, Statement(units))}))), 0, caption);
    StopRequested = 0;
    EXPECT_TRUE(parsed);
    std::string shown;
    ASSERT_TRUE(TakeChangedCaptionText(caption, shown));
    EXPECT_EQ(shown, "\x88\x9F\x88\x9F\x88\x9F");  // the last unit's text
}
