// One input path as one job: checks, default names, log settings, the
// worker thread and the per-PID summary.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/app_internal.h"
#include "app/job_report.h"
#include "app/run_settings.h"
#include "common/process_state.h"
#include "common/text.h"
#include "endpoints/endpoint_path.h"
#include "endpoints/endpoints.h"
#include "engine/stream_job.h"
#include "report/reporter.h"

namespace {

constexpr int32_t kPathHint = 520;
constexpr int64_t kProbeWindow = 384;  // two 192-byte units

int32_t HintFor(const std::string& text) {
    return std::max<int32_t>(kPathHint, static_cast<int32_t>(text.size()) + 260);
}

struct FileCloser {
    platform::FileHandle handle = platform::kInvalidFile;
    ~FileCloser() {
        if (handle != platform::kInvalidFile) {
            platform::CloseFile(handle);
        }
    }
};

// Stores a derived name in its fixed field; a name that does not fit is
// refused rather than cut, since a cut name could point at another file.
bool StoreDerivedPath(Reporter& reporter, char* field, std::size_t size, const std::string& value) {
    if (!CopyText(field, size, value.c_str())) {
        reporter.PrintMessage(HintFor(value), kPathTooLongNotice, value.c_str());
        return false;
    }
    return true;
}

// How a job ended before its worker ran; none when it goes on.
using JobCheck = std::optional<JobResult>;
constexpr JobCheck kGoOn = std::nullopt;

// Tuner path: space "\" channel "\" driver path after the prefix.
JobCheck CheckTunerPath(Reporter& reporter, const SourcePath& source) {
    const std::string& input = source.path;
    if (source.spaceText.empty()) {
        reporter.PrintMessage(HintFor(input), "－ BonDriverチューナー空間番号がありません %s\n", input.c_str());
        return JobResult::Refused;
    }
    if (source.channelText.empty()) {
        reporter.PrintMessage(HintFor(input), "－ BonDriverチューナー内部チャンネル番号がありません %s\n",
                              input.c_str());
        return JobResult::Refused;
    }
    if (source.driver.empty() || !platform::PathExists(source.driver.c_str())) {
        reporter.PrintMessage(HintFor(input), "－ BonDriverがありません %s\n", input.c_str());
        return JobResult::TunerFailed;
    }
    return kGoOn;
}

// A host name or address: letters, digits and the marks of names and of
// IPv4 and IPv6 addresses, as a resolver would take it.
bool IsHostText(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
               c == '_' || c == ':' || c == '%';
    });
}

// A port number; bits above the low 16 carry the sender library's flags
// (bit 16: the bare stream), the low 16 must name a port.
bool IsPortText(const std::string& port) {
    if (port.empty() || port.size() > 10 || !IsDecimalNumber(port.c_str()) || port[0] == '+' || port[0] == '-') {
        return false;
    }
    const long long value = ParseDecimal(port.c_str());
    return value <= 0xFFFFFFFFll && (value & 0xFFFF) != 0;
}

// Sender path: host ":" port "\" library path after the prefix.
JobCheck CheckSenderPath(Reporter& reporter, const SinkPath& sink) {
    const std::string& output = sink.path;
    std::string host;
    std::string port;
    SplitSenderDestination(sink.address, host, port);
    if (host.empty()) {
        reporter.PrintMessage(HintFor(output), "－ SendTSTCP送信先がありません %s\n", output.c_str());
        return JobResult::Refused;
    }
    if (port.empty()) {
        reporter.PrintMessage(HintFor(output), "－ SendTSTCP送信先ポートがありません %s\n", output.c_str());
        return JobResult::Refused;
    }
    // A destination nobody can reach would only show as silence later. The
    // address may list several, one a line.
    std::size_t start = 0;
    while (start <= sink.address.size()) {
        std::size_t end = sink.address.find('\n', start);
        if (end == std::string::npos) end = sink.address.size();
        std::string line = sink.address.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (line.empty()) continue;
        SplitSenderDestination(line, host, port);
        if (!IsHostText(host)) {
            reporter.PrintMessage(HintFor(output), "－ SendTSTCP送信先が正しくありません %s\n", output.c_str());
            return JobResult::Refused;
        }
        if (!IsPortText(port)) {
            reporter.PrintMessage(HintFor(output), "－ SendTSTCP送信先ポートが正しくありません %s\n", output.c_str());
            return JobResult::Refused;
        }
    }
    if (sink.library.empty() || !platform::PathExists(FindSenderLibrary(sink.library).c_str())) {
        reporter.PrintMessage(HintFor(output), "－ %sがありません %s\n", kSenderLibraryName, output.c_str());
        return JobResult::OutputFailed;
    }
    return kGoOn;
}

