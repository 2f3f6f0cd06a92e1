// Console and log messages.
#include "report/report.h"

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

struct OutputSetup {
    bool utf8 = false;         // console (when not wide) and log text in UTF-8
    bool wideConsole = false;  // standard output is a console taking UTF-16
};

const OutputSetup& Setup() {
    static const OutputSetup setup = [] {
        OutputSetup result;
        std::setvbuf(stdout, nullptr, _IOFBF, kStdoutBuffer);
        result.utf8 = platform::PreferredTextEncoding() == platform::TextEncoding::Utf8;
        result.wideConsole = platform::IsWideConsole(platform::StandardStream::Output);
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
    if (!platform::WriteWideConsole(platform::StandardStream::Output, text)) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
}

void FlushAll() {
    if (Setup().wideConsole) FlushWideConsole();
    std::fflush(stdout);
}

void FlushIfDue() {
    const uint32_t now = platform::TickCount();
    if (now - lastFlushTick.load(std::memory_order_relaxed) >= kProgressFlushMs) {
        FlushAll();
        lastFlushTick.store(now, std::memory_order_relaxed);
    }
}

void FlushNow() {
    FlushAll();
    lastFlushTick.store(platform::TickCount(), std::memory_order_relaxed);
}

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

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
    if (Setup().wideConsole) {
        const std::lock_guard<std::mutex> lock(wideMutex);
        widePending.append(text, length);
        return;
    }
    // Progress lines come once per packet: no copy unless converting.
    if (!Setup().utf8) {
        std::fwrite(text, 1, length, stdout);
        return;
    }
    const std::string out = ForOutput(text, length);
    std::fwrite(out.data(), 1, out.size(), stdout);
}

void FlushStdout() { FlushNow(); }

void WriteConsoleText(const char* text) {
    if (text == nullptr || *text == '\0') return;
    const std::size_t length = std::strlen(text);
    WriteStdout(text, length);
    // A progress-style text (ending in "\r") will soon be overwritten.
    if (text[length - 1] == '\r') {
        FlushIfDue();
    } else {
        FlushNow();
    }
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
    const std::size_t length = std::strlen(text);
    const std::string out = ForOutput(text, length);
    AppendToFile(LogFilePath, out.data(), static_cast<int32_t>(out.size()), true);
    if (text[length - 1] != '\n') AppendToFile(LogFilePath, "\r\n", 2, true);
}

void PrintMessage(int32_t sizeHint, const char* format, ...) {
    if (format == nullptr) return;
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
