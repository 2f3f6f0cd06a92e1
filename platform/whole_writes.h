#pragma once
// Stream writes that the process's own forced end must not cut: the end
// waits a short while for those in progress and lets no new one start.
// Used by the system layers of both platforms only.
#include <cstdint>

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

}  // namespace platform