// The log this job would append to: its own, or the one an earlier job left
// active.
std::string ActiveLogPath(const Reporter& reporter) {
    if (RunSettings.logpath[0] != '\0') {
        return RunSettings.logpath;
    }
    return reporter.LogOn() ? reporter.LogPath() : std::string();
}

// The file inputs a job's output or log must not name: its own, and every
// other input of the command line, which a later job will still read.
// The file inputs of a NUL-separated input list, without their offsets.
std::vector<std::string> FileInputsOf(const ByteBuffer& list) {
    std::vector<std::string> inputs;
    const char* end = reinterpret_cast<const char*>(list.data) + list.used;
    for (const char* path = list.Text(); list.used > 0 && path < end; path += std::strlen(path) + 1) {
        const SourcePath other = ParseSourcePath(path);
        if (other.kind == SourceKind::File) {
            inputs.push_back(other.path);
        }
    }
    return inputs;
}

std::vector<std::string> ProtectedInputs(const std::string& input, bool fileInput) {
    std::vector<std::string> inputs;
    if (CommandLineInputs != nullptr) {
        inputs = FileInputsOf(*CommandLineInputs);
    }
    if (fileInput) {
        inputs.push_back(input);
    }
    return inputs;
}

bool NamesAnyOf(const char* path, const std::vector<std::string>& files) {
    return std::any_of(files.begin(), files.end(),
                       [path](const std::string& file) { return platform::SameFile(file.c_str(), path); });
}

// The output is created (truncated) and the log appended to: neither may be
// an input or the other, under whatever name or link.
// Nor may they be the standard input or output that carries the stream.
bool PathsKeptApart(Reporter& reporter, const std::string& input, bool fileInput) {
    const std::vector<std::string> inputs = ProtectedInputs(input, fileInput);
    const char* output = RunSettings.throughpath;
    const bool fileOutput = ParseSinkPath(output).kind == SinkKind::File;
    if (fileOutput && NamesAnyOf(output, inputs)) {
        reporter.PrintMessage(HintFor(output), "－ 出力ファイルが入力ファイルと同じです %s\n", output);
        return false;
    }
    const bool consoleSource = ParseSourcePath(input).kind == SourceKind::Console;
    if (fileOutput && consoleSource && NamesStandardHandle(output, platform::StandardInput())) {
        reporter.PrintMessage(HintFor(output), "－ 出力ファイルが入力ファイルと同じです %s\n", output);
        return false;
    }
    const std::string log = ActiveLogPath(reporter);
    const bool consoleSink = ParseSinkPath(output).kind == SinkKind::Console;
    if (!log.empty() && (NamesAnyOf(log.c_str(), inputs) || (fileOutput && platform::SameFile(output, log.c_str())) ||
                         (consoleSink && NamesStandardHandle(log.c_str(), platform::StandardOutput())) ||
                         (consoleSource && NamesStandardHandle(log.c_str(), platform::StandardInput())))) {
        reporter.PrintMessage(HintFor(log), "－ ログファイルが入力・出力ファイルと同じです %s\n", log.c_str());
        return false;
    }
    const char* report = RunSettings.jsonpath;
    if (report[0] != '\0' && (NamesAnyOf(report, inputs) || (fileOutput && platform::SameFile(output, report)) ||
                              (!log.empty() && platform::SameFile(log.c_str(), report)))) {
        reporter.PrintMessage(HintFor(report), "－ レポートファイルが入力・出力・ログファイルと同じです %s\n", report);
        return false;
    }
    // The worker deletes the -patchtime file of a file input before it starts.
    const std::string patch = RunSettings.patchtime != 0 && fileInput ? PatchTimePath(input.c_str()) : std::string();
    if (!patch.empty() &&
        (NamesAnyOf(patch.c_str(), inputs) || (fileOutput && platform::SameFile(output, patch.c_str())) ||
         (!log.empty() && platform::SameFile(log.c_str(), patch.c_str())))) {
        reporter.PrintMessage(HintFor(patch), "－ パッチ時刻ファイルが入力・出力・ログファイルと同じです %s\n",
                              patch.c_str());
        return false;
    }
    return true;
}

// Whether the worker carried at least one packet.
bool Served(const StreamSlot& slot) {
    return !slot.contexts.empty() && !slot.contexts.front()->pids.Entries().empty();
}

