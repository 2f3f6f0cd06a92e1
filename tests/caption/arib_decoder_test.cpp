// The 8-unit decoder against hand-made byte strings. Expected texts are
// code page 932 (the tests are compiled with that execution charset; the
// key cases also spell the bytes out).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caption/arib_decoder.h"

namespace {

constexpr uint8_t ESC = 0x1B;

AribDecoder MakeDecoder(int16_t profile) {
    AribDecoder decoder;
    decoder.profile = profile;
    ResetDecoder(decoder);
    return decoder;
}

std::string Decode(AribDecoder& decoder, const std::vector<uint8_t>& bytes) {
    std::string out = "stale";
    const bool produced = DecodeAribText(bytes.data(), static_cast<int32_t>(bytes.size()), decoder, out);
    EXPECT_EQ(produced, !out.empty());
    return out;
}

std::string Decode(const std::vector<uint8_t>& bytes, int16_t profile = 0) {
    AribDecoder decoder = MakeDecoder(profile);
    return Decode(decoder, bytes);
}

TEST(AribKanji, JisRowCellBecomesShiftJis) {
    EXPECT_EQ(Decode({0x30, 0x21}), "\x88\x9F");
    EXPECT_EQ(Decode({0x30, 0x21}), "亜");
    // First and last rows and cells of both parities of the lead byte.
    EXPECT_EQ(Decode({0x21, 0x21, 0x21, 0x7E, 0x22, 0x21, 0x5F, 0x7E, 0x60, 0x21, 0x74, 0x26}),
              "\x81\x40\x81\x9E\x81\x9F\xE0\x9E\xE0\x9F\xEA\xA4");
    // The second byte may come from the right half as well.
    EXPECT_EQ(Decode({0x30, 0xA1}), "亜");
}

TEST(AribKanji, SecondByteOutsideGraphicRangeEndsText) {
    EXPECT_EQ(Decode({0x30, 0x21, 0x30, 0x0A, 0x30, 0x21}), "亜");
    // A lone first byte at the end yields nothing.
    AribDecoder decoder = MakeDecoder(0);
    std::string out;
    const uint8_t lone[] = {0x30};
    EXPECT_FALSE(DecodeAribText(lone, 1, decoder, out));
    EXPECT_TRUE(out.empty());
}

TEST(AribOneByteSets, RightHalfIsHiraganaInCaptions) {
    EXPECT_EQ(Decode({0xA2}), "\x82\xA0");
    EXPECT_EQ(Decode({0xA2}), "あ");
    EXPECT_EQ(Decode({0xF3, 0xFB, 0xFC, 0xA0}), "ん「」　");
    EXPECT_EQ(Decode({0xA2}, -1), "あ");
}

TEST(AribOneByteSets, TablesByFinalByte) {
    // G1 is the alphanumeric set; LS1 and ESC ~ bring it in.
    EXPECT_EQ(Decode({0x0E, 0x21, 0x41, 0x5C, 0x7A, 0x7E, 0x0F, 0x30, 0x21}), "！Ａ￥ｚ￣亜");
    EXPECT_EQ(Decode({ESC, 0x7E, 0xC1, 0xB0}), "Ａ０");
    EXPECT_EQ(Decode({ESC, '(', '1', 0x22, 0x74, 0x7B, ESC, '(', '8', 0x76}), "アヴ「ヶ");
    EXPECT_EQ(Decode({ESC, '(', '7', 0x22, ESC, '(', '6', 0x30}), "あ０");
    EXPECT_EQ(Decode({ESC, '(', 'I', 0x21}), "\x81\x42");
    EXPECT_EQ(Decode({ESC, '(', 'I', 0x21, 0x26, 0x5F, 0x60, 0x7E}), "。ヲ゜　　");
}

TEST(AribShifts, SingleShiftCoversOneCharacter) {
    // SI profile: G2 hiragana, G3 katakana.
    EXPECT_EQ(Decode({0x19, 0x24, 0x30, 0x21}, -1), "い亜");
    EXPECT_EQ(Decode({0x1D, 0x22, 0x30, 0x21}, -1), "ア亜");
    // A space between the shift and its character does not use it up.
    EXPECT_EQ(Decode({0x19, 0x20, 0x24, 0x30, 0x21}, -1), " い亜");
    // A second shift before the character still returns to G0 afterwards.
    EXPECT_EQ(Decode({0x19, 0x1D, 0x22, 0x30, 0x21}, -1), "ア亜");
}

TEST(AribShifts, LockingShiftCancelsPendingSingleShift) {
    // SS2 then LS1: G1 stays invoked after the character.
    EXPECT_EQ(Decode({0x19, 0x0E, 0x41, 0x42}, -1), "ＡＢ");
    EXPECT_EQ(Decode({ESC, 'n', 0x22, 0x24, 0x0F, 0x30, 0x21}), "あい亜");
    EXPECT_EQ(Decode({ESC, 'o', 0x22, 0x0F, 0x30, 0x21}, -1), "ア亜");
    EXPECT_EQ(Decode({ESC, '|', 0xA2}, -1), "ア");
}

TEST(AribControls, WrittenForms) {
    EXPECT_EQ(Decode({0x0A}), "\\n");
    EXPECT_EQ(Decode({0x08}), "0x08");
    EXPECT_EQ(Decode({0x08, 0x09, 0x0A, 0x0B, 0x0D, 0x20}), "0x080x09\\n0x0B\\r ");
    // Other C0 and C1 codes leave nothing.
    EXPECT_EQ(Decode({0x00, 0x07, 0x1E, 0x80, 0x87, 0x89, 0x9A, 0x30, 0x21}), "亜");
}

TEST(AribControls, ParametersAreSkipped) {
    EXPECT_EQ(Decode({0x16, 0x41, 0x1C, 0x41, 0x41, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({0x8B, 0x41, 0x91, 0x42, 0x93, 0x43, 0x94, 0x44, 0x97, 0x45, 0x98, 0x46, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({0x90, 0x41, 0x92, 0x20, 0x41, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({0x9D, 0x29, 0x41, 0x42, 0x20, 0x43, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({0x9B, '1', '7', '0', ';', '3', '0', 0x20, 0x5F, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({0x9B, 0x5B, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({0x95, 0x60, 0x41, 0x42, 0x95, 0x4F, 0x30, 0x21}), "亜");
}

TEST(AribControls, SequencesRunningToTheEndStopCleanly) {
    EXPECT_EQ(Decode({0x30, 0x21, 0x9B, '1', '2'}), "亜");
    EXPECT_EQ(Decode({0x30, 0x21, 0x9B, '1', 0x20}), "亜");
    EXPECT_EQ(Decode({0x30, 0x21, 0x9D, 0x41}), "亜");
    EXPECT_EQ(Decode({0x30, 0x21, 0x95, 0x60, 0x41, 0x95}), "亜");
    EXPECT_EQ(Decode({0x30, 0x21, ESC, '$', ')', 0x20}), "亜");
    EXPECT_EQ(Decode({0x30, 0x21, ESC}), "亜");
    EXPECT_EQ(Decode({0x30, 0x21, 0x90}), "亜");
}

TEST(AribControls, TimeAndMacroDefinitionBounds) {
    // The short TIME form takes one parameter byte, whatever follows.
    EXPECT_EQ(Decode({0x9D, 0x28, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({0x9D, 0x28, 0x20, 0x30, 0x21}), " 亜");
    // A macro definition needs its closing pair; 0x95 alone does not close it.
    EXPECT_EQ(Decode({0x95, 0x60, 0x30, 0x21, 0x95, 0x30, 0x21}), "");
    EXPECT_EQ(Decode({0x95, 0x4F, 0x30, 0x21}), "");
}

TEST(AribDesignation, SequencesCutByTheEndDesignateNothing) {
    // Each cut sequence would otherwise designate a mosaic set or a DRCS to
    // G0, so a kanji after it shows G0 was left alone.
    const std::vector<std::vector<uint8_t>> cuts = {
        {ESC, '('}, {ESC, '(', 0x20}, {ESC, '$'}, {ESC, '$', '('}, {ESC, '$', '(', 0x20},
    };
    for (const std::vector<uint8_t>& cut : cuts) {
        AribDecoder decoder = MakeDecoder(0);
        EXPECT_EQ(Decode(decoder, cut), "");
        EXPECT_EQ(Decode(decoder, {0x30, 0x21}), "亜");
    }
}

TEST(AribControls, ClearScreenResetsDesignations) {
    EXPECT_EQ(Decode({ESC, '(', '2', 0x21, 0x0C, 0x30, 0x21}), "[MF_MOSAIC_A;0x21]亜");
}

TEST(AribControls, WritingFormat14ChangesCaptionDesignations) {
    // SWF 14: G0 becomes DRCS-1, G2 (in GR) kanji.
    EXPECT_EQ(Decode({0x9B, '1', '4', 0x20, 0x53, 0x21, 0xB0, 0xA1}), "[MF_DRCS_1;0x21]亜");
    // With a second parameter the sequence changes nothing.
    EXPECT_EQ(Decode({0x9B, '1', '4', ';', '1', 0x20, 0x53, 0x30, 0x21}), "亜");
    // Another format returns to the ordinary caption designations.
    AribDecoder decoder = MakeDecoder(0);
    Decode(decoder, {0x9B, '1', '4', 0x20, 0x53});
    EXPECT_EQ(decoder.writingFormat, 14);
    EXPECT_EQ(Decode(decoder, {0x9B, '7', 0x20, 0x53, 0x30, 0x21, 0xA2}), "亜あ");
    EXPECT_EQ(decoder.writingFormat, 7);
    // The SI profile ignores the writing format.
    EXPECT_EQ(Decode({0x9B, '1', '4', 0x20, 0x53, 0x30, 0x21}, -1), "亜");
}

TEST(AribBracketForms, Drcs) {
    EXPECT_EQ(Decode({ESC, '(', 0x20, 'A', 0x21}), "[MF_DRCS_1;0x21]");
    EXPECT_EQ(Decode({ESC, '(', 0x20, 'I', 0x21}), "[MF_DRCS_9;0x21]");
    EXPECT_EQ(Decode({ESC, '(', 0x20, 'O', 0x7E}), "[MF_DRCS_15;0x7e]");
    EXPECT_EQ(Decode({ESC, '$', '(', 0x20, 0x40, 0x21, 0x22}), "[MF_DRCS_0;0x2122]");
    EXPECT_EQ(Decode({ESC, '$', '+', 0x20, 0x40, ESC, '|', 0xA1, 0xFE}), "[MF_DRCS_0;0x217e]");
    // Designations to G1 through the right half.
    EXPECT_EQ(Decode({ESC, ')', 0x20, 'B', ESC, '~', 0xA1}), "[MF_DRCS_2;0x21]");
}

TEST(AribBracketForms, Mosaic) {
    EXPECT_EQ(Decode({ESC, '(', '2', 0x21}), "[MF_MOSAIC_A;0x21]");
    EXPECT_EQ(Decode({ESC, '(', '3', 0x7E, ESC, '(', '4', 0x40, ESC, '(', '5', 0x22}),
              "[MF_MOSAIC_B;0x7e][MF_MOSAIC_C;0x40][MF_MOSAIC_D;0x22]");
}

TEST(AribBracketForms, AdditionalSymbols) {
    EXPECT_EQ(Decode({ESC, '$', 'B', 0x7E, 0x21}), "&#x2160;");
    EXPECT_EQ(Decode({ESC, '$', 'B', 0x77, 0x21}), "[MF0x42;0x7721]");
    // Entries of each stored row, through the caption's own kanji set.
    EXPECT_EQ(Decode({0x7A, 0x21, 0x7C, 0x2B, 0x7D, 0x7A, 0x7E, 0x7D, 0x75, 0x21, 0x75, 0x22, 0x76, 0x21}),
              "&#xe0c9;&#x33a1;&#x266c;&#x325b;&#x3402;&#xe081;&#xe093;");
    // A cell the table leaves empty, and the rows between.
    EXPECT_EQ(Decode({0x76, 0x4C, 0x79, 0x7E}), "[MF0x39;0x764c][MF0x39;0x797e]");
    // Below row 0x75 every cell is plain JIS X 0208 arithmetic.
    EXPECT_EQ(Decode({0x74, 0x7E}), "\xEA\xFC");
}

TEST(AribMacros, DefaultMacroRedesignatesWithoutText) {
    AribDecoder decoder = MakeDecoder(0);
    std::string out = "stale";
    const uint8_t mosaic[] = {ESC, '(', '2', ESC, 'o', 0x60};
    EXPECT_FALSE(DecodeAribText(mosaic, sizeof mosaic, decoder, out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(decoder.gl, 0);
    EXPECT_EQ(decoder.gr, 2);
    const uint32_t finals[] = {0x39, 0x4A, 0x30, 0x70};
    const uint32_t bytes[] = {2, 1, 1, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(decoder.g[i].final, finals[i]) << i;
        EXPECT_EQ(decoder.g[i].bytes, bytes[i]) << i;
    }
    EXPECT_EQ(decoder.g[3].kind, 2u);
    EXPECT_EQ(Decode(decoder, {0x30, 0x21}), "亜");
}

TEST(AribMacros, MacroThroughSingleShift) {
    // SS3 0x63: mosaic sets in G0..G2; the following bytes use them.
    EXPECT_EQ(Decode({0x1D, 0x63, 0x21, 0xA2}), "[MF_MOSAIC_A;0x21][MF_MOSAIC_D;0x22]");
    EXPECT_EQ(Decode({0x1D, 0x66, 0x21, 0xA1, 0x0E, 0x21}), "[MF_DRCS_1;0x21][MF_DRCS_3;0x21][MF_DRCS_2;0x21]");
    // A DRCS 0x70 byte outside the macro range writes nothing.
    EXPECT_EQ(Decode({0x1D, 0x21, 0x30, 0x21}), "亜");
}

TEST(AribDesignation, IgnoredSequencesKeepTheSlot) {
    EXPECT_EQ(Decode({ESC, '(', 0x40, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({ESC, '(', 0x20, 0x50, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({ESC, '$', 0x40, 0x30, 0x21}), "亜");
    EXPECT_EQ(Decode({ESC, '(', '2', ESC, '$', '(', 'B', 0x21}), "[MF_MOSAIC_A;0x21]");
    EXPECT_EQ(Decode({ESC, '(', '2', ESC, '$', '(', 0x20, 0x41, 0x21}), "[MF_MOSAIC_A;0x21]");
    EXPECT_EQ(Decode({ESC, 0x41, 0x30, 0x21}), "亜");
    // A two-byte set into G1.
    EXPECT_EQ(Decode({ESC, '$', ')', 'B', 0x0E, 0x30, 0x21}), "亜");
}

TEST(AribEnd, DeleteAndFfEndTheText) {
    EXPECT_EQ(Decode({0x30, 0x21, 0x7F, 0x30, 0x22}), "亜");
    EXPECT_EQ(Decode({0xA2, 0xFF, 0xA2}), "あ");
    AribDecoder decoder = MakeDecoder(0);
    std::string out = "stale";
    const uint8_t onlyDelete[] = {0x7F, 0x30, 0x21};
    EXPECT_FALSE(DecodeAribText(onlyDelete, sizeof onlyDelete, decoder, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(DecodeAribText(nullptr, 4, decoder, out));
    EXPECT_FALSE(DecodeAribText(onlyDelete, 0, decoder, out));
}

TEST(AribState, DesignationsCarryOverBetweenCalls) {
    AribDecoder decoder = MakeDecoder(0);
    EXPECT_EQ(Decode(decoder, {ESC, '(', '2'}), "");
    EXPECT_EQ(Decode(decoder, {0x21}), "[MF_MOSAIC_A;0x21]");
    ResetDecoder(decoder);
    EXPECT_EQ(Decode(decoder, {0x30, 0x21}), "亜");
}

TEST(AribProfiles, ResetDesignations) {
    EXPECT_EQ(Decode({0xB0, 0xA1}, 1), "亜");
    EXPECT_EQ(Decode({0x1D, 0x60, 0x30, 0x21}, 1), "亜");
    EXPECT_EQ(Decode({0x1D, 0x22}, 2), "ア");
    AribDecoder si;
    EXPECT_EQ(si.profile, -1);
    EXPECT_EQ(si.g[3].final, 0x31u);
    EXPECT_EQ(si.g[3].kind, 1u);
    EXPECT_EQ(si.text.compare, 1);
}

}  // namespace
