#pragma once
// Console and log messages. A Reporter owns the console line (a progress
// line open or not), the console, progress and log switches, and decides
// where each text goes; the bytes themselves leave through a ReportOutput.
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "common/limits.h"

// Where a Reporter's bytes end up: the process's console and log files, or a
// recording in tests. The Reporter decides when console text is pushed out,
// so an output may keep text back until FlushConsole; log text reaches
// AppendLog already gathered, one call per flush point.
class ReportOutput {
public:
    virtual ~ReportOutput() = default;
    // Whether console and log text is wanted in UTF-8 instead of the
    // program's code page 932.
    virtual bool TakesUtf8() = 0;
    virtual void WriteConsole(const char* text, std::size_t length) = 0;
    virtual void FlushConsole() = 0;
    // Console text goes to standard error instead of standard output.
    virtual void SelectStandardError(bool toStandardError) = 0;
    // The log as it is now, checked by the job: later appends go to this
    // file only.
    virtual void IdentifyLog(const char*) {}
    // A log that cannot be opened (another program holds it) loses the bytes.
    virtual void AppendLog(const char* path, const char* text, std::size_t length) = 0;
    // Whether the last append found the log's name leading to another file
    // than the one identified (and wrote nothing).
    virtual bool LogReplaced() { return false; }
    // A millisecond tick for spacing out the pushes of progress and message
    // lines.
    virtual uint32_t TickMs() = 0;
};

// Progress lines are gathered into batches of this size.
constexpr std::size_t kProgressBatchSize = 16384;

// A progress line written once per packet: a head that stays over many
// lines and a short tail behind it, kept whole as the console takes it so
// that gathering a line is one copy. Between two writes the caller may
// change the tail's bytes in place (Tail()) for other ASCII bytes, a
// counter's digits, as long as its length stays.
struct ProgressLine {
    std::string text;  // the head as given (code page 932)
    // The head as the console takes it, then the tail as given.
    std::string written;
    std::size_t headLength = 0;  // of the head in `written`
    // An ASCII tail may be written behind the converted head as it is: no
    // character is converted differently for standing on the border.
    bool splits = true;
    // The whole of `written` goes into a batch as it is: the head splits, the
    // tail is ASCII and the line fits into a batch.
    bool gathers = false;
    // The claim on the Reporter's batch it was last gathered under; 0: none,
    // and always while it does not gather.
    uint64_t batchClaim = 0;

    char* Tail() { return written.data() + headLength; }
    const char* Tail() const { return written.data() + headLength; }
    std::size_t TailLength() const { return written.size() - headLength; }
};

// A new tail keeps the head.
void SetProgressTail(ProgressLine& line, const char* tail, std::size_t length);

// The console switches a job may change and the run gets back afterwards.
struct ConsoleSwitches {
    bool on = false;
    bool progress = true;
};

class Reporter {
public:
    explicit Reporter(ReportOutput& output) : output_(output) {}
    // Progress lines the destroying thread still holds go to the output,
    // which outlives the Reporter.
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    void SetConsoleOn(bool on);
    bool ConsoleOn() const;
    // The progress switch alone (-noprogress clears it).
    void SetProgressOn(bool on);
    bool ProgressOn() const;
    // Console on and progress not suppressed.
    bool ProgressShown() const {
        const uint32_t flags = consoleFlags_.load();
        return (flags & kConsoleOnBit) != 0 && (flags & kNoProgressBit) == 0;
    }
    ConsoleSwitches Console() const;
    void RestoreConsole(ConsoleSwitches switches);

    // A path longer than kMaxPath - 1 leaves the path as it was. The log
    // stays as set until changed, from one job to the next. Both are flush
    // points: text gathered so far goes to the log it was meant for.
    // SetLog identifies the log file as it is now: when its name later leads
    // to another file (a link put in its place), logging stops with a notice
    // instead of writing into that file.
    void SetLog(bool on, const char* path);
    void SetLogOn(bool on);
    bool LogOn() const;
    std::string LogPath() const;
    // Whether logging stopped that way since the last call.
    bool TakeLogStopped() { return logStopped_.exchange(false); }

