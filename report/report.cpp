// Console and log messages.
#include "report/report.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

std::atomic<uint32_t> ConsoleFlags{0};
std::atomic<uint32_t> LogFlags{0};
char LogFilePath[kMaxPath] = {};
std::atomic<bool> ConsoleLineClosed{false};

namespace {

// The worker writes a progress line per packet: standard output gets a
// large buffer, message lines are pushed out at once, progress lines at
// most every kProgressFlushMs.
constexpr std::size_t kStdoutBuffer = 1u << 16;
constexpr uint32_t kProgressFlushMs = 100;

std::atomic<uint32_t> lastFlushTick{0};
std::atomic<bool> consoleOnStandardError{false};

// Message arguments printed with "%s" are marked in the format so that they
// can be told from the program's own text after formatting.
constexpr char kArgumentStart = '\x1E';
constexpr char kArgumentEnd = '\x1F';

struct OutputSetup {
    // Log text, and console text that is not written as UTF-16, in UTF-8.
    bool utf8 = false;
    // Standard output / standard error is a console that takes UTF-16.
    bool wideOutput = false;
    bool wideError = false;
};

const OutputSetup& Setup() {
    static const OutputSetup setup = [] {
        OutputSetup result;
        std::setvbuf(stdout, nullptr, _IOFBF, kStdoutBuffer);
        result.wideOutput = platform::IsWideConsole(platform::StandardStream::Output);
        result.wideError = platform::IsWideConsole(platform::StandardStream::Error);
        // A console written as UTF-16 is converted from code page 932, so the
        // text must stay in it.
        result.utf8 = platform::PreferredTextEncoding() == platform::TextEncoding::Utf8 && !result.wideOutput &&
                      !result.wideError;
        return result;
    }();
    return setup;
}

// Text for a UTF-8 terminal or log when asked for; bytes that are no valid
// code page 932 text go out unchanged rather than being lost.
std::string ForOutput(const char* text, std::size_t length) {
    std::string bytes(text, length);
    if (!Setup().utf8) return bytes;
    std::string converted;
    if (platform::Cp932ToUtf8(bytes, converted)) return converted;
    return bytes;
}

std::FILE* ConsoleStream() {
    return consoleOnStandardError.load() ? stderr : stdout;
}

bool ConsoleIsWide() {
    return consoleOnStandardError.load() ? Setup().wideError : Setup().wideOutput;
}

// A console takes its text as UTF-16, whatever its code page: the text is
// gathered here and converted when it is flushed, never in pieces that could
// split a double-byte character.
std::mutex wideMutex;
std::string widePending;

void FlushWideConsole() {
    std::string text;
    {
        const std::lock_guard<std::mutex> lock(wideMutex);
        text.swap(widePending);
    }
    if (text.empty()) return;
    const auto stream =
        consoleOnStandardError.load() ? platform::StandardStream::Error : platform::StandardStream::Output;
    if (!platform::WriteWideConsole(stream, text)) std::fwrite(text.data(), 1, text.size(), ConsoleStream());
}

void FlushConsole() {
    FlushWideConsole();
    std::fflush(ConsoleStream());
}

void FlushIfDue() {
    const uint32_t now = platform::TickCount();
    if (now - lastFlushTick.load(std::memory_order_relaxed) >= kProgressFlushMs) {
        FlushConsole();
        lastFlushTick.store(now, std::memory_order_relaxed);
    }
}

void FlushNow() {
    FlushConsole();
    lastFlushTick.store(platform::TickCount(), std::memory_order_relaxed);
}

void WriteConsoleBytes(const char* text, std::size_t length) {
    Setup();
    if (ConsoleIsWide()) {
        const std::lock_guard<std::mutex> lock(wideMutex);
        widePending.append(text, length);
        return;
    }
    std::fwrite(text, 1, length, ConsoleStream());
}

void WriteFinishedConsoleText(const char* text, std::size_t length) {
    if (length == 0) return;
    WriteConsoleBytes(text, length);
    // A progress-style text (ending in "\r") will soon be overwritten.
    if (text[length - 1] == '\r') {
        FlushIfDue();
    } else {
        FlushNow();
    }
}

void AppendFinishedLogText(const char* text, std::size_t length) {
    if (length == 0 || LogFilePath[0] == '\0') return;
    AppendToFile(LogFilePath, text, static_cast<int32_t>(length), true);
    if (text[length - 1] != '\n') AppendToFile(LogFilePath, "\r\n", 2, true);
}

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
// names, captions, status words) are code page 932, which is not valid UTF-8.
#ifdef _WIN32
constexpr bool kPathsAreUtf8 = false;
#else
constexpr bool kPathsAreUtf8 = true;
#endif

std::string ArgumentForUtf8(const std::string& argument) {
    if (kPathsAreUtf8 && IsValidUtf8(argument)) return argument;
    std::string converted;
    if (platform::Cp932ToUtf8(argument, converted)) return converted;
    return argument;
}

bool IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Length of a cut text that does not end in half of a double-byte
// character.
std::size_t WholeCharacters(const char* text, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const std::size_t step = IsLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
        if (i + step > length) break;
        i += step;
    }
    return i;
}

}  // namespace