int32_t PrintSummary(Reporter& reporter, const StreamSlot& slot) {
    int32_t total = 0;
    if (slot.inputPath.empty() || slot.contexts.empty()) {
        return total;
    }
    const StreamContext& context = *slot.contexts.front();
    const auto& entries = context.pids.Entries();
    if (entries.empty()) {
        return total;
    }
    if (RunSettings.wraparound && context.wrap.seconds != 0) {
        const DateTime& t = context.wrap.time;
        reporter.PrintMessage(HintFor(slot.inputPath), "－ PCR Wrap-around %s\r\n", slot.inputPath.c_str());
        reporter.PrintMessage(0, "%04d/%02d/%02d %02d:%02d:%02d\r\n", t.year, t.month, t.day, t.hour, t.minute,
                              t.second);
    }
    if (RunSettings.drop) {
        reporter.PrintMessage(HintFor(slot.inputPath), "－ DROP %s\r\n", slot.inputPath.c_str());
        for (const auto& entry : entries) {
            const bool exempt = DropsNotCounted(slot, entry->pid);
            reporter.PrintMessage(0, "0x%04X : 0x%02X : %lld Drop%s : %lld Total %s\r\n", entry->pid,
                                  entry->lastCounter, static_cast<long long>(entry->dropCount),
                                  entry->dropCount == 0 || entry->dropCount == 1 ? "" : "s",
                                  static_cast<long long>(entry->packetCount), exempt ? "対象外" : "");
            if (!exempt && entry->dropCount > 0) {
                total += static_cast<int32_t>(entry->dropCount);
            }
        }
        reporter.PrintMessage(0, "\r\n%s", "");
    }
    return total;
}

}  // namespace

bool NamesStandardHandle(const char* path, platform::FileHandle handle) {
    FileCloser closer{handle};
    // /dev/null or a terminal keeps nothing that text could spoil.
    return !platform::NamesCharacterDevice(path) && platform::SameFileAsHandle(path, handle);
}

bool HasStandardHandle(platform::FileHandle handle) {
    FileCloser closer{handle};
    return handle != platform::kInvalidFile;
}

JobOptions JobOptionsFromSettings() {
    JobOptions options;
    options.sync = RunSettings.sync;
    options.capstr = RunSettings.capstr;
    options.sdt = RunSettings.sdt;
    options.eit = RunSettings.eit;
    options.drop = RunSettings.drop;
    options.wraparound = RunSettings.wraparound;
    options.report = RunSettings.jsonpath[0] != '\0';
    options.bufsize = RunSettings.bufsize;
    options.rwcntundrop = RunSettings.rwcntundrop;
    options.patchtime = RunSettings.patchtime;
    options.duration = RunSettings.duration;
    options.rwcntdrop = RunSettings.rwcntdrop;
    return options;
}

int ProbePacketSize(platform::FileHandle file, int64_t offset, platform::SeekFrom from) {
    const int64_t size = platform::FileSize(file);
    if (size <= kProbeWindow) {
        return 0;
    }
    const int64_t position = platform::Seek(file, offset, from);
    if (position < 0 || position >= size || size - position <= kProbeWindow) {
        return 0;
    }
    uint8_t window[kProbeWindow] = {};
    uint32_t got = 0;
    if (platform::ReadFile(file, window, sizeof window, got) == platform::ReadResult::Error) {
        return 0;
    }
    const int64_t n = std::min<int64_t>(got, kProbeWindow);
    for (int64_t i = 0; i < n; ++i) {
        if (window[i] != 0x47) {
            continue;
        }
        int result = 0;
        if (i + 188 < n && window[i + 188] == 0x47) {
            result = 188;
        } else if (i + 192 < n && window[i + 192] == 0x47) {
            result = 192;
        }
        if (result != 0) {
            platform::Seek(file, position + i + result, platform::SeekFrom::Begin);
            return result;
        }
    }
    return 0;
}

bool IsTransportStreamFile(const char* path) {
    if (path == nullptr || !platform::PathExists(path)) {
        return false;
    }
    FileCloser file{platform::OpenRead(path)};
    if (file.handle == platform::kInvalidFile) {
        return false;
    }
    return ProbePacketSize(file.handle, 0, platform::SeekFrom::Begin) != 0;
}

