#pragma once
// Console and log messages. Every message line goes through PrintMessage;
// progress lines (ending in "\r" only) go to standard output alone.
#include <atomic>
#include <cstdint>
#include <string>

#include "common/limits.h"

constexpr uint32_t kConsoleOn = 0x80000000u;   // ConsoleFlags bit 31
constexpr uint32_t kNoProgress = 0x00000001u;  // ConsoleFlags bit 0
constexpr uint32_t kLogOn = 0x80000000u;       // LogFlags bit 31

extern std::atomic<uint32_t> ConsoleFlags;
extern std::atomic<uint32_t> LogFlags;
extern char LogFilePath[kMaxPath];
extern std::atomic<bool> ConsoleLineClosed;

// Formats once into a buffer of max(sizeHint, 260) bytes (a longer text is
// cut at that size) and sends it to the console and/or the log file.
void PrintMessage(int32_t sizeHint, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Writes a non-empty text to the console (see WriteStdout).
void WriteConsoleText(const char* text);
// Appends one message to LogFilePath, plus "\r\n" when it does not end in "\n".
void AppendLogText(const char* text);
// Opens exclusively, appends (or truncates when !append), closes. Returns
// whether the file exists afterwards.
bool AppendToFile(const char* path, const void* bytes, int32_t length, bool append);
// Writes "\r\n" when a progress line is open and progress is shown.
void EndProgressLine();
// Console on and progress not suppressed.
bool ProgressShown();
// Writes a progress-style text (ending in "\r") to standard output when
// progress is shown, and marks the console line open.
void WriteProgressLine(const char* text);
// Console text writer used by all of the above and by the usage text:
// converts code page 932 to UTF-8 when TRELVAN_CHARSET=UTF-8. Writes to
// standard output, or to standard error after
// SendConsoleTextToStandardError(true).
void WriteStdout(const char* text, std::size_t length);
// Console text (messages, progress, prompts) goes to standard error instead
// of standard output while the stream itself goes to standard output, so
// that the stream stays pure.
void SendConsoleTextToStandardError(bool toStandardError);
// A message's text for a UTF-8 console: the format, the program's own code
// page 932 text, is converted; each "%s" argument is converted on its own,
// except that on POSIX a valid UTF-8 argument (a path in the locale's
// charset) passes unchanged. The text is not cut.
std::string FormatUtf8Message(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Pushes buffered console text out (before the stream itself is written to
// standard output, and at the end of the run).
void FlushStdout();
