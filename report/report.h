#pragma once
// Transitional: the process's reporter for the code that is not handed a
// Reporter yet (the stream worker, the table and caption printers), with the
// old names of its functions and switches. Everything else takes a
// Reporter& from the front end; these go once the last user is converted.
#include <atomic>
#include <cstdint>
#include <string>

#include "common/limits.h"
#include "report/reporter.h"

// The reporter on the process's console, the one the front end hands down.
Reporter& ProcessReporter();

constexpr uint32_t kConsoleOn = 0x80000000u;   // ConsoleFlags bit 31
constexpr uint32_t kNoProgress = 0x00000001u;  // ConsoleFlags bit 0
constexpr uint32_t kLogOn = 0x80000000u;       // LogFlags bit 31

// The process reporter's switches and console line under their old names.
extern std::atomic<uint32_t>& ConsoleFlags;
extern std::atomic<uint32_t>& LogFlags;
extern char (&LogFilePath)[kMaxPath];
extern std::atomic<bool>& ConsoleLineClosed;

// The process reporter's functions under their old names.
void PrintMessage(int32_t sizeHint, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void EndProgressLine();
bool ProgressShown();
void WriteProgressLine(const char* text);
void FlushStdout();
