// Report texts of the stream clocks: the reference clock's PCR text, the
// last broadcast time and the wrap-around line.
#include <cstdint>
#include <string>

#include "common/text.h"
#include "engine/stream_job.h"
#include "report/report.h"
#include "report/reporter.h"

std::string PcrText(StreamContext& context) {
    const DateTime& t = SelectReferenceClock(context, ClockKind::Pcr).currentTime;
    return FormatString("PCR %d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
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
