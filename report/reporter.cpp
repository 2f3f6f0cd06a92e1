// Console and log messages: the switches, the console line and the routing.
#include "report/reporter.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/text.h"
#include "platform/platform.h"
#include "report/utf8_text.h"

namespace {

// Progress lines come once per packet and message lines may come as often
// (a stream full of drops): both are pushed out at most this often.
constexpr uint32_t kFlushSpacingMs = 100;

// Length of a cut text that does not end in half of a double-byte
// character.
std::size_t WholeCharacters(const char* text, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const std::size_t step = IsCp932LeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
        if (i + step > length) break;
        i += step;
    }
    return i;
}

int32_t HintForPath(const std::string& path) {
    return static_cast<int32_t>(path.size()) + 260;
}

}  // namespace

void Reporter::SetConsoleOn(bool on) {
    if (on) {
        consoleFlags_.fetch_or(kConsoleOnBit);
    } else {
        consoleFlags_.fetch_and(~kConsoleOnBit);
    }
}

bool Reporter::ConsoleOn() const {
    return (consoleFlags_.load() & kConsoleOnBit) != 0;
}

void Reporter::SetProgressOn(bool on) {
    if (on) {
        consoleFlags_.fetch_and(~kNoProgressBit);
    } else {
        consoleFlags_.fetch_or(kNoProgressBit);
    }
}

bool Reporter::ProgressOn() const {
    return (consoleFlags_.load() & kNoProgressBit) == 0;
}

ConsoleSwitches Reporter::Console() const {
    return ConsoleSwitches{ConsoleOn(), ProgressOn()};
}

void Reporter::RestoreConsole(ConsoleSwitches switches) {
    consoleFlags_.store((switches.on ? kConsoleOnBit : 0u) | (switches.progress ? 0u : kNoProgressBit));
}

void Reporter::SetLog(bool on, const char* path) {
    WriteGatheredLog();
    {
        const std::lock_guard<std::mutex> lock(logMutex_);
        CopyText(logPath_, sizeof logPath_, path);
        output_.IdentifyLog(logPath_);
    }
    SetLogOn(on);
}

void Reporter::SetLogOn(bool on) {
    WriteGatheredLog();
    logFlags_.store(on ? kLogOnBit : 0u);
}

bool Reporter::LogOn() const {
    return (logFlags_.load() & kLogOnBit) != 0;
}

std::string Reporter::LogPath() const {
    const std::lock_guard<std::mutex> lock(logMutex_);
    return logPath_;
}

bool Reporter::ConsoleLineClosed() const {
    return consoleLineClosed_.load();
}

void Reporter::FlushIfDue() {
    if (!textWaiting_.load(std::memory_order_relaxed)) return;
    const uint32_t now = output_.TickMs();
    if (now - lastFlushTick_.load(std::memory_order_relaxed) >= kFlushSpacingMs) FlushAt(now);
}

void Reporter::FlushNow() {
    FlushAt(output_.TickMs());
}

void Reporter::FlushAt(uint32_t now) {
    // Cleared first: text another thread adds meanwhile keeps it set.
    textWaiting_.store(false, std::memory_order_relaxed);
    HandOverProgressBatch(true);
    output_.FlushConsole();
    WriteGatheredLog();
    lastFlushTick_.store(now, std::memory_order_relaxed);
}

void Reporter::WriteConsoleBytes(const char* text, std::size_t length) {
    HandOverProgressBatch(false);
    output_.WriteConsole(text, length);
    textWaiting_.store(true, std::memory_order_relaxed);
}

void Reporter::WriteFinishedConsoleText(const char* text, std::size_t length) {
    if (length == 0) return;
    WriteConsoleBytes(text, length);
    // A progress-style text (ending in "\r") will soon be overwritten.
    if (text[length - 1] == '\r') {
        FlushIfDue();
    } else {
        FlushNow();
    }
}

void Reporter::GatherLogText(const char* text, std::size_t length) {
    if (length == 0) return;
    const std::lock_guard<std::mutex> lock(logMutex_);
    if (logPath_[0] == '\0') return;
    gatheredLog_.append(text, length);
    if (text[length - 1] != '\n') gatheredLog_.append("\r\n", 2);
    textWaiting_.store(true, std::memory_order_relaxed);
}