void WriteStdout(const char* text, std::size_t length) {
    if (text == nullptr || length == 0) return;
    // Progress lines come once per packet: no copy unless converting.
    if (!Setup().utf8) {
        WriteConsoleBytes(text, length);
        return;
    }
    const std::string out = ForOutput(text, length);
    WriteConsoleBytes(out.data(), out.size());
}

void FlushStdout() {
    Setup();
    FlushNow();
}

void SendConsoleTextToStandardError(bool toStandardError) {
    FlushStdout();
    consoleOnStandardError.store(toStandardError);
}

void WriteConsoleText(const char* text) {
    if (text == nullptr || *text == '\0') return;
    const std::size_t length = std::strlen(text);
    if (!Setup().utf8) {
        WriteFinishedConsoleText(text, length);
        return;
    }
    const std::string out = ForOutput(text, length);
    WriteFinishedConsoleText(out.data(), out.size());
}

bool AppendToFile(const char* path, const void* bytes, int32_t length, bool append) {
    if (path == nullptr || *path == '\0' || bytes == nullptr || length <= 0) return false;
    const platform::FileHandle file =
        append ? platform::OpenAppendExclusive(path) : platform::CreateWriteExclusive(path);
    if (file != platform::kInvalidFile) {
        platform::Seek(file, 0, platform::SeekFrom::End);
        uint32_t written = 0;
        platform::WriteFile(file, bytes, static_cast<uint32_t>(length), written);
        platform::CloseFile(file);
    }
    return platform::PathExists(path);
}

void AppendLogText(const char* text) {
    if (text == nullptr || *text == '\0' || LogFilePath[0] == '\0') return;
    const std::string out = ForOutput(text, std::strlen(text));
    AppendFinishedLogText(out.data(), out.size());
}

namespace {

std::string FormatUtf8MessageV(const char* format, va_list args) {
    const std::string marked = MarkStringArguments(format);
    std::string convertedFormat;
    if (!platform::Cp932ToUtf8(marked, convertedFormat)) convertedFormat = marked;
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

}  // namespace

std::string FormatUtf8Message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatUtf8MessageV(format, args);
    va_end(args);
    return out;
}

void PrintMessage(int32_t sizeHint, const char* format, ...) {
    if (format == nullptr) return;
    if (Setup().utf8) {
        // Converting the whole text would fail on a path's UTF-8 bytes and
        // leave the message's own text unconverted: the format and each
        // argument convert on their own. The text is not cut.
        va_list args;
        va_start(args, format);
        const std::string text = FormatUtf8MessageV(format, args);
        va_end(args);
        if ((ConsoleFlags.load() & kConsoleOn) != 0) WriteFinishedConsoleText(text.data(), text.size());
        if ((LogFlags.load() & kLogOn) != 0) AppendFinishedLogText(text.data(), text.size());
        return;
    }
    const std::size_t size = static_cast<std::size_t>(sizeHint > 260 ? sizeHint : 260);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]());
    if (!buffer) return;
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(buffer.get(), size, format, args);
    va_end(args);
    if (needed < 0) return;
    if (static_cast<std::size_t>(needed) >= size) {
        // Cut to the buffer; never leave half a character at the end.
        buffer[WholeCharacters(buffer.get(), size - 1)] = '\0';
    }
    if ((ConsoleFlags.load() & kConsoleOn) != 0) WriteConsoleText(buffer.get());
    if ((LogFlags.load() & kLogOn) != 0) AppendLogText(buffer.get());
}

bool ProgressShown() {
    const uint32_t flags = ConsoleFlags.load();
    return (flags & kConsoleOn) != 0 && (flags & kNoProgress) == 0;
}

void EndProgressLine() {
    if (!ConsoleLineClosed.load() && ProgressShown()) WriteStdout("\r\n", 2);
}

void WriteProgressLine(const char* text) {
    if (text == nullptr || *text == '\0' || !ProgressShown()) return;
    WriteStdout(text, std::strlen(text));
    ConsoleLineClosed.store(false);
    FlushIfDue();
}
