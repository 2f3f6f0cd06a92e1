#pragma once
#include <atomic>
#include <cstdint>

#include "platform/path_limits.h"

// The stop request lives beside the system layer because the signal and
// console handlers set it and the blocking waits here give up on it. Set
// once, polled by everyone else; atomics keep the polling well defined.
extern std::atomic<int32_t> StopRequested;  // set once, never cleared
extern std::atomic<int32_t> StopReason;     // 0 none, 1 Ctrl+C, 2 console closing
// Temporary directory with trailing separator, filled at start-up. On POSIX
// the named pipes are FIFOs in it.
extern char TempDir[kMaxPath];