namespace {

std::string DefaultOutputPath(const PathParts& parts) {
    return FormatString("%s%s%s.%s%s", parts.drive.c_str(), parts.dir.c_str(), parts.name.c_str(), ProgramName,
                        parts.ext.c_str());
}

// A file source must exist and look like a stream; its output and log take
// their default names beside it.
JobCheck PrepareFileSource(Reporter& reporter, const std::string& input) {
    if (!platform::PathExists(input.c_str())) {
        reporter.PrintMessage(HintFor(input), "－ ファイルがありません %s\n", input.c_str());
        return JobResult::InputMissing;
    }
    if (!IsTransportStreamFile(input.c_str())) {
        reporter.PrintMessage(HintFor(input), "－ tsファイルではありません %s\n", input.c_str());
        return JobResult::NotTs;
    }
    PathParts parts;
    if (!SplitPath(input.c_str(), parts)) {
        reporter.PrintMessage(HintFor(input), kPathTooLongNotice, input.c_str());
        return JobResult::Refused;
    }
    if (RunSettings.log && RunSettings.logpath[0] == '\0') {
        const std::string name =
            FormatString("%s%s%s.%s.log", parts.drive.c_str(), parts.dir.c_str(), parts.name.c_str(), ProgramName);
        if (!StoreDerivedPath(reporter, RunSettings.logpath, sizeof RunSettings.logpath, name)) {
            return JobResult::Refused;
        }
    }
    if (RunSettings.throughpath[0] == '\0') {
        if (!StoreDerivedPath(reporter, RunSettings.throughpath, sizeof RunSettings.throughpath,
                              DefaultOutputPath(parts))) {
            return JobResult::Refused;
        }
    }
    return kGoOn;
}

// Regular files that two or more jobs of the command line would write: the
// second job would truncate what the first one wrote.
std::vector<std::string> SharedOutputs;

// The file a job of this input would write; empty when it writes none, or
// writes to a device, the console or a sender.
std::string PlannedOutputFile(const char* input) {
    const SourcePath source = ParseSourcePath(input);
    // A file that is no stream is never carried, so it writes nothing.
    if (!source.deviceLike && !IsTransportStreamFile(source.path.c_str())) {
        return std::string();
    }
    std::string output = RunSettings.throughpath;
    PathParts parts;
    if (output.empty() && !source.deviceLike && SplitPath(source.path.c_str(), parts)) {
        output = DefaultOutputPath(parts);
    }
    if (output.empty() || ParseSinkPath(output).kind != SinkKind::File || platform::NamesDevice(output.c_str())) {
        return std::string();
    }
    return output;
}

bool WritesSharedOutput(const char* output) {
    return std::any_of(SharedOutputs.begin(), SharedOutputs.end(),
                       [output](const std::string& shared) { return platform::SameFile(shared.c_str(), output); });
}

// The tuner and sender paths name what they need, standard input and output
// are there when the stream comes or goes through them, and the output and
// log stay apart from every input.
JobCheck CheckEndpoints(Reporter& reporter, const SourcePath& source) {
    if (source.kind == SourceKind::Tuner) {
        if (const JobCheck check = CheckTunerPath(reporter, source)) {
            return check;
        }
    }
    if (source.kind == SourceKind::Console && !HasStandardHandle(platform::StandardInput())) {
        reporter.PrintMessage(0, "－ 標準入力が閉じられています\n");
        return JobResult::InputFailed;
    }
    const SinkPath sink = ParseSinkPath(RunSettings.throughpath);
    if (sink.kind == SinkKind::Sender) {
        if (const JobCheck check = CheckSenderPath(reporter, sink)) {
            return check;
        }
    }
    if (sink.kind == SinkKind::Console && !HasStandardHandle(platform::StandardOutput())) {
        reporter.PrintMessage(0, "－ 標準出力が閉じられています\n");
        return JobResult::OutputFailed;
    }
    if (!PathsKeptApart(reporter, source.path, source.kind == SourceKind::File)) {
        return JobResult::Refused;
    }
    // Named once before the first job.
    if (WritesSharedOutput(RunSettings.throughpath)) {
        return JobResult::Refused;
    }
    return kGoOn;
}

// How the worker's job ended: a source that gave nothing to check first,
// then a failed output, then a stop.
JobResult ResultOf(const StreamSlot& slot) {
    switch (slot.sourceFailure) {
        case SourceFailure::Unreadable:
        case SourceFailure::OffsetPastEnd:
        case SourceFailure::PipeNeverOpened:
            return JobResult::InputFailed;
        case SourceFailure::TunerNotOpened:
            return JobResult::TunerFailed;
        case SourceFailure::None:
            break;
    }
    if (slot.sinkFailed) {
        return JobResult::OutputFailed;
    }
    return slot.stopped ? JobResult::Stopped : JobResult::Ok;
}

bool IsFailure(JobResult result) {
    return result != JobResult::Ok && result != JobResult::Stopped;
}

// The job's own log, unless it names a stream file: appending messages
// would corrupt the recording.
void SettleLog(Reporter& reporter) {
    if (RunSettings.logpath[0] == '\0') {
        return;
    }
    if (IsTransportStreamFile(RunSettings.logpath)) {
        reporter.PrintMessage(HintFor(RunSettings.logpath),
                              "－ ログファイルにtsファイルが指定されているためログ出力を無効にしました %s\n",
                              RunSettings.logpath);
        RunSettings.logpath[0] = '\0';
        RunSettings.log = false;
    }
    reporter.SetLog(RunSettings.log, RunSettings.logpath);
}

void RunWorker(Reporter& reporter, StreamJob& job) {
    // Opening the source may wait (a pipe that is not there yet, a tuner
    // starting): what the job printed so far goes out first.
    reporter.FlushStdout();
    platform::ThreadHandle worker = platform::StartThread(StreamWorker, &job);
    if (!worker) {
        reporter.PrintMessage(0, "－ スレッド%d起動失敗 : %d .\n", 3, static_cast<int>(platform::LastError()));
    } else {
        platform::JoinThread(worker);
    }
    // The drop list runs through the whole run, not one job.
    RunSettings.rwcntdropCursor = job.dropCursor;
    UnloadSender();
    // Ends the last progress line on screen; the line state is left open,
    // so the next job's first message line still ends it with "\r\n".
    if (reporter.ConsoleOn()) {
        reporter.WriteConsoleText("\n");
    }
}

}  // namespace

