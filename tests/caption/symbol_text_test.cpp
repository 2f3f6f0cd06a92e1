// ARIB additional symbols as the console and log show them: escapes in code
// page 932, the characters themselves in UTF-8.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caption/arib_decoder.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"

namespace {

// SI-text decoder: G0 holds the two-byte kanji set.
std::string Decode(const std::vector<uint8_t>& bytes) {
    AribDecoder decoder;
    std::string text;
    DecodeAribText(bytes.data(), static_cast<int32_t>(bytes.size()), decoder, text);
    return text;
}

std::string DecodeCell(uint16_t code) {
    return Decode({static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)});
}

// What a caption line prints as on a console of either encoding.
std::string Printed(const std::string& text, bool utf8) {
    RecordingReporter console(utf8);
    console.reporter.PrintMessage(0, "%s\r\n", text.c_str());
    console.reporter.FlushStdout();
    return console.output.StandardOutput();
}

struct SymbolCase {
    uint16_t code;
    const char* cp932;
    const char* utf8;
};

TEST(SymbolText, CellsInBothEncodings) {
    const std::vector<SymbolCase> cases = {
        {0x7C21, "&#xe285;", "\xE2\x9E\xA1"},      // U+27A1 black rightwards arrow
        {0x7D7A, "&#x266c;", "\xE2\x99\xAC"},      // U+266C beamed sixteenth notes
        {0x7D6F, "&#x2049;", "\xE2\x81\x89"},      // U+2049 exclamation question mark
        {0x7B28, "&#xe1ae;", "\xE3\x80\x92"},      // U+3012 postal mark
        {0x7D7B, "&#xe2fb;", "\xE2\x98\x8E"},      // U+260E black telephone
        {0x7D2D, "&#xe2ca;", "\xE2\x84\x96"},      // U+2116 numero sign
        {0x7D79, "&#xe2fa;", "\xE2\x9A\x9F"},      // U+269F three lines converging left
        {0x7A50, "&#xe0f8;", "\xF0\x9F\x85\x8A"},  // U+1F14A squared HV
        {0x7D3E, "&#xe2da;", "\xF0\x9F\x88\x94"},  // U+1F214 squared 二, as at 0x7A5A
        {0x7C76, "&#x00ae;", "\xF0\x9F\x84\xAC"},  // U+1F12C circled italic R
        {0x7547, "&#xe087;", "\xEF\xA9\xAB"},      // U+FA6B, an additional kanji
        {0x7D77, "&#xe2f8;", "&#xe2f8;"},          // a symbol Unicode does not encode
    };
    for (const SymbolCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        const std::string text = DecodeCell(c.code);
        EXPECT_EQ(text, c.cp932);
        EXPECT_EQ(Printed(text, false), std::string(c.cp932) + "\r\n");
        EXPECT_EQ(Printed(text, true), std::string(c.utf8) + "\r\n");
    }
}

TEST(SymbolText, AmongOtherCaptionText) {
    // で, the arrow, a DRCS character, a line feed and a kept symbol.
    const std::string mixed = Decode({0x24, 0x47, 0x7C, 0x21, 0x1B, 0x2B, 0x20, 0x41, 0x1D, 0x21, 0x0A, 0x7D, 0x77});
    EXPECT_EQ(mixed, "\x82\xC5&#xe285;[MF_DRCS_1;0x21]\\n&#xe2f8;");
    EXPECT_EQ(Printed(mixed, false), mixed + "\r\n");
    EXPECT_EQ(Printed(mixed, true), "\xE3\x81\xA7\xE2\x9E\xA1[MF_DRCS_1;0x21]\\n&#xe2f8;\r\n");
    // A caption of symbols and spaces alone is plain ASCII in code page 932.
    const std::string notes = Decode({0x7D, 0x7A, 0x20, 0x7D, 0x7A});
    EXPECT_EQ(notes, "&#x266c; &#x266c;");
    EXPECT_EQ(Printed(notes, true), "\xE2\x99\xAC \xE2\x99\xAC\r\n");
}

// Service and event names carry the same escapes as captions.
TEST(SymbolText, ServiceLineInUtf8) {
    // ニュース[二][字]
    const std::string name = Decode({0x25, 0x4B, 0x25, 0x65, 0x21, 0x3C, 0x25, 0x39, 0x7A, 0x5A, 0x7A, 0x56});
    EXPECT_EQ(name, "\x83\x6A\x83\x85\x81\x5B\x83\x58&#xe182;&#xe0fe;");
    RecordingReporter console(true);
    console.reporter.PrintMessage(0, "0x%04x %s%s%s%s\r\n", 0x400, "", "", name.c_str(), " ");
    console.reporter.FlushStdout();
    EXPECT_EQ(console.output.StandardOutput(),
              "0x0400 \xE3\x83\x8B\xE3\x83\xA5\xE3\x83\xBC\xE3\x82\xB9\xF0\x9F\x88\x94\xF0\x9F\x88\x91 \r\n");
}

// Every assigned cell prints as one character in UTF-8 but those that
// Unicode does not encode (and the kanji it does not tie to their ARIB code).
TEST(SymbolText, CellsThatKeepTheirEscape) {
    std::vector<uint16_t> kept;
    for (const uint8_t row : {0x75, 0x76, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E}) {
        for (uint8_t cell = 0x21; cell <= 0x7E; ++cell) {
            const uint16_t code = static_cast<uint16_t>(row << 8 | cell);
            const std::string text = DecodeCell(code);
            if (text.rfind("&#x", 0) != 0) continue;  // unassigned: the generic form
            const std::string utf8 = FormatUtf8Message("%s", text.c_str());
            if (utf8 == text) {
                kept.push_back(code);
                continue;
            }
            const unsigned char lead = static_cast<unsigned char>(utf8[0]);
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            EXPECT_EQ(utf8.size(), length) << std::hex << code;
        }
    }
    // Kanji 0x7522..0x757E, then the symbols of rows 0x7A, 0x7C and 0x7D.
    const std::vector<std::pair<uint16_t, uint16_t>> keptRanges = {
        {0x7522, 0x7522}, {0x752F, 0x752F}, {0x7555, 0x7557}, {0x7564, 0x7564}, {0x757E, 0x757E},
        {0x7A27, 0x7A27}, {0x7A2C, 0x7A2F}, {0x7A32, 0x7A33}, {0x7A49, 0x7A4C}, {0x7C3A, 0x7C3F},
        {0x7C58, 0x7C75}, {0x7D4E, 0x7D4F}, {0x7D77, 0x7D77}};
    std::vector<uint16_t> expected;
    for (const auto& [first, last] : keptRanges) {
        for (uint16_t code = first; code <= last; ++code)
            expected.push_back(code);
    }
    EXPECT_EQ(kept, expected);
}

}  // namespace
