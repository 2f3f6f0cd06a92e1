#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Copies src into a fixed field of `size` bytes. Returns false, leaving the
// field untouched, when src and its terminator do not fit.
bool CopyText(char* dst, std::size_t size, const char* src);

// Path parts as the C runtime's splitter gives them: drive ("C:" or empty),
// directory with its trailing separator, base name, extension with its dot.
// Both '/' and '\' separate. Returns false when a part exceeds its limit
// (drive 2 bytes, the others kPathPartLimit); the parts are then empty.
struct PathParts {
    std::string drive;
    std::string dir;
    std::string name;
    std::string ext;
};
bool SplitPath(const char* path, PathParts& parts);

// printf into a std::string (no size limit).
std::string FormatString(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Decimal reading like atol/_atoi64: optional blanks, sign, digits; stops at
// the first other character; 0 when there are none. Saturates instead of
// overflowing.
long long ParseDecimal(const char* text);
// Whether the whole text is such a number: an optional sign and at least
// one digit, nothing else.
bool IsDecimalNumber(const char* text);

// ASCII case-insensitive comparison of the first n bytes.
bool EqualsIgnoreCaseN(const char* a, const char* b, std::size_t n);

// A PID as a user writes it: decimal, or hexadecimal behind "0x"/"0X",
// with blanks around it allowed. False when the text is no such number, so
// that a mistyped PID is never taken as PID 0. The value is kept to 16 bits.
bool ParsePidText(const std::string& text, uint16_t& pid);
