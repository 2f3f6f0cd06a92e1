#pragma once
// Code page 932 text for an output that takes UTF-8.
#include <cstddef>
#include <string>

// The first byte of a code page 932 double-byte character.
inline bool IsCp932LeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The text in UTF-8; bytes that are no valid code page 932 text leave the
// whole text unchanged rather than losing any of it.
std::string Cp932TextForUtf8(const char* text, std::size_t length);
// The same into `out`, whose buffer is reused: for a text per packet.
void Cp932TextForUtf8(const char* text, std::size_t length, std::string& out);
