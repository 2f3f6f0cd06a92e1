#include "report/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::atomic<uint32_t> ConsoleFlags{kConsoleOn};
std::atomic<uint32_t> LogFlags{0};
char LogFilePath[kMaxPath] = {};
std::atomic<bool> ConsoleLineClosed{true};

// Placeholder definitions; the console and log routines follow.
void PrintMessage(int32_t sizeHint, const char* format, ...) {
    (void)sizeHint;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}
void WriteConsoleText(const char* text) { std::fputs(text, stdout); }
void AppendLogText(const char* text) { (void)text; }
bool AppendToFile(const char*, const void*, int32_t, bool) { return false; }
void EndProgressLine() {}
bool ProgressShown() { return false; }
void WriteProgressLine(const char*) {}
void WriteStdout(const char* text, std::size_t length) { std::fwrite(text, 1, length, stdout); }
void FlushStdout() { std::fflush(stdout); }
