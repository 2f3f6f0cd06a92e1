#pragma once
#include <cstddef>

// Longest path (with its terminator) that the program stores in its fixed
// path fields. A value that does not fit is refused, never cut: a cut path
// could name a different file.
#ifdef _WIN32
constexpr std::size_t kMaxPath = 260;
#else
constexpr std::size_t kMaxPath = 4096;
#endif

// Longest directory, base name or extension that SplitPath gives. Windows
// limits each to 255 bytes; on POSIX the whole path's limit is the only one
// to keep (a single name's limit is the file system's own business, and the
// directory part holds many names).
#ifdef _WIN32
constexpr std::size_t kPathPartLimit = 255;
#else
constexpr std::size_t kPathPartLimit = kMaxPath - 1;
#endif
