#include "report/symbol_escapes.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace {

constexpr char kEscapeStart[] = "&#x";
constexpr std::size_t kEscapeLength = 8;  // "&#x" four digits ";"

int LowerHexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value of the escape at text[at], or -1 when no escape of the
// decoder's form starts there.
int32_t EscapeValueAt(const std::string& text, std::size_t at) {
    if (text.size() - at < kEscapeLength || text[at + kEscapeLength - 1] != ';') return -1;
    int32_t value = 0;
    for (std::size_t i = 3; i < 7; ++i) {
        const int digit = LowerHexDigit(text[at + i]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace

uint32_t SymbolForEscape(uint16_t escape) {
    const SymbolEscape* end = kSymbolEscapes + kSymbolEscapeCount;
    const SymbolEscape* found = std::lower_bound(
        kSymbolEscapes, end, escape, [](const SymbolEscape& entry, uint16_t value) { return entry.escape < value; });
    return found != end && found->escape == escape ? found->character : 0;
}

void AppendUtf8(std::string& out, uint32_t character) {
    if (character < 0x80) {
        out += static_cast<char>(character);
    } else if (character < 0x800) {
        out += static_cast<char>(0xC0 | (character >> 6));
        out += static_cast<char>(0x80 | (character & 0x3F));
    } else if (character < 0x10000) {
        out += static_cast<char>(0xE0 | (character >> 12));
        out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (character & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (character >> 18));
        out += static_cast<char>(0x80 | ((character >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (character & 0x3F));
    }
}

// In UTF-8 the ASCII bytes of an escape are never part of another
// character, so a plain search finds only whole escapes.
void ReplaceSymbolEscapes(std::string& text) {
    std::size_t at = text.find(kEscapeStart);
    if (at == std::string::npos) return;
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    for (; at != std::string::npos; at = text.find(kEscapeStart, at)) {
        const int32_t value = EscapeValueAt(text, at);
        const uint32_t character = value < 0 ? 0 : SymbolForEscape(static_cast<uint16_t>(value));
        if (character == 0) {
            at += 1;
            continue;
        }
        out.append(text, copied, at - copied);
        AppendUtf8(out, character);
        at += kEscapeLength;
        copied = at;
    }
    out.append(text, copied, std::string::npos);
    text = std::move(out);
}
