// The process's console and log files.
#include "report/process_console.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace {

// The worker writes a progress line per packet and may write a message line
// nearly as often: standard output and standard error get a large buffer
// each, and the Reporter decides when it is pushed out.
constexpr std::size_t kConsoleBuffer = 1u << 16;

std::atomic<bool> consoleOnStandardError{false};

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
        std::setvbuf(stdout, nullptr, _IOFBF, kConsoleBuffer);
        std::setvbuf(stderr, nullptr, _IOFBF, kConsoleBuffer);
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
// Held through the console write as well, so that two threads flushing at
// once cannot put a later piece on screen before an earlier one.
std::mutex wideFlushMutex;

void FlushWideConsole() {
    const std::lock_guard<std::mutex> flushing(wideFlushMutex);
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

}  // namespace

bool ProcessConsole::TakesUtf8() {
    return Setup().utf8;
}

void ProcessConsole::WriteConsole(const char* text, std::size_t length) {
    Setup();
    if (ConsoleIsWide()) {
        const std::lock_guard<std::mutex> lock(wideMutex);
        widePending.append(text, length);
        return;
    }
    std::fwrite(text, 1, length, ConsoleStream());
}

void ProcessConsole::FlushConsole() {
    Setup();
    FlushWideConsole();
    std::fflush(ConsoleStream());
}

void ProcessConsole::SelectStandardError(bool toStandardError) {
    consoleOnStandardError.store(toStandardError);
}

void ProcessConsole::IdentifyLog(const char* path) {
    logPath_ = path != nullptr ? path : "";
    logIdentity_ = platform::IdentifyFile(logPath_.c_str());
    logReplaced_ = false;
}

// The log is opened again for every batch: whatever was put under its name
// meanwhile (a link to a recording, another file) must not get the text.
void ProcessConsole::AppendLog(const char* path, const char* text, std::size_t length) {
    if (path == nullptr || *path == '\0' || text == nullptr || length == 0) return;
    if (logPath_ != path) IdentifyLog(path);
    const platform::FileHandle file = platform::OpenAppendChecked(path, logIdentity_, logReplaced_);
    if (file == platform::kInvalidFile) return;
    uint32_t written = 0;
    platform::WriteFile(file, text, static_cast<uint32_t>(length), written);
    platform::CloseFile(file);
}

uint32_t ProcessConsole::TickMs() {
    // Read for every progress line: the cheap tick is precise enough for a
    // 100 ms spacing.
    return platform::CoarseTickCount();
}