// The log is opened, locked, written and closed once per flush point, so
// that other programs may read or rotate it in between. A batch is all the
// text gathered since the previous flush point: while another program holds
// the log, the batch written then is lost as a whole, lines gathered before
// the hold began included, and the next batch goes in once it lets go.
void Reporter::WriteGatheredLog() {
    std::string stoppedPath;
    {
        const std::lock_guard<std::mutex> lock(logMutex_);
        if (gatheredLog_.empty()) return;
        // The lock stays held while writing, so that batches from two threads
        // reach the file in the order they were gathered.
        output_.AppendLog(logPath_, gatheredLog_.data(), gatheredLog_.size());
        gatheredLog_.clear();
        if (output_.LogReplaced() && LogOn()) {
            logFlags_.store(0u);
            logStopped_.store(true);
            stoppedPath = logPath_;
        }
    }
    // Said on the console alone once the lock is free: the log is off now.
    if (!stoppedPath.empty()) {
        PrintNotice(HintForPath(stoppedPath), "－ ログファイルが変わったためログ出力を停止しました %s\n",
                    stoppedPath.c_str());
        FlushNow();
    }
}

void Reporter::WriteStdout(const char* text, std::size_t length) {
    if (text == nullptr || length == 0) return;
    // Progress lines come once per packet: no copy unless converting, and
    // then into a buffer that stays.
    if (!output_.TakesUtf8()) {
        WriteConsoleBytes(text, length);
        return;
    }
    thread_local std::string converted;
    Cp932TextForUtf8(text, length, converted);
    WriteConsoleBytes(converted.data(), converted.size());
}

void Reporter::FlushStdout() {
    FlushNow();
}

void Reporter::SendConsoleTextToStandardError(bool toStandardError) {
    FlushStdout();
    output_.SelectStandardError(toStandardError);
}

void Reporter::WriteConsoleText(const char* text) {
    if (text == nullptr || *text == '\0') return;
    const std::size_t length = std::strlen(text);
    if (!output_.TakesUtf8()) {
        WriteFinishedConsoleText(text, length);
        return;
    }
    const std::string out = Cp932TextForUtf8(text, length);
    WriteFinishedConsoleText(out.data(), out.size());
}

void Reporter::SendMessageText(const char* text, std::size_t length) {
    const bool toConsole = ConsoleOn();
    const bool toLog = LogOn();
    if (length == 0 || (!toConsole && !toLog)) return;
    if (toConsole) WriteConsoleBytes(text, length);
    if (toLog) GatherLogText(text, length);
    FlushIfDue();
}

void Reporter::PrintMessageV(int32_t sizeHint, const char* format, va_list args) {
    if (format == nullptr) return;
    if (output_.TakesUtf8()) {
        // Converting the whole text would fail on a path's UTF-8 bytes and
        // leave the message's own text unconverted: the format and each
        // argument convert on their own. The text is not cut.
        const std::string text = FormatUtf8MessageV(format, args);
        SendMessageText(text.data(), text.size());
        return;
    }
    const std::size_t size = static_cast<std::size_t>(sizeHint > 260 ? sizeHint : 260);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]());
    if (!buffer) return;
    const int needed = std::vsnprintf(buffer.get(), size, format, args);
    if (needed < 0) return;
    if (static_cast<std::size_t>(needed) >= size) {
        // Cut to the buffer; never leave half a character at the end.
        buffer[WholeCharacters(buffer.get(), size - 1)] = '\0';
    }
    SendMessageText(buffer.get(), std::strlen(buffer.get()));
}

void Reporter::PrintMessage(int32_t sizeHint, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintMessageV(sizeHint, format, args);
    va_end(args);
}

void Reporter::PrintNotice(int32_t sizeHint, const char* format, ...) {
    EndProgressLine();
    va_list args;
    va_start(args, format);
    PrintMessageV(sizeHint, format, args);
    va_end(args);
    MarkConsoleLineClosed(true);
}

