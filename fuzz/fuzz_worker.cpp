// Hostile input for the whole stream worker, run twice: once as a job that
// lets packets without a role take the short path, once with an inert
// plug-in, which sends every packet the whole way. Both runs must print the
// same text, write the same bytes and leave the same counts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "endpoints/endpoints.h"
#include "engine/stream_job.h"
#include "report/reporter.h"
#include "tests/support/recording_output.h"

namespace {

std::string TempName(const char* what) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/trelvan_fuzz_worker_" + what + "_" +
           std::to_string(platform::ProcessId());
}

bool WriteWhole(const std::string& path, const uint8_t* data, std::size_t size) {
    platform::FileHandle file = platform::CreateWrite(path.c_str());
    if (file == platform::kInvalidFile) {
        return false;
    }
    uint32_t written = 0;
    platform::WriteFile(file, data, static_cast<uint32_t>(size), written);
    platform::CloseFile(file);
    return written == size;
}

std::vector<uint8_t> ReadWhole(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    uint8_t piece[65536];
    for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, file)) > 0;) {
        bytes.insert(bytes.end(), piece, piece + n);
    }
    std::fclose(file);
    return bytes;
}

struct WayResult {
    std::string console;
    std::vector<uint8_t> output;
    std::vector<int64_t> counts;
};

WayResult RunOneWay(const std::string& input, const std::string& output, const JobOptions& options, bool progress,
                    bool tallied, bool wholeWay) {
    RecordingOutput recording;
    Reporter reporter(recording);
    reporter.SetConsoleOn(true);
    reporter.SetProgressOn(progress);
    PluginEntry inert;
    StreamJob job;
    job.reporter = &reporter;
    job.slot.inputPath = input;
    job.slot.outputPath = output;
    job.options = options;
    job.plugins = wholeWay ? &inert : nullptr;
    if (tallied) {
        job.slot.tally = std::make_unique<StreamTally>();
    }
    StreamWorker(&job);
    reporter.FlushStdout();
    WayResult result{recording.StandardOutput(), ReadWhole(output), {}};
    if (!job.slot.contexts.empty()) {
        const StreamContext& context = *job.slot.contexts.front();
        for (const auto& entry : context.pids.Entries()) {
            result.counts.insert(result.counts.end(),
                                 {entry->pid, entry->packetCount, entry->dropCount, entry->lastCounter});
        }
        result.counts.insert(result.counts.end(),
                             {static_cast<int64_t>(context.clockSteps), static_cast<int64_t>(context.pts.lastStamp),
                              static_cast<int64_t>(context.pcr.currentElapsed)});
    }
    if (job.slot.tally) {
        for (const uint16_t pid : job.slot.tally->order) {
            const PidTally& counts = job.slot.tally->byPid[pid];
            result.counts.insert(result.counts.end(), {pid, counts.packets, counts.scrambled, counts.transportErrors});
        }
        result.counts.push_back(job.slot.tally->packetsWritten);
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first two bytes choose the progress line, the report's tally,
    // whether the drops of the first packet's PID are rewritten, and the read
    // block's size (from its smallest on, so that blocks end all over the
    // stream); the rest is the stream.
    const uint32_t choice = (static_cast<uint32_t>(bytes[0]) << 8) | bytes[1];
    const bool progress = (choice & 1u) != 0;
    const bool tallied = (choice & 2u) != 0;
    JobOptions options;
    options.drop = true;
    if ((choice & 4u) != 0 && size >= 5) {
        options.rwcntundrop = ((bytes[3] & 0x1Fu) << 8) | bytes[4];
    }
    options.bufsize = static_cast<uint32_t>(kStagingSize) + choice % 997u;

    static const std::string input = TempName("in");
    static const std::string output = TempName("out");
    if (!WriteWhole(input, bytes + 2, size - 2)) {
        return 0;
    }
    const WayResult shortWay = RunOneWay(input, output, options, progress, tallied, false);
    const WayResult wholeWay = RunOneWay(input, output, options, progress, tallied, true);
    if (shortWay.console != wholeWay.console || shortWay.output != wholeWay.output ||
        shortWay.counts != wholeWay.counts) {
        std::fprintf(stderr, "the short path left another result than the whole way\n");
        std::abort();
    }
    return 0;
}