namespace {

// A job that ended before its worker ran: it failed, and its report says why.
int32_t EndUnrun(const SourcePath& source, JobResult result) {
    ++FailedJobs;
    JobReport report;
    report.input = source.path;
    report.startOffset = ParseDecimal(source.offsetText.c_str());
    report.result = result;
    if (RunSettings.throughpath[0] != '\0') report.output = RunSettings.throughpath;
    KeepJobReport(std::move(report));
    return 0;
}

}  // namespace

void FindSharedOutputs(Reporter& reporter, const ByteBuffer& inputList) {
    SharedOutputs.clear();
    const std::vector<std::string> inputs = FileInputsOf(inputList);
    std::vector<std::string> planned;
    const char* end = reinterpret_cast<const char*>(inputList.data) + inputList.used;
    for (const char* path = inputList.Text(); inputList.used > 0 && path < end; path += std::strlen(path) + 1) {
        const std::string output = PlannedOutputFile(path);
        // An output that is an input is refused by each job on its own.
        if (output.empty() || NamesAnyOf(output.c_str(), inputs)) {
            continue;
        }
        const bool seen = std::any_of(planned.begin(), planned.end(), [&output](const std::string& other) {
            return other == output || platform::SameFile(other.c_str(), output.c_str());
        });
        if (seen && !WritesSharedOutput(output.c_str())) {
            reporter.PrintMessage(HintFor(output), "－ 出力ファイルが複数の入力で同じです %s\n", output.c_str());
            SharedOutputs.push_back(output);
        }
        planned.push_back(output);
    }
}

int32_t RunJob(Reporter& reporter) {
    if (RunSettings.currentInput[0] == '\0') {
        return 0;
    }
    const std::string fullInput = RunSettings.currentInput;
    // The ";offset" of a file source is kept for the worker only.
    const SourcePath source = ParseSourcePath(fullInput);
    JobCheck check = source.deviceLike ? kGoOn : PrepareFileSource(reporter, source.path);
    if (!check) {
        check = CheckEndpoints(reporter, source);
    }
    if (check) {
        return EndUnrun(source, *check);
    }
    SettleLog(reporter);

    StreamJob job;
    job.slot.inputPath = fullInput;
    job.slot.outputPath = RunSettings.throughpath;
    job.options = JobOptionsFromSettings();
    if (job.options.report) {
        job.slot.tally = std::make_unique<StreamTally>();
    }
    job.dropCursor = RunSettings.rwcntdropCursor;
    job.plugins = PluginList;
    job.reporter = &reporter;
    RunWorker(reporter, job);

    const JobResult result = ResultOf(job.slot);
    if (IsFailure(result)) {
        ++FailedJobs;
    }
    if (Served(job.slot)) {
        ++ServedJobs;
    }
    const int32_t total = PrintSummary(reporter, job.slot);
    JobReport report = ReportOfJob(job.slot, source.path, job.slot.outputPath);
    report.startOffset = ParseDecimal(source.offsetText.c_str());
    report.result = result;
    // A log stopped because its name came to lead elsewhere: the run is
    // missing part of what it was asked to record.
    reporter.FlushStdout();
    if (reporter.TakeLogStopped()) {
        ++FailedJobs;
        if (!IsFailure(result)) report.result = JobResult::OutputFailed;
    }
    KeepJobReport(std::move(report));
    return total;
}
