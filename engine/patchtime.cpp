// Patch-time report (-patchtime N): every PCR jump of at least N seconds
// ends a recorded segment. The report gives the broadcast time at which the
// stream resumes and the stream time recorded so far plus N seconds, on the
// console and, for file sources, in a ".patchtime.txt" file beside the input.
#include <cstring>
#include <string>

#include "common/limits.h"
#include "common/text.h"
#include "engine/stream_job.h"
#include "report/report.h"
#include "report/reporter.h"

namespace {

constexpr uint64_t kTicksPerSecond = 90000;

void Report(Reporter& reporter, PatchTimeState& state, const DateTime& at, const DateTime& recorded) {
    reporter.PrintMessage(0, "PCRDIFF %s %04d/%02d/%02d %02d:%02d:%02d : %d:%02d:%02d \r\n", "PCR", at.year, at.month,
                          at.day, at.hour, at.minute, at.second, recorded.hour, recorded.minute, recorded.second);
    if (state.path.empty() || state.replaced) return;
    const std::string line =
        FormatString("<><><><><>PATCHTIME;%04d%02d%02d%02d%02d%02d:%d%02d%02d\r\n", at.year, at.month, at.day, at.hour,
                     at.minute, at.second, recorded.hour, recorded.minute, recorded.second);
    // Opened, appended and closed per line; a file held by someone else
    // loses the line rather than stalling the stream.
    const platform::FileHandle file = platform::OpenAppendChecked(state.path.c_str(), state.identity, state.replaced);
    if (state.replaced) {
        reporter.PrintNotice(static_cast<int32_t>(state.path.size()) + 260,
                             "－ パッチ時刻ファイルが変わったため出力を停止しました %s\n", state.path.c_str());
        return;
    }
    if (file == platform::kInvalidFile) return;
    uint32_t written = 0;
    platform::WriteFile(file, line.data(), static_cast<uint32_t>(line.size()), written);
    platform::CloseFile(file);
}

}  // namespace

std::string PatchTimePath(const char* inputPath) {
    if (inputPath == nullptr || *inputPath == '\0') return std::string();
    // A start offset rides behind ";" and is not part of the file name.
    std::string source(inputPath);
    source = source.substr(0, source.find(';'));
    PathParts parts;
    if (!SplitPath(source.c_str(), parts)) return std::string();
    std::string path = parts.drive + parts.dir + parts.name + ".patchtime.txt";
    // Refused rather than cut: a cut name could be another file, which the
    // preparation would delete.
    if (path.size() >= kMaxPath) return std::string();
    return path;
}

void PreparePatchTime(PatchTimeState& state, const char* inputPath, bool fileSource) {
    state.path.clear();
    if (!fileSource) return;
    std::string path = PatchTimePath(inputPath);
    if (path.empty()) return;
    platform::RemoveFile(path.c_str());
    state.identity = platform::IdentifyFile(path.c_str());
    state.replaced = false;
    state.path = std::move(path);
}

void PatchTimeStep(Reporter& reporter, PatchTimeState& state, StreamContext& context, int32_t seconds) {
    if (seconds == 0) return;
    const StreamClock& pcr = context.pcr;
    if (state.firstPcr) {
        state.segmentStart = pcr.currentElapsed;
        state.firstPcr = false;
    }
    const uint64_t current = pcr.currentElapsed;
    const uint64_t previous = pcr.previousElapsed;
    if (state.segmentStart > previous) return;
    if (!ClockJumpAtLeast(pcr, seconds)) return;
    DateTime resumedAt;
    if (!ClockToBroadcastTime(current, context, ClockKind::Pcr, resumedAt)) return;

    state.streamTotal += previous - state.segmentStart;
    const uint64_t recordedTicks = static_cast<uint64_t>(seconds) * kTicksPerSecond + state.streamTotal;
    const DateTime recorded = ElapsedToTime(recordedTicks);
    state.segmentStart = current;

    reporter.EndProgressLine();
    if (state.firstReport) {
        const DateTime startedAt = OffsetBroadcastTime(context.broadcast.current, recordedTicks, true);
        Report(reporter, state, startedAt, DateTime{});
        state.firstReport = false;
    }
    Report(reporter, state, resumedAt, recorded);
    reporter.MarkConsoleLineClosed(true);
}
