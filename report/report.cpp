// The process's reporter and the old names onto it.
#include "report/report.h"

#include <cstdarg>

#include "report/process_console.h"

Reporter& ProcessReporter() {
    static ProcessConsole console;
    static Reporter reporter(console);
    return reporter;
}

// The only code that reaches into a Reporter's switches from outside.
class ProcessReporterState {
public:
    static_assert(kConsoleOn == Reporter::kConsoleOnBit && kNoProgress == Reporter::kNoProgressBit &&
                  kLogOn == Reporter::kLogOnBit);
    static std::atomic<uint32_t>& ConsoleFlags() { return ProcessReporter().consoleFlags_; }
    static std::atomic<uint32_t>& LogFlags() { return ProcessReporter().logFlags_; }
    static char (&LogFilePath())[kMaxPath] { return ProcessReporter().logPath_; }
    static std::atomic<bool>& ConsoleLineClosed() { return ProcessReporter().consoleLineClosed_; }
};

std::atomic<uint32_t>& ConsoleFlags = ProcessReporterState::ConsoleFlags();
std::atomic<uint32_t>& LogFlags = ProcessReporterState::LogFlags();
char (&LogFilePath)[kMaxPath] = ProcessReporterState::LogFilePath();
std::atomic<bool>& ConsoleLineClosed = ProcessReporterState::ConsoleLineClosed();

void PrintMessage(int32_t sizeHint, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ProcessReporter().PrintMessageV(sizeHint, format, args);
    va_end(args);
}

void EndProgressLine() {
    ProcessReporter().EndProgressLine();
}

bool ProgressShown() {
    return ProcessReporter().ProgressShown();
}

void WriteProgressLine(const char* text) {
    ProcessReporter().WriteProgressLine(text);
}

void FlushStdout() {
    ProcessReporter().FlushStdout();
}
