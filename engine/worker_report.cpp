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

void WritePositionTail(PositionTail& tail, ProgressLine& line, int64_t position) {
    char text[24];
    std::size_t length = FormatPosition(text, position);
    text[length++] = '\r';
    SetProgressTail(line, text, length);
    tail.high = position >= 0x10000 ? position >> 16 : -1;
}

namespace {

bool AllAscii(const char* text, std::size_t length) {
    unsigned char high = 0;
    for (std::size_t i = 0; i < length; ++i) {
        high |= static_cast<unsigned char>(text[i]);
    }
    return high < 0x80;
}

char* Put(char* out, const char* text, std::size_t length) {
    std::memcpy(out, text, length);
    return out + length;
}

// The drop line as the format "DROP : PID 0x%04X , %lld Drop , %s%s%s%s%s
// \r\n" makes it, into `line` (kDropLineRoom bytes); its length, or 0 when a
// text is not ASCII or the line would not fit.
constexpr std::size_t kDropLineRoom = 256;
std::size_t BuildDropLine(char* line, uint16_t pid, int64_t dropCount, const char* pcr, const char* tot,
                          const char* position) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::size_t pcrLength = std::strlen(pcr);
    const std::size_t totLength = std::strlen(tot);
    const std::size_t positionLength = std::strlen(position);
    // The fixed parts, the count's 20 characters at most and the texts.
    if (64 + pcrLength + totLength + positionLength > kDropLineRoom || !AllAscii(pcr, pcrLength) ||
        !AllAscii(tot, totLength) || !AllAscii(position, positionLength)) {
        return 0;
    }
    char* out = Put(line, "DROP : PID 0x", 13);
    for (int shift = 12; shift >= 0; shift -= 4) {
        *out++ = kHex[(pid >> shift) & 0x0F];
    }
    out = Put(out, " , ", 3);
    out = std::to_chars(out, out + 20, static_cast<long long>(dropCount)).ptr;
    out = Put(out, " Drop , ", 8);
    out = Put(out, pcr, pcrLength);
    if (pcrLength != 0 && (totLength != 0 || positionLength != 0)) out = Put(out, " , ", 3);
    out = Put(out, tot, totLength);
    if (totLength != 0 && positionLength != 0) out = Put(out, " , ", 3);
    out = Put(out, position, positionLength);
    out = Put(out, " \r\n", 3);
    return static_cast<std::size_t>(out - line);
}

}  // namespace

void PrintDropLine(Reporter& reporter, uint16_t pid, int64_t dropCount, const char* pcr, const char* tot,
                   const char* position) {
    // A stream full of drops prints this line over and over: built by hand,
    // it costs a few packets' time instead of a formatted message's.
    char line[kDropLineRoom];
    if (const std::size_t length = BuildDropLine(line, pid, dropCount, pcr, tot, position); length != 0) {
        reporter.PrintNoticeText(line, length);
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
