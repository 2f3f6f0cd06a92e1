#pragma once
// Fixed character tables of the 8-unit decoder (generated into
// arib_tables.cpp by tools/gen_caption_tables.py).
#include <cstdint>

// Code page 932 text, two bytes per entry for the byte values 0x20 to 0x7F.
extern const uint8_t kAlphanumericTable[];
extern const int32_t kAlphanumericTableLength;
extern const uint8_t kHiraganaTable[];
extern const int32_t kHiraganaTableLength;
extern const uint8_t kKatakanaTable[];
extern const int32_t kKatakanaTableLength;
extern const uint8_t kJisX0201KatakanaTable[];
extern const int32_t kJisX0201KatakanaTableLength;

// Rows 0x7A..0x7E then 0x75, 0x76, 94 cells each; 0 where a cell has no entry.
constexpr int kAdditionalSymbolCount = 7 * 94;
extern const uint16_t kAdditionalSymbols[kAdditionalSymbolCount];
