#pragma once
// Stream writes that the process's own forced end must not cut: the end
// waits a short while for those in progress and lets no new one start.
// Used by the system layers of both platforms only.
#include <cstdint>

#include "platform/platform.h"

namespace platform {

// False once the process is ending: the write must not start.
bool BeginWholeWrite();
void EndWholeWrite();
// Lets no write begin any more and waits up to `milliseconds` for those in
// progress.
void HoldWholeWrites(uint32_t milliseconds);

// The largest multiple of `unit` that is no larger than `limit`, at least
// one unit.
uint32_t WholeUnitsWithin(uint32_t limit, uint32_t unit);

// Writes in pieces of whole units no larger than `limit`: to a pipe, each
// piece within its atomic size goes in whole or not at all.
bool WriteInWholePieces(FileHandle handle, const void* data, uint32_t size, uint32_t unit, uint32_t limit,
                        uint32_t& bytesWritten);
// One write that the process's forced end lets finish.
bool WriteAsWhole(FileHandle handle, const void* data, uint32_t size, uint32_t& bytesWritten);

}  // namespace platform
