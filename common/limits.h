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

// Growth slack of the byte buffers, by use.
constexpr int kTextSlack = 260;
constexpr int kSectionSlack = 940;
constexpr int kTunerSlack = 9400;
