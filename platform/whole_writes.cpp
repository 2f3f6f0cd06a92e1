#include "platform/whole_writes.h"

#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {

// The closing flag sits in the top bit beside the count of writes in
// progress, so that beginning a write and closing cannot cross.
constexpr uint32_t kClosed = 0x80000000u;
std::atomic<uint32_t> wholeWrites{0};

constexpr uint32_t kHoldStepMs = 5;

}  // namespace

bool BeginWholeWrite() {
    const uint32_t before = wholeWrites.fetch_add(1);
    if ((before & kClosed) == 0) return true;
    wholeWrites.fetch_sub(1);
    return false;
}

void EndWholeWrite() {
    wholeWrites.fetch_sub(1);
}

void HoldWholeWrites(uint32_t milliseconds) {
    wholeWrites.fetch_or(kClosed);
    const uint32_t start = TickCount();
    while ((wholeWrites.load() & ~kClosed) != 0 && TickCount() - start < milliseconds)
        SleepMs(kHoldStepMs);
}

uint32_t WholeUnitsWithin(uint32_t limit, uint32_t unit) {
    if (unit == 0) return limit;
    return limit < unit ? unit : limit / unit * unit;
}

bool WriteInWholePieces(FileHandle handle, const void* data, uint32_t size, uint32_t unit, uint32_t limit,
                        uint32_t& bytesWritten) {
    const uint32_t piece = WholeUnitsWithin(limit, unit);
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (bytesWritten < size) {
        const uint32_t length = size - bytesWritten < piece ? size - bytesWritten : piece;
        uint32_t done = 0;
        const bool ok = WriteFile(handle, bytes + bytesWritten, length, done);
        bytesWritten += done;
        if (!ok) return false;
    }
    return true;
}

bool WriteAsWhole(FileHandle handle, const void* data, uint32_t size, uint32_t& bytesWritten) {
    if (!BeginWholeWrite()) return false;
    const bool ok = WriteFile(handle, data, size, bytesWritten);
    EndWholeWrite();
    return ok;
}

}  // namespace platform
