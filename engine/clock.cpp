// Report texts of the stream clocks: the reference clock's PCR text, the
// last broadcast time and the wrap-around line.
#include <cstdint>
#include <string>

#include "common/text.h"
#include "engine/stream_job.h"
#include "report/report.h"
#include "report/reporter.h"

namespace {

// At least `width` decimal digits, zeros in front, as "%0*d" writes them.
char* PutDigits(char* out, unsigned value, int width) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = count; i < width; ++i)
        *out++ = '0';
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

}  // namespace

// Formatted by hand: a stream full of drops asks for it with nearly every
// drop line.
std::string PcrText(StreamContext& context) {
    const DateTime& t = SelectReferenceClock(context, ClockKind::Pcr).currentTime;
    char text[32] = "PCR ";
    char* end = PutDigits(text + 4, t.hour, 1);
    *end++ = ':';
    end = PutDigits(end, t.minute, 2);
    *end++ = ':';
    end = PutDigits(end, t.second, 2);
    *end++ = '.';
    end = PutDigits(end, t.millisecond, 3);
    return std::string(text, end);
}

std::string TotText(const StreamContext& context) {
    if (context.broadcast.current <= 0) return {};
    const DateTime& t = context.broadcast.currentTime;
    return FormatString("TOT %04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

void PrintWrapAroundLine(Reporter& reporter, StreamContext& context, bool wraparound) {
    WrapPrediction& wrap = context.wrap;
    if (!wraparound || !wrap.pending || wrap.seconds == 0) return;
    const DateTime& t = wrap.time;
    reporter.PrintNotice(0, "PCR Wrap-around %04d/%02d/%02d %02d:%02d:%02d\r\n", t.year, t.month, t.day, t.hour,
                         t.minute, t.second);
    wrap.pending = 0;
}
