#pragma once
// Report lines of the stream worker, formatted into fixed buffers so that a
// line per packet costs no allocation.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "report/reporter.h"

// Longest progress line: the dash, four texts of up to 260 bytes and the
// separators.
constexpr std::size_t kProgressLineSize = 1100;

// The progress line is "－ " percent [" , "] PCR [" , "] TOT [" , "] position
// "\r", each separator only between non-empty parts. Its head, up to the
// position, stays while the position moves on, so it is built again only
// when one of its texts changes. positionFollows tells whether a non-empty
// position comes after it. Returns the length (the text is terminated).
std::size_t BuildProgressHead(char* out, const char* percent, const char* pcr, const char* tot, bool positionFollows);
// "%d %%" of position * 100 / size, at most 100; empty for an unknown size.
std::size_t FormatPercent(char* out, int64_t position, int64_t size);
// The percent text of FormatPercent, formatted again only when the position
// leaves the range of positions that show the same percent.
struct PercentCache {
    int64_t size = -1;
    int64_t from = 0;   // first position of the cached text
    int64_t until = 0;  // first position behind it; from == until: nothing cached
    char text[32] = {};
};
const char* FormatPercentAgain(PercentCache& cache, int64_t position, int64_t size);
inline bool PercentCached(const PercentCache& cache, int64_t position, int64_t size) {
    return size == cache.size && position >= cache.from && position < cache.until;
}
inline const char* CachedPercent(PercentCache& cache, int64_t position, int64_t size) {
    if (PercentCached(cache, position, size)) {
        return cache.text;
    }
    return FormatPercentAgain(cache, position, size);
}
// "+0x%I64X".
std::size_t FormatPosition(char* out, int64_t position);
// The position text and the "\r" behind it as the progress line's tail, for
// a position that moves on a packet at a time: mostly only its last four
// digits are written again, in place.
struct PositionTail {
    int64_t high = -1;  // position >> 16 of the tail; -1: written whole next time
};
void WritePositionTail(PositionTail& tail, ProgressLine& line, int64_t position);
// "000102...FF": the two hexadecimal digits of each byte.
inline constexpr auto kHexPairs = [] {
    std::array<char, 512> pairs{};
    for (int i = 0; i < 256; ++i) {
        pairs[2 * i] = "0123456789ABCDEF"[i >> 4];
        pairs[2 * i + 1] = "0123456789ABCDEF"[i & 0x0F];
    }
    return pairs;
}();
inline void UpdatePositionTail(PositionTail& tail, ProgressLine& line, int64_t position) {
    // From 0x10000 on, the same high part means the same number of digits.
    if (position >= 0x10000 && (position >> 16) == tail.high) {
        char* last = line.written.data() + line.written.size() - 5;
        std::memcpy(last, &kHexPairs[2 * ((position >> 8) & 0xFF)], 2);
        std::memcpy(last + 2, &kHexPairs[2 * (position & 0xFF)], 2);
        return;
    }
    WritePositionTail(tail, line, position);
}
// Prints the DROP line of a packet as a message line of its own.
void PrintDropLine(Reporter& reporter, uint16_t pid, int64_t dropCount, const char* pcr, const char* tot,
                   const char* position);
