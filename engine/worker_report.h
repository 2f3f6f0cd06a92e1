#pragma once
// Report lines of the stream worker, formatted into fixed buffers so that a
// line per packet costs no allocation.
#include <cstddef>
#include <cstdint>

class Reporter;

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
    int64_t from = 0;      // first position of the cached text
    int64_t until = 0;     // first position behind it; from == until: nothing cached
    uint32_t formats = 0;  // counts the times the text was formatted
    char text[32] = {};
};
const char* FormatPercentAgain(PercentCache& cache, int64_t position, int64_t size);
inline const char* CachedPercent(PercentCache& cache, int64_t position, int64_t size) {
    if (size == cache.size && position >= cache.from && position < cache.until) {
        return cache.text;
    }
    return FormatPercentAgain(cache, position, size);
}
// "+0x%I64X".
std::size_t FormatPosition(char* out, int64_t position);
// The position text of the progress line and the "\r" behind it, for a
// position that moves on a packet at a time: mostly only its last three
// digits are written again.
struct PositionTail {
    char text[24] = {};
    std::size_t length = 0;  // with the "\r"
    int64_t high = -1;       // position >> 12 of the text; -1: written whole next time
};
std::size_t WritePositionTail(PositionTail& tail, int64_t position);
inline std::size_t UpdatePositionTail(PositionTail& tail, int64_t position) {
    // From 0x1000 on, the same high part means the same number of digits.
    if (position >= 0x1000 && (position >> 12) == tail.high) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        char* last = tail.text + tail.length - 4;
        last[0] = kDigits[(position >> 8) & 0x0F];
        last[1] = kDigits[(position >> 4) & 0x0F];
        last[2] = kDigits[position & 0x0F];
        return tail.length;
    }
    return WritePositionTail(tail, position);
}
// Prints the DROP line of a packet as a message line of its own.
void PrintDropLine(Reporter& reporter, uint16_t pid, int64_t dropCount, const char* pcr, const char* tot,
                   const char* position);
