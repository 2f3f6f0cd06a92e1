#pragma once
// The "&#x....;" escapes that decoded broadcast text carries for ARIB
// additional symbols, and the characters they stand for in UTF-8 output.
// Code page 932 has no room for these characters, so its text keeps the
// escapes; the table itself is generated (report/symbol_table.cpp).
#include <cstdint>
#include <string>

struct SymbolEscape {
    uint16_t escape;     // the value in the escape
    uint32_t character;  // the Unicode character, beyond the BMP for many
};
// Sorted by escape value. Symbols that Unicode does not encode have no entry
// and keep their escape.
extern const SymbolEscape kSymbolEscapes[];
extern const int kSymbolEscapeCount;

// The character of an escape value, 0 when the escape stays.
uint32_t SymbolForEscape(uint16_t escape);
// The character in UTF-8 (one to four bytes).
void AppendUtf8(std::string& out, uint32_t character);
// Replaces, in UTF-8 text, every escape exactly as the decoder writes it
// (four lower-case hex digits) whose value has a character.
void ReplaceSymbolEscapes(std::string& text);