void Reporter::PrintNoticeText(const char* text, std::size_t length) {
    EndProgressLine();
    SendMessageText(text, length);
    MarkConsoleLineClosed(true);
}

void Reporter::EndProgressLine() {
    // Gathered lines first: they leave a progress line open.
    HandOverProgressBatch(false);
    if (!ConsoleLineClosed() && ProgressShown()) WriteStdout("\r\n", 2);
}

void Reporter::WriteProgressLine(const char* text) {
    WriteProgressLine(text, text != nullptr ? std::strlen(text) : 0);
}

void Reporter::WriteProgressLine(const char* text, std::size_t length) {
    if (text == nullptr || length == 0 || !ProgressShown()) return;
    WriteStdout(text, length);
    MarkConsoleLineClosed(false);
    FlushIfDue();
}

// Converted apart, a head and an ASCII tail give the bytes of the whole
// line unless the head ends in a lead byte the tail would complete.
void Reporter::SetProgressHead(ProgressLine& line, const char* text, std::size_t length) {
    line.text.assign(text, length);
    if (!output_.TakesUtf8()) {
        line.written.replace(0, line.headLength, text, length);
        line.headLength = length;
        line.splits = true;
    } else {
        thread_local std::string converted;
        Cp932TextForUtf8(text, length, converted);
        line.written.replace(0, line.headLength, converted);
        line.headLength = converted.size();
        line.splits = length == 0 || !IsCp932LeadByte(static_cast<unsigned char>(text[length - 1]));
    }
    line.gathers = line.splits && AllAscii(line.Tail(), line.TailLength()) && line.written.size() <= kProgressBatchSize;
    if (!line.gathers) line.batchClaim = 0;
}

void SetProgressTail(ProgressLine& line, const char* tail, std::size_t length) {
    line.written.resize(line.headLength);
    line.written.append(tail, length);
    line.gathers = line.splits && AllAscii(tail, length) && line.written.size() <= kProgressBatchSize;
    if (!line.gathers) line.batchClaim = 0;
}

void Reporter::WriteProgressLineSlowly(ProgressLine& line) {
    if (!ProgressShown()) return;
    if (!line.gathers || !ClaimProgressBatch()) {
        WriteWholeProgressLine(line);
        return;
    }
    line.batchClaim = progressBatchClaim_.load(std::memory_order_relaxed);
    if (progressBatchLength_ + line.written.size() > kProgressBatchSize) HandOverProgressBatch(false);
    std::memcpy(progressBatch_ + progressBatchLength_, line.written.data(), line.written.size());
    progressBatchLength_ += line.written.size();
    textWaiting_.store(true, std::memory_order_relaxed);
    MarkConsoleLineClosed(false);
}

namespace {

// The Reporter whose progress batch this thread holds: one at a time.
thread_local const Reporter* batchHeldHere = nullptr;

}  // namespace

Reporter::~Reporter() {
    HandOverProgressBatch(true);
}

bool Reporter::ClaimProgressBatch() {
    if (batchHeldHere == this) return true;
    if (batchHeldHere != nullptr) return false;
    bool held = false;
    if (!progressBatchHeld_.compare_exchange_strong(held, true, std::memory_order_acquire)) return false;
    batchHeldHere = this;
    progressBatchClaim_.store(++progressBatchClaims_, std::memory_order_relaxed);
    return true;
}

void Reporter::WriteWholeProgressLine(const ProgressLine& line) {
    std::string whole = line.text;
    whole.append(line.Tail(), line.TailLength());
    WriteProgressLine(whole.data(), whole.size());
}

void Reporter::HandOverProgressBatch(bool release) {
    if (batchHeldHere != this) return;
    if (progressBatchLength_ > 0) {
        output_.WriteConsole(progressBatch_, progressBatchLength_);
        progressBatchLength_ = 0;
        // Its last line is open again, whatever another thread wrote
        // meanwhile.
        MarkConsoleLineClosed(false);
    }
    if (release) {
        progressBatchClaim_.store(kBatchFree, std::memory_order_relaxed);
        batchHeldHere = nullptr;
        progressBatchHeld_.store(false, std::memory_order_release);
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
