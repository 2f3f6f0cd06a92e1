// Code page 932 text converted for a UTF-8 output, run by run.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/platform.h"
#include "report/utf8_text.h"

namespace {

// The whole text in one conversion, or unchanged when it does not convert.
std::string InOnePiece(const std::string& text) {
    std::string converted;
    return platform::Cp932ToUtf8(text, converted) ? converted : text;
}

std::string ForUtf8(const std::string& text) {
    return Cp932TextForUtf8(text.data(), text.size());
}

}  // namespace

TEST(Cp932TextForUtf8, ProgressLineAndTrailBytesInTheAsciiRange) {
    // "－" is 0x81 0x7C: its trail byte is '|' and must not be copied alone.
    EXPECT_EQ(ForUtf8("\x81\x7C 12 % , PCR 0:00:01.000 , +0xBC\r"), "\xEF\xBC\x8D 12 % , PCR 0:00:01.000 , +0xBC\r");
    // "ソ" (0x83 0x5C) ends in a backslash byte.
    EXPECT_EQ(ForUtf8("a\x83\x5C"
                      "b"),
              "a\xE3\x82\xBD"
              "b");
    EXPECT_EQ(ForUtf8("plain ascii\r\n"), "plain ascii\r\n");
    EXPECT_EQ(ForUtf8(""), "");
}

TEST(Cp932TextForUtf8, TextThatDoesNotConvertStaysWhole) {
    // A lead byte at the end, and one followed by a byte no character has.
    EXPECT_EQ(ForUtf8("\x81\x7C ok \x82"), "\x81\x7C ok \x82");
    EXPECT_EQ(ForUtf8("\x82\xA0 \x81\x20 x"), "\x82\xA0 \x81\x20 x");
}

TEST(Cp932TextForUtf8, SameBytesAsOneConversionForAnyText) {
    std::mt19937 random(7);
    // Bytes drawn mostly from ASCII and lead bytes, so that characters,
    // broken characters and runs of both all occur.
    const std::string alphabet =
        std::string("ab|\\ @~\r\n", 9) + "\x81\x82\x83\x88\x9F\xE0\xEA\xFC\xA1\xDF\x80\xFD\x40\x7E";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int size = static_cast<int>(random() % 12);
        for (int i = 0; i < size; ++i)
            text.push_back(alphabet[random() % alphabet.size()]);
        ASSERT_EQ(ForUtf8(text), InOnePiece(text)) << "round " << round;
        // A second time through the remembered runs.
        ASSERT_EQ(ForUtf8(text), InOnePiece(text)) << "round " << round << ", again";
    }
}
