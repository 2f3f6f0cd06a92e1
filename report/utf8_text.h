#pragma once
// Code page 932 text for an output that takes UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The first byte of a code page 932 double-byte character.
inline bool IsCp932LeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// End of the run of ASCII bytes that starts at `from`, eight at a time
// where it can: the text is mostly ASCII.
inline std::size_t AsciiRunEnd(const char* text, std::size_t length, std::size_t from) {
    std::size_t i = from;
    for (uint64_t word = 0; i + 8 <= length; i += 8) {
        std::memcpy(&word, text + i, 8);
        if ((word & 0x8080808080808080ull) != 0) break;
    }
    while (i < length && static_cast<unsigned char>(text[i]) < 0x80)
        ++i;
    return i;
}

// Whether every byte is ASCII: such a text is the same in UTF-8.
inline bool AllAscii(const char* text, std::size_t length) {
    return AsciiRunEnd(text, length, 0) == length;
}

// The text in UTF-8; bytes that are no valid code page 932 text leave the
// whole text unchanged rather than losing any of it.
std::string Cp932TextForUtf8(const char* text, std::size_t length);
// The same into `out`, whose buffer is reused: for a text per packet.
void Cp932TextForUtf8(const char* text, std::size_t length, std::string& out);
