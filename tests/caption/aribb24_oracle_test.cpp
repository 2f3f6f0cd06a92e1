// Cross-check of the 8-unit decoder against libaribb24 on kanji, kana and
// alphanumerics. Both outputs are brought to a common form before they are
// compared:
// - ours is converted from code page 932 to UTF-8 and its "&#x....;" forms
//   become the characters they name;
// - full-width ASCII variants and the ideographic space map to ASCII (the
//   part of NFKC that matters for these texts);
// - only kanji (U+4E00..U+9FFF, U+3400..U+4DBF), hiragana, katakana and
//   ASCII letters and digits are kept. What the two decoders write
//   differently by design is thereby left out: our bracketed DRCS, mosaic
//   and other-set forms, our control-code forms ("\n", "0x08", ...), and
//   symbols and private-use code points, which libaribb24 maps on its own.
// libaribb24 loses its place when a DRCS designated into G2 (ESC * SP F) is
// locked into GR (ESC }) and decodes the kanji after it as other
// characters; texts doing both are left out and counted.
// libaribb24 does not run the default macros (SS3 with 0x60..0x6F while G3
// holds the macro set); its input gets each such call replaced by the
// escape sequences the macro stands for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "caption/arib_decoder.h"
#include "caption_fixture.h"
#include "platform/platform.h"

#ifdef TRELVAN_HAVE_ARIBB24
extern "C" {
#include <aribb24/aribb24.h>
#include <aribb24/decoder.h>
}
#endif

