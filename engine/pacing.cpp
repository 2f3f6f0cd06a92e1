// Real-time pacing of the output (-sync): the stream may run ahead of the
// wall clock by less than a second of PTS time, then waits in short steps
// so that a stop request is honoured within about a third of a second.
#include "common/process_state.h"
#include "engine/stream_job.h"
#include "report/reporter.h"

namespace {

constexpr uint32_t kPaceStepMs = 333;

bool AheadOfWallClock(const StreamContext& context) {
    return context.wall.currentSeconds < context.pts.currentSeconds;
}

}  // namespace

void PaceStream(StreamContext& context, Reporter& reporter, bool staged, const std::function<void()>& flush) {
    if (context.pts.currentSeconds <= 0 || !AheadOfWallClock(context) || StopRequested) return;
    // Nothing should sit in the staging buffer or wait for the console and
    // the log while the stream waits.
    if (staged && flush) flush();
    reporter.FlushStdout();
    do {
        platform::PumpMessages();
        platform::SleepMs(kPaceStepMs);
        if (StopRequested) break;
        UpdateWallClock(context.wall);
    } while (AheadOfWallClock(context) && !StopRequested);
}
