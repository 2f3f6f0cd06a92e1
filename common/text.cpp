#include "common/text.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/limits.h"
#include "platform/platform.h"

bool CopyText(char* dst, std::size_t size, const char* src) {
    if (dst == nullptr || size == 0) return false;
    if (src == nullptr) src = "";
    const std::size_t length = std::strlen(src);
    if (length + 1 > size) return false;
    std::memcpy(dst, src, length + 1);
    return true;
}

namespace {

// On Windows paths are in the system's ANSI code page, where the second byte
// of a double-byte character can be 0x5C or a dot; such a byte is no
// separator. Elsewhere (code page 1252 and its kin) every byte stands alone.
bool IsLeadByte(unsigned char c) {
    return platform::IsPathLeadByte(c);
}

}  // namespace

bool SplitPath(const char* path, PathParts& parts) {
    parts = PathParts{};
    if (path == nullptr) return true;
    std::string rest(path);
    PathParts out;
    if (rest.size() >= 2 && rest[1] == ':' && !IsLeadByte(static_cast<unsigned char>(rest[0]))) {
        out.drive = rest.substr(0, 2);
        rest.erase(0, 2);
    }
    std::size_t lastSeparator = std::string::npos;
    std::size_t lastDot = std::string::npos;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(rest[i]);
        if (IsLeadByte(c) && i + 1 < rest.size()) {
            ++i;
            continue;
        }
        if (c == '/' || c == '\\') {
            lastSeparator = i;
            lastDot = std::string::npos;
        } else if (c == '.') {
            lastDot = i;
        }
    }
    if (lastSeparator != std::string::npos) {
        out.dir = rest.substr(0, lastSeparator + 1);
    }
    const std::size_t nameStart = lastSeparator == std::string::npos ? 0 : lastSeparator + 1;
    if (lastDot != std::string::npos) {
        out.name = rest.substr(nameStart, lastDot - nameStart);
        out.ext = rest.substr(lastDot);
    } else {
        out.name = rest.substr(nameStart);
    }
    if (out.dir.size() > kPathPartLimit || out.name.size() > kPathPartLimit || out.ext.size() > kPathPartLimit) {
        return false;
    }
    parts = std::move(out);
    return true;
}

std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (needed > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        out.assign(buffer.data(), static_cast<std::size_t>(needed));
    }
    va_end(args);
    return out;
}

bool IsDecimalNumber(const char* text) {
    if (text == nullptr) return false;
    if (*text == '+' || *text == '-') ++text;
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

long long ParseDecimal(const char* text) {
    if (text == nullptr) return 0;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\v' || *text == '\f')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    unsigned long long value = 0;
    constexpr unsigned long long kLimit = static_cast<unsigned long long>(INT64_MAX);
    while (*text >= '0' && *text <= '9') {
        const unsigned digit = static_cast<unsigned>(*text - '0');
        if (value > (kLimit - digit) / 10) {
            value = kLimit;
        } else {
            value = value * 10 + digit;
        }
        ++text;
    }
    return negative ? -static_cast<long long>(value) : static_cast<long long>(value);
}

bool EqualsIgnoreCaseN(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == 0) return true;
    }
    return true;
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParsePidText(const std::string& text, uint16_t& pid) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    const bool hex = end - begin > 2 && text[begin] == '0' && (text[begin + 1] == 'x' || text[begin + 1] == 'X');
    if (hex) begin += 2;
    if (begin == end) return false;
    const unsigned base = hex ? 16 : 10;
    constexpr uint64_t kSaturated = 0x7FFFFFFF;
    uint64_t value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const int digit = HexDigitValue(text[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
        value = value * base + static_cast<unsigned>(digit);
        if (value > kSaturated) value = kSaturated;
    }
    // A 32-bit integer cut to its low 16 bits, as the decimal form always was.
    pid = static_cast<uint16_t>(value & 0xFFFFu);
    return true;
}