namespace {

using namespace captiontest;

#ifdef TRELVAN_HAVE_ARIBB24

std::u32string FromUtf8(const std::string& text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t value = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        ++i;
        for (; extra > 0 && i < text.size(); --extra, ++i) {
            value = (value << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        out.push_back(value);
    }
    return out;
}

std::u32string ReplaceCharacterReferences(const std::u32string& text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, U"&#x") == 0 && i + 8 <= text.size() && text[i + 7] == U';') {
            char32_t value = 0;
            bool hex = true;
            for (std::size_t k = i + 3; k < i + 7; ++k) {
                const char32_t c = text[k];
                const int digit = c >= U'0' && c <= U'9'   ? int(c - U'0')
                                  : c >= U'a' && c <= U'f' ? int(c - U'a' + 10)
                                                           : -1;
                if (digit < 0) hex = false;
                value = value * 16 + static_cast<char32_t>(digit < 0 ? 0 : digit);
            }
            if (hex) {
                out.push_back(value);
                i += 7;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::u32string Comparable(const std::u32string& text) {
    std::u32string out;
    bool inBracket = false;
    for (char32_t c : text) {
        // Our bracketed forms hold ASCII letters and digits of their own.
        if (c == U'[') inBracket = true;
        if (inBracket) {
            if (c == U']') inBracket = false;
            continue;
        }
        if (c >= 0xFF01 && c <= 0xFF5E) c -= 0xFEE0;
        const bool kanji = (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF);
        const bool kana = (c >= 0x3041 && c <= 0x3096) || (c >= 0x30A1 && c <= 0x30FA);
        const bool alnum = (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z');
        if (kanji || kana || alnum) out.push_back(c);
    }
    return out;
}

// Our control-code forms are plain ASCII that would survive the filter.
std::string WithoutControlForms(std::string text) {
    for (const char* form : {"0x08", "0x09", "0x0B", "\\n", "\\r"}) {
        for (std::size_t at; (at = text.find(form)) != std::string::npos;)
            text.erase(at, std::char_traits<char>::length(form));
    }
    return text;
}

std::string Utf8(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Default macro expansions (ARIB STD-B24 table 7-18), 0x60..0x6F.
const Bytes kMacroExpansions[16] = {
    {0x1B, 0x24, 0x39, 0x1B, 0x29, 0x4A, 0x1B, 0x2A, 0x30, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x24, 0x39, 0x1B, 0x29, 0x31, 0x1B, 0x2A, 0x30, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x24, 0x39, 0x1B, 0x29, 0x20, 0x40, 0x1B, 0x2A, 0x30, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x32, 0x1B, 0x29, 0x34, 0x1B, 0x2A, 0x35, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x32, 0x1B, 0x29, 0x33, 0x1B, 0x2A, 0x35, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x32, 0x1B, 0x29, 0x20, 0x40, 0x1B, 0x2A, 0x35, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x20, 0x41, 0x1B, 0x29, 0x20, 0x42, 0x1B, 0x2A, 0x20, 0x43, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x20, 0x44, 0x1B, 0x29, 0x20, 0x45, 0x1B, 0x2A, 0x20, 0x46, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x20, 0x47, 0x1B, 0x29, 0x20, 0x48, 0x1B, 0x2A, 0x20, 0x49, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x20, 0x4A, 0x1B, 0x29, 0x20, 0x4B, 0x1B, 0x2A, 0x20, 0x4C, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x20, 0x4D, 0x1B, 0x29, 0x20, 0x4E, 0x1B, 0x2A, 0x20, 0x4F, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x24, 0x39, 0x1B, 0x29, 0x20, 0x42, 0x1B, 0x2A, 0x30, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x24, 0x39, 0x1B, 0x29, 0x20, 0x43, 0x1B, 0x2A, 0x30, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x24, 0x39, 0x1B, 0x29, 0x20, 0x44, 0x1B, 0x2A, 0x30, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x31, 0x1B, 0x29, 0x30, 0x1B, 0x2A, 0x4A, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
    {0x1B, 0x28, 0x4A, 0x1B, 0x29, 0x32, 0x1B, 0x2A, 0x20, 0x41, 0x1B, 0x2B, 0x20, 0x70, 0x0F, 0x1B, 0x7D},
};

Bytes ExpandMacroCalls(const Bytes& text) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == 0x1D && i + 1 < text.size() && text[i + 1] >= 0x60 && text[i + 1] <= 0x6F) {
            const Bytes& expansion = kMacroExpansions[text[i + 1] - 0x60];
            out.insert(out.end(), expansion.begin(), expansion.end());
            ++i;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

class Oracle {
public:
    Oracle() : instance_(arib_instance_new(nullptr)), decoder_(instance_ ? arib_get_decoder(instance_) : nullptr) {}
    ~Oracle() {
        if (instance_ != nullptr) arib_instance_destroy(instance_);
    }
    Oracle(const Oracle&) = delete;
    Oracle& operator=(const Oracle&) = delete;
    bool Ready() const { return decoder_ != nullptr; }

    std::string Decode(const Bytes& bytes) {
        arib_initialize_decoder(decoder_);
        std::vector<char> out(bytes.size() * 8 + 64, '\0');
        const std::size_t n = arib_decode_buffer(decoder_, bytes.data(), bytes.size(), out.data(), out.size() - 1);
        arib_finalize_decoder(decoder_);
        return std::string(out.data(), n < out.size() ? n : 0);
    }

private:
    arib_instance_t* instance_;
    arib_decoder_t* decoder_;
};

struct Comparison {
    std::size_t texts = 0;
    std::size_t characters = 0;
    std::size_t mismatches = 0;
};

void Compare(const Bytes& text, int16_t profile, Oracle& oracle, Comparison& result) {
    AribDecoder decoder;
    decoder.profile = profile;
    ResetDecoder(decoder);
    std::string ours;
    DecodeAribText(text.data(), static_cast<int32_t>(text.size()), decoder, ours);
    std::string oursUtf8;
    ASSERT_TRUE(platform::Cp932ToUtf8(WithoutControlForms(ours), oursUtf8) || ours.empty());
    const std::u32string mine = Comparable(ReplaceCharacterReferences(FromUtf8(oursUtf8)));
    const std::u32string theirs = Comparable(FromUtf8(oracle.Decode(ExpandMacroCalls(text))));
    ++result.texts;
    result.characters += theirs.size();
    if (mine != theirs) {
        ++result.mismatches;
        ADD_FAILURE() << "ours:   " << Utf8(mine) << "\ntheirs: " << Utf8(theirs);
    }
}

// Statement bodies (data unit 0x20 of statement groups) of a sample file.
std::vector<Bytes> StatementBodies(const Bytes& file) {
    std::vector<Bytes> bodies;
    for (const Bytes& payload : SplitPayloads(file)) {
        const std::size_t group = 3 + (payload[2] & 0x0F);
        const uint8_t id = payload[group] >> 2;
        if (id == 0x00 || id == 0x20) continue;
        const std::size_t dataEnd = payload.size() - 2;
        std::size_t at = group + 5;
        const uint8_t tmd = payload[at] >> 6;
        at += (tmd == 1 || tmd == 2) ? 6 : 1;
        if (at + 3 > dataEnd) continue;
        at += 3;  // data_unit_loop_length: the units run to the group's end here
        while (at + 5 <= dataEnd) {
            const std::size_t size = (std::size_t{payload[at + 2]} << 16) | (payload[at + 3] << 8) | payload[at + 4];
            if (at + 5 + size > dataEnd) break;
            if (payload[at + 1] == 0x20 && size != 0) {
                bodies.emplace_back(payload.begin() + static_cast<long>(at + 5),
                                    payload.begin() + static_cast<long>(at + 5 + size));
            }
            at += 5 + size;
        }
    }
    return bodies;
}

TEST(AribOracle, CaptionSamplesAgreeWithLibaribb24) {
    Oracle oracle;
    ASSERT_TRUE(oracle.Ready());
    int found = 0;
    for (const char* name : {"caption_toriko.es", "caption_conan846.es", "caption_aijin_jpn_eng.es",
                             "caption_lion4_jpn_eng.es", "caption_pokemon2023_drcs.es"}) {
        SCOPED_TRACE(name);
        const std::optional<Bytes> file = ReadSample(name);
        if (!file) continue;
        ++found;
        Comparison result;
        std::size_t leftOut = 0;
        for (const Bytes& body : StatementBodies(*file)) {
            const uint8_t drcsIntoG2[] = {0x1B, 0x2A, 0x20};
            const uint8_t lockG2IntoGr[] = {0x1B, 0x7D};
            const auto designation =
                std::search(body.begin(), body.end(), std::begin(drcsIntoG2), std::end(drcsIntoG2));
            if (designation != body.end() &&
                std::search(designation, body.end(), std::begin(lockG2IntoGr), std::end(lockG2IntoGr)) != body.end()) {
                ++leftOut;
                continue;
            }
            Compare(body, 0, oracle, result);
        }
        // A small share only, so that the comparison keeps its weight.
        EXPECT_LE(leftOut * 20, result.texts + leftOut);
        std::printf("%s: %zu texts, %zu characters compared, %zu left out\n", name, result.texts, result.characters,
                    leftOut);
        EXPECT_GT(result.texts, 250u);
        EXPECT_GT(result.characters, 3000u);
        EXPECT_EQ(result.mismatches, 0u);
    }
    if (found == 0) GTEST_SKIP() << "caption samples not present";
}

// SI-style text: explicit designations, kanji from G0, hiragana through GR,
// katakana and alphanumerics by locking shifts, so that both decoders go
// through more than their initial state.
Bytes EncodeSiText(const std::u32string& text) {
    Bytes out{0x1B, '$', 'B', 0x1B, ')', 'J', 0x1B, '*', '0', 0x1B, '+', '1', 0x0F, 0x1B, '}'};
    int gl = 0;
    auto invoke = [&](int slot) {
        if (gl == slot) return;
        if (slot == 0) out.push_back(0x0F);
        if (slot == 1) out.push_back(0x0E);
        if (slot == 3) out.insert(out.end(), {0x1B, 'o'});
        gl = slot;
    };
    for (char32_t c : text) {
        if (c >= 0x3041 && c <= 0x3093) {
            // Kana follow JIS X 0208 rows 4 and 5: the cell is the set's byte.
            out.push_back(static_cast<uint8_t>(0x80 | (0x21 + (c - 0x3041))));
        } else if (c >= 0x30A1 && c <= 0x30F6) {
            invoke(3);
            out.push_back(static_cast<uint8_t>(0x21 + (c - 0x30A1)));
        } else if (c < 0x80) {
            invoke(1);
            out.push_back(static_cast<uint8_t>(c));
        } else {
            std::string cp932;
            if (!platform::Utf16ToAnsi(std::u16string(1, static_cast<char16_t>(c)), cp932) || cp932.size() != 2) {
                ADD_FAILURE() << "no code page 932 form for U+" << std::hex << static_cast<unsigned>(c);
                continue;
            }
            // Shift-JIS back to the JIS X 0208 row and cell.
            const unsigned s1 = static_cast<unsigned char>(cp932[0]);
            const unsigned s2 = static_cast<unsigned char>(cp932[1]);
            unsigned row = ((s1 >= 0xE0 ? s1 - 0x40 : s1) - 0x81) * 2 + 0x21;
            unsigned cell;
            if (s2 >= 0x9F) {
                ++row;
                cell = s2 - 0x7E;
            } else {
                cell = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
            }
            invoke(0);
            out.push_back(static_cast<uint8_t>(row));
            out.push_back(static_cast<uint8_t>(cell));
        }
    }
    return out;
}

TEST(AribOracle, SiTextsAgreeWithLibaribb24) {
    Oracle oracle;
    ASSERT_TRUE(oracle.Ready());
    const std::u32string texts[] = {
        U"ニュース７　全国と世界の話題をお伝えします", U"土曜ドラマ「海辺の町」第３回　再放送",
        U"きょうの料理　ＮＨＫ　野菜たっぷり鍋",       U"ＢＳ１スペシャル　ヨーロッパ鉄道紀行",
        U"天気予報　ABC 123 あいうえお　カキクケコ",
    };
    Comparison result;
    for (const std::u32string& text : texts) {
        const Bytes bytes = EncodeSiText(text);
        Compare(bytes, -1, oracle, result);
        // The expected characters are known here as well.
        AribDecoder decoder;
        std::string ours;
        DecodeAribText(bytes.data(), static_cast<int32_t>(bytes.size()), decoder, ours);
        std::string utf8;
        ASSERT_TRUE(platform::Cp932ToUtf8(ours, utf8));
        EXPECT_EQ(Comparable(FromUtf8(utf8)), Comparable(text));
    }
    EXPECT_EQ(result.mismatches, 0u);
}

#else

TEST(AribOracle, CaptionSamplesAgreeWithLibaribb24) {
    GTEST_SKIP() << "libaribb24 not available";
}

#endif

}  // namespace
