#pragma once
#include <atomic>
#include <cstdint>

#include "common/limits.h"

// Process-wide stop state and start-up values. Written by one party and
// polled by the others; atomics keep the polling well defined.
extern std::atomic<int32_t> StopRequested;  // set once, never cleared
extern std::atomic<int32_t> StopReason;     // 0 none, 1 Ctrl+C, 2 console closing
extern char ProgramName[kMaxPath];          // executable base name, no extension
extern char TempDir[kMaxPath];              // temporary directory with trailing separator
