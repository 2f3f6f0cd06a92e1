#pragma once
// ARIB STD-B24 8-unit text to Shift-JIS (code page 932).
#include <cstdint>
#include <string>

#include "common/byte_buffer.h"

struct AribSlot {
    uint32_t final = 0;  // final byte F of the designated set
    uint32_t kind = 0;   // 1 graphic set, 2 DRCS
    uint32_t bytes = 1;  // bytes per character
};

struct AribDecoder {
    ByteBuffer text;             // last stored text, with compare/changed flags
    uint16_t writingFormat = 0;  // last CSI SWF value
    int16_t profile = -1;        // 0 caption, 1 one-segment caption, -1 SI text
    AribSlot g[4];
    int gl = 0;  // index into g
    int gr = 2;
    int savedGl = -1;  // slot to return to after a single shift
    int savedGr = -1;

    AribDecoder();
};

// Back to the profile's initial designations and invocations.
void ResetDecoder(AribDecoder& decoder);
// Decodes `length` bytes with the decoder's state. Returns false (out left
// empty) when the input is empty or nothing was produced.
bool DecodeAribText(const uint8_t* bytes, int32_t length, AribDecoder& decoder, std::string& out);
