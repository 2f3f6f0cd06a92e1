#pragma once
// Pieces of the front end that its tests reach directly.
#include <cstdint>

#include "common/byte_buffer.h"
#include "platform/platform.h"

class Reporter;

// Notice for a command-line path that does not fit its field.
extern const char* const kPathTooLongNotice;

// Whether a command-line argument is an option ("-x"; on Windows also "/x").
bool IsOptionArgument(const char* argument);
// Whether an argument asks for the usage text ("-h", "--help", "-?"...).
bool IsHelpArgument(const char* argument);
// The usage text and the contact lines, to standard output.
void PrintUsage(Reporter& reporter);
// Runs the passes over the NUL-separated input paths, one `job` call per
// path with RunSettings.currentInput set; returns the sum of the results.
// Each job gets the console switches as they were before it.
int32_t RunPasses(Reporter& reporter, const ByteBuffer& inputList, int32_t (*job)(Reporter&));
// The process exit code for a drop sum.
int32_t ExitStatus(int32_t sum);
// Whether a standard handle just taken (and closed here) exists: one the
// process was started without would read as an empty stream or swallow
// what is written to it unseen.
bool HasStandardHandle(platform::FileHandle handle);
// Whether a path leads to the file or pipe behind a standard handle just
// taken (and closed here), such as /dev/stdout: the stream's own way in or
// out under another name.
bool NamesStandardHandle(const char* path, platform::FileHandle handle);
