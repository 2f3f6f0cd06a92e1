// Message text for a UTF-8 console or log.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "report/reporter.h"
#include "report/symbol_escapes.h"
#include "report/utf8_text.h"

namespace {

// Message arguments printed with "%s" are marked in the format so that they
// can be told from the program's own text after formatting.
constexpr char kArgumentStart = '\x1E';
constexpr char kArgumentEnd = '\x1F';

// The length of a printf conversion that starts at `spec` (just behind its
// '%'), and whether it prints a string.
std::size_t ConversionLength(const char* spec, bool& isString) {
    std::size_t i = 0;
    while (spec[i] != '\0' && std::strchr("-+ #0", spec[i]) != nullptr)
        ++i;
    while (spec[i] != '\0' && (std::isdigit(static_cast<unsigned char>(spec[i])) || spec[i] == '*' || spec[i] == '.'))
        ++i;
    while (spec[i] != '\0' && std::strchr("hlLqjzt", spec[i]) != nullptr)
        ++i;
    isString = spec[i] == 's';
    return spec[i] != '\0' ? i + 1 : i;
}

// The format with every "%s" conversion between argument marks.
std::string MarkStringArguments(const char* format) {
    std::string marked;
    for (const char* p = format; *p != '\0';) {
        if (*p != '%') {
            marked.push_back(*p++);
            continue;
        }
        if (p[1] == '%') {
            marked.append("%%");
            p += 2;
            continue;
        }
        bool isString = false;
        const std::size_t length = 1 + ConversionLength(p + 1, isString);
        if (isString) marked.push_back(kArgumentStart);
        marked.append(p, length);
        if (isString) marked.push_back(kArgumentEnd);
        p += length;
    }
    return marked;
}

bool IsValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        // Overlong three- and four-byte forms, surrogates, beyond U+10FFFF.
        const unsigned char next = extra > 0 ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((c == 0xE0 && next < 0xA0) || (c == 0xED && next > 0x9F) || (c == 0xF0 && next < 0x90) ||
            (c == 0xF4 && next > 0x8F)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// One "%s" argument for a UTF-8 console. On Windows every text, paths
// included, is in the ANSI code page. On POSIX a path is given in the
// locale's UTF-8 and passes as it is; the program's own texts (service
// names, captions, status words) are code page 932, which is not valid UTF-8
// unless it is plain ASCII. Broadcast text carries escapes for the symbols
// code page 932 lacks; here they become the characters.
#ifdef _WIN32
constexpr bool kPathsAreUtf8 = false;
#else
constexpr bool kPathsAreUtf8 = true;
#endif

std::string ArgumentForUtf8(const std::string& argument) {
    std::string text;
    if (AllAscii(argument.data(), argument.size())) {
        text = argument;
    } else if (kPathsAreUtf8 && IsValidUtf8(argument)) {
        return argument;
    } else if (!platform::Cp932ToUtf8(argument, text)) {
        return argument;
    }
    ReplaceSymbolEscapes(text);
    return text;
}

}  // namespace

std::string FormatUtf8MessageV(const char* format, va_list args) {
    const std::string marked = MarkStringArguments(format);
    // Run by run, with the runs remembered: a stream full of drops prints
    // the same few formats over and over.
    const std::string convertedFormat = Cp932TextForUtf8(marked.data(), marked.size());
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, convertedFormat.c_str(), copy);
    va_end(copy);
    if (needed <= 0) return std::string();
    std::string formatted(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(formatted.data(), formatted.size(), convertedFormat.c_str(), args);
    formatted.resize(static_cast<std::size_t>(needed));

    std::string out;
    out.reserve(formatted.size());
    std::size_t i = 0;
    while (i < formatted.size()) {
        const std::size_t start = formatted.find(kArgumentStart, i);
        out.append(formatted, i, start == std::string::npos ? std::string::npos : start - i);
        if (start == std::string::npos) break;
        std::size_t end = formatted.find(kArgumentEnd, start + 1);
        if (end == std::string::npos) end = formatted.size();
        out += ArgumentForUtf8(formatted.substr(start + 1, end - start - 1));
        i = end + 1;
    }
    return out;
}

std::string FormatUtf8Message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatUtf8MessageV(format, args);
    va_end(args);
    return out;
}
