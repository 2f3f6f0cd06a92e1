// Progress and DROP lines of the stream worker.
#include "engine/worker_report.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <string>

#include "report/report.h"
#include "report/reporter.h"

namespace {

char* Put(char* out, const char* text) {
    const std::size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
}

}  // namespace

std::size_t BuildProgressHead(char* out, const char* percent, const char* pcr, const char* tot, bool positionFollows) {
    const bool hasPercent = percent[0] != '\0';
    const bool hasPcr = pcr[0] != '\0';
    const bool hasTot = tot[0] != '\0';
    char* p = Put(out, "－ ");
    p = Put(p, percent);
    if (hasPercent && (positionFollows || hasTot || hasPcr)) {
        p = Put(p, " , ");
    }
    p = Put(p, pcr);
    if (hasPcr && (hasTot || positionFollows)) {
        p = Put(p, " , ");
    }
    p = Put(p, tot);
    if (hasTot && positionFollows) {
        p = Put(p, " , ");
    }
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

std::size_t FormatPercent(char* out, int64_t position, int64_t size) {
    if (size <= 0) {
        out[0] = '\0';
        return 0;
    }
    int64_t percent = position > 0 ? position / size * 100 + position % size * 100 / size : 0;
    if (percent > 100) {
        percent = 100;
    }
    char* p = out;
    if (percent >= 100) {
        *p++ = '1';
        *p++ = '0';
        *p++ = '0';
    } else if (percent >= 10) {
        *p++ = static_cast<char>('0' + percent / 10);
        *p++ = static_cast<char>('0' + percent % 10);
    } else {
        *p++ = static_cast<char>('0' + percent);
    }
    *p++ = ' ';
    *p++ = '%';
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

namespace {

// The first position that shows `percent` (0 to 101) for a size above 0:
// ceil(percent * size / 100) without the product overflowing.
int64_t FirstPositionOfPercent(int64_t percent, int64_t size) {
    const int64_t whole = size / 100;
    const int64_t part = size % 100;
    return percent * whole + (percent * part + 99) / 100;
}

}  // namespace

const char* FormatPercentAgain(PercentCache& cache, int64_t position, int64_t size) {
    FormatPercent(cache.text, position, size);
    ++cache.formats;
    cache.size = size;
    cache.from = 0;
    cache.until = 0;
    if (size <= 0 || size > INT64_MAX / 101) {
        return cache.text;
    }
    const int64_t percent =
        position <= 0 ? 0 : std::min<int64_t>(position / size * 100 + position % size * 100 / size, 100);
    cache.from = percent == 0 ? INT64_MIN : FirstPositionOfPercent(percent, size);
    cache.until = percent == 100 ? INT64_MAX : FirstPositionOfPercent(percent + 1, size);
    return cache.text;
}

std::size_t FormatPosition(char* out, int64_t position) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    uint64_t value = static_cast<uint64_t>(position);
    const int digits = value == 0 ? 1 : (std::bit_width(value) + 3) / 4;
    out[0] = '+';
    out[1] = '0';
    out[2] = 'x';
    char* const end = out + 3 + digits;
    for (char* p = end; p != out + 3; value >>= 4) {
        *--p = kDigits[value & 0x0F];
    }
    *end = '\0';
    return static_cast<std::size_t>(end - out);
}

std::size_t WritePositionTail(PositionTail& tail, int64_t position) {
    tail.length = FormatPosition(tail.text, position);
    tail.text[tail.length++] = '\r';
    tail.high = position >= 0x1000 ? position >> 12 : -1;
    return tail.length;
}

namespace {

// Appends `text` when it is all ASCII; false (and `out` undefined) when not.
bool AppendAscii(std::string& out, const char* text) {
    const std::size_t length = std::strlen(text);
    unsigned char high = 0;
    for (std::size_t i = 0; i < length; ++i) {
        high |= static_cast<unsigned char>(text[i]);
    }
    if (high >= 0x80) return false;
    out.append(text, length);
    return true;
}

// The drop line as the format "DROP : PID 0x%04X , %lld Drop , %s%s%s%s%s
// \r\n" makes it; false when a text is not ASCII.
bool BuildDropLine(std::string& line, uint16_t pid, int64_t dropCount, const char* pcr, const char* tot,
                   const char* position) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    line.assign("DROP : PID 0x");
    for (int shift = 12; shift >= 0; shift -= 4) {
        line.push_back(kHex[(pid >> shift) & 0x0F]);
    }
    line.append(" , ");
    char digits[24];
    const auto counted = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(dropCount));
    line.append(digits, counted.ptr);
    line.append(" Drop , ");
    const bool hasPcr = pcr[0] != '\0';
    const bool hasTot = tot[0] != '\0';
    const bool hasPosition = position[0] != '\0';
    if (!AppendAscii(line, pcr)) return false;
    if (hasPcr && (hasTot || hasPosition)) line.append(" , ");
    if (!AppendAscii(line, tot)) return false;
    if (hasTot && hasPosition) line.append(" , ");
    if (!AppendAscii(line, position)) return false;
    line.append(" \r\n");
    return true;
}

}  // namespace

void PrintDropLine(Reporter& reporter, uint16_t pid, int64_t dropCount, const char* pcr, const char* tot,
                   const char* position) {
    // A stream full of drops prints this line over and over: built by hand,
    // it costs a few packets' time instead of a formatted message's.
    thread_local std::string line;
    if (BuildDropLine(line, pid, dropCount, pcr, tot, position)) {
        reporter.PrintNoticeText(line.data(), line.size());
        return;
    }
    const bool hasPcr = pcr[0] != '\0';
    const bool hasTot = tot[0] != '\0';
    const bool hasPosition = position[0] != '\0';
    reporter.PrintNotice(static_cast<int32_t>(std::strlen(pcr) + std::strlen(tot) + std::strlen(position) + 260),
                         "DROP : PID 0x%04X , %lld Drop , %s%s%s%s%s \r\n", pid, static_cast<long long>(dropCount), pcr,
                         hasPcr && (hasTot || hasPosition) ? " , " : "", tot, hasTot && hasPosition ? " , " : "",
                         position);
}