    // Whether a progress line may be open on the console: the next message
    // line written through PrintNotice starts with "\r\n" then.
    bool ConsoleLineClosed() const;
    void MarkConsoleLineClosed(bool closed) {
        // Once per progress line: a store only when the state changes.
        if (consoleLineClosed_.load(std::memory_order_relaxed) != closed) consoleLineClosed_.store(closed);
    }

    // Message lines are gathered, not pushed out one by one: the console's
    // and the log's text leave together at the next flush point, which comes
    // with a later text once 100 ms have passed since the last one, or with
    // FlushStdout.
    //
    // Formats once into a buffer of max(sizeHint, 260) bytes (a longer text
    // is cut at that size, never within a double-byte character; a UTF-8
    // text is not cut) and sends it to the console and/or the log.
    void PrintMessage(int32_t sizeHint, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    void PrintMessageV(int32_t sizeHint, const char* format, va_list args);
    // A message line of its own: ends an open progress line first and leaves
    // the console line closed.
    void PrintNotice(int32_t sizeHint, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    // PrintNotice for a finished line of ASCII text, the same in every
    // character set: nothing to format or convert.
    void PrintNoticeText(const char* text, std::size_t length);
    // Writes "\r\n" when a progress line is open and progress is shown.
    void EndProgressLine();
    // Writes a progress-style text (ending in "\r") to the console when
    // progress is shown, and marks the console line open.
    void WriteProgressLine(const char* text);
    void WriteProgressLine(const char* text, std::size_t length);
    // The same for a loop that writes a line per packet, in two parts: a
    // head prepared once for as long as it stays the same, and the tail
    // behind it. The lines of one thread are gathered without a lock and
    // handed on ahead of that thread's next console text and at its flush
    // points (FlushStdout, a due FlushIfDueFromPacketLoop); the thread
    // reaches one before it ends. Text from other threads meanwhile may come
    // out ahead of gathered lines. A new head keeps the tail.
    void SetProgressHead(ProgressLine& line, const char* text, std::size_t length);
    // Writes the line as it stands.
    void WriteProgressLine(ProgressLine& line) {
        // A line gathered under the batch's present claim is on the thread
        // holding the batch.
        if (line.batchClaim == progressBatchClaim_.load(std::memory_order_relaxed) &&
            progressBatchLength_ + line.written.size() <= kProgressBatchSize && ProgressShown()) {
            std::memcpy(progressBatch_ + progressBatchLength_, line.written.data(), line.written.size());
            progressBatchLength_ += line.written.size();
            textWaiting_.store(true, std::memory_order_relaxed);
            MarkConsoleLineClosed(false);
            return;
        }
        WriteProgressLineSlowly(line);
    }
    void WriteProgressLine(ProgressLine& line, const char* tail, std::size_t tailLength) {
        SetProgressTail(line, tail, tailLength);
        WriteProgressLine(line);
    }
    // A finished text for the console alone, pushed out at once unless it
    // ends in "\r".
    void WriteConsoleText(const char* text);
    // Console text (usage lines, prompts) that is pushed out with the next
    // flush; converted to UTF-8 when the output takes it.
    void WriteStdout(const char* text, std::size_t length);
    // A flush point: pushes buffered console text out and writes the
    // gathered log text. Due before the stream itself is written to standard
    // output, before anything that may wait (pacing, a prompt, a source with
    // nothing to read), at the end of each job and of the run, and before
    // the process ends itself.
    void FlushStdout();
    // A flush point when text waits and 100 ms have passed since the last
    // one.
    void FlushIfDue();
    // The same for a packet loop that calls it after every packet or run of
    // `packets` packets: without waiting text it costs one flag test, and
    // with it the clock is read once per kPacketsPerClockRead packets only.
    void FlushIfDueFromPacketLoop(uint32_t packets = 1) {
        if (!textWaiting_.load(std::memory_order_relaxed)) return;
        packetsSinceClockRead_ += packets;
        if (packetsSinceClockRead_ < kPacketsPerClockRead) return;
        packetsSinceClockRead_ = 0;
        FlushIfDue();
    }
    // Console text goes to standard error while the stream itself goes to
    // standard output, so that the stream stays pure.
    void SendConsoleTextToStandardError(bool toStandardError);

private:
    friend class ProcessReporterState;

    void WriteFinishedConsoleText(const char* text, std::size_t length);
    // A message line to the console and/or the log, as their switches say.
    void SendMessageText(const char* text, std::size_t length);
    void GatherLogText(const char* text, std::size_t length);
    void WriteGatheredLog();
    void WriteConsoleBytes(const char* text, std::size_t length);
    void FlushNow();
    void FlushAt(uint32_t now);
    // Two-part progress lines: see WriteProgressLine.
    bool ClaimProgressBatch();
    void WriteProgressLineSlowly(ProgressLine& line);
    void WriteWholeProgressLine(const ProgressLine& line);
    // By the thread holding the batch only; the others return at once.
    void HandOverProgressBatch(bool release);

    static constexpr uint32_t kConsoleOnBit = 0x80000000u;
    static constexpr uint32_t kNoProgressBit = 0x00000001u;
    static constexpr uint32_t kLogOnBit = 0x80000000u;

    ReportOutput& output_;
    std::atomic<uint32_t> consoleFlags_{0};
    std::atomic<uint32_t> logFlags_{0};
    // Messages come from the worker, the control handler and the tuner's
    // reader alike: the log's path and its gathered text change together.
    mutable std::mutex logMutex_;
    char logPath_[kMaxPath] = {};
    // Log text for logPath_ since the last flush point.
    std::string gatheredLog_;
    std::atomic<bool> logStopped_{false};
    // Starts open: the first notice of a run may follow a progress line.
    std::atomic<bool> consoleLineClosed_{false};
    std::atomic<uint32_t> lastFlushTick_{0};
    // Console or log text has come since the last flush point.
    std::atomic<bool> textWaiting_{false};
    // Reading the clock costs as much as a packet's checks. Even a stream
    // of 1 Mbit/s carries this many packets in about 50 ms.
    static constexpr uint32_t kPacketsPerClockRead = 32;
    // Counted by the one loop that calls FlushIfDueFromPacketLoop.
    uint32_t packetsSinceClockRead_ = 0;
    // Two-part progress lines gathered by one thread; nobody else touches
    // the members below while it holds them.
    std::atomic<bool> progressBatchHeld_{false};
    // The number of the claim the batch is held under, counted from 1 by the
    // holding threads; kBatchFree while nobody holds it. Set by the holding
    // thread alone, read by every writer: a number is never used twice, so a
    // line of an ended thread or an earlier claim never matches.
    static constexpr uint64_t kBatchFree = UINT64_MAX;
    std::atomic<uint64_t> progressBatchClaim_{kBatchFree};
    uint64_t progressBatchClaims_ = 0;
    char progressBatch_[kProgressBatchSize];
    std::size_t progressBatchLength_ = 0;
};

// A message's text for a UTF-8 console: the format, the program's own code
// page 932 text, is converted; each "%s" argument is converted on its own,
// except that on POSIX a valid UTF-8 argument (a path in the locale's
// charset) passes unchanged. The text is not cut.
std::string FormatUtf8Message(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string FormatUtf8MessageV(const char* format, va_list args);
// Opens exclusively, appends (or truncates when !append), closes. Returns
// whether the file exists afterwards.
bool AppendToFile(const char* path, const void* bytes, int32_t length, bool append);
