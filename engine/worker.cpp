// The stream worker: opens the job's source and sink, then carries every
// packet along its path (read, align, decode, check, rewrite, clocks,
// windows, tables and captions, pace, write, report).
#include <memory>
#include <string>

#include "caption/caption.h"
#include "common/process_state.h"
#include "common/text.h"
#include "endpoints/endpoint_path.h"
#include "endpoints/endpoints.h"
#include "endpoints/stream_endpoints.h"
#include "engine/reader.h"
#include "engine/stream_job.h"
#include "engine/worker_report.h"
#include "engine/writer.h"
#include "report/reporter.h"

namespace {

bool StopNow() {
    return StopRequested.load(std::memory_order_relaxed) != 0 || StopReason.load(std::memory_order_relaxed) != 0;
}

// ---- Messages ----------------------------------------------------------------
// Every line the worker prints itself goes through these.

void PrintPathNotice(Reporter& reporter, const char* format, const std::string& path) {
    reporter.PrintNotice(static_cast<int32_t>(path.size() + 260), format, path.c_str());
}

void PrintReadBufferNotice(Reporter& reporter, uint32_t capacity) {
    reporter.PrintNotice(0, "－ 読み込みバッファ %u バイトを確保できません\n", capacity);
}

// The stream owns standard output for this job: no message or progress text
// may mix with it.
void SilenceConsole(Reporter& reporter) {
    reporter.SetConsoleOn(false);
    reporter.FlushStdout();
}

// ---- Report keys -------------------------------------------------------------

// Broadcast-time values the TOT text is made of; the text is formatted again
// only when they change.
bool SameTime(const DateTime& a, const DateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second && a.millisecond == b.millisecond;
}

// The PCR text shows the reference clock's time of day to the millisecond
// and nothing else: while those four values stay, so does the text.
uint64_t PcrTextKey(StreamContext& context) {
    const DateTime& t = SelectReferenceClock(context, ClockKind::Pcr).currentTime;
    return static_cast<uint64_t>(t.hour) << 48 | static_cast<uint64_t>(t.minute) << 32 |
           static_cast<uint64_t>(t.second) << 16 | t.millisecond;
}

struct BroadcastKey {
    uint8_t firstPending = 1;
    int64_t current = 0;
    DateTime currentTime;
    bool operator==(const BroadcastKey& other) const {
        return firstPending == other.firstPending && current == other.current &&
               SameTime(currentTime, other.currentTime);
    }
};

BroadcastKey MakeBroadcastKey(const StreamContext& context) {
    return BroadcastKey{context.broadcast.firstPending, context.broadcast.current, context.broadcast.currentTime};
}

// Blocks for a file or standard output: whole packets, about 2 MiB. More
// than a read piece holds, so the packets of each piece leave in one write
// when the block moves, not in a full block and a stray packet or two.
constexpr int32_t kLargeBlockSize = 2 * 1048576 / kPacketSize * kPacketSize;

// ---- Opening -----------------------------------------------------------------

struct OpenedSource {
    std::unique_ptr<PacketSource> source;
    FileSource* file = nullptr;  // the same source when it is a file
    int64_t startOffset = 0;
};

// A start offset at or beyond the end leaves nothing to read; the source is
// then given up, so that an existing output file stays untouched.
bool StartOffsetInsideFile(Reporter& reporter, const FileSource& file, int64_t startOffset, const std::string& path) {
    if (startOffset <= 0) {
        return true;
    }
    const int64_t size = file.Size();
    if (size < 0 || startOffset < size) {
        return true;
    }
    PrintPathNotice(reporter, "－ 開始位置がファイルの終わりを越えています %s\n", path);
    return false;
}

OpenedSource OpenFileSource(Reporter& reporter, const SourcePath& path, SourceFailure& failure) {
    OpenedSource out;
    auto file = std::make_unique<FileSource>();
    out.startOffset = ParseDecimal(path.offsetText.c_str());
    if (!file->Open(path.path)) {
        failure = SourceFailure::Unreadable;
    } else if (!StartOffsetInsideFile(reporter, *file, out.startOffset, path.path)) {
        failure = SourceFailure::OffsetPastEnd;
        file->Close();
    }
    out.file = file.get();
    out.source = std::move(file);
    return out;
}

OpenedSource OpenSource(Reporter& reporter, const SourcePath& path, uint32_t capacity, SourceFailure& failure) {
    OpenedSource out;
    switch (path.kind) {
        case SourceKind::File:
            return OpenFileSource(reporter, path, failure);
        case SourceKind::Console:
            out.source = std::make_unique<ConsoleSource>();
            break;
        case SourceKind::Pipe: {
            auto pipe = std::make_unique<PipeSource>();
            // A stop request while waiting is no failure of the pipe.
            if (!pipe->Open(path.path) && StopRequested.load() == 0) {
                PrintPathNotice(reporter, "－ パイプに接続できません %s\n", path.path);
                failure = SourceFailure::PipeNeverOpened;
            }
            out.source = std::move(pipe);
            break;
        }
        case SourceKind::Tuner: {
            auto tuner = std::make_unique<TunerDriverSource>(reporter);
            tuner->Open(static_cast<uint32_t>(ParseDecimal(path.spaceText.c_str())),
                        static_cast<uint32_t>(ParseDecimal(path.channelText.c_str())), path.driver, capacity);
            out.source = std::move(tuner);
            break;
        }
        case SourceKind::Unusable:
            break;
    }
    return out;
}

struct OpenedSink {
    std::unique_ptr<PacketSink> sink;
    bool discards = false;  // no output: packets are counted and reported only
    // The sender takes blocks of at most 256 packets. A file or standard
    // output takes any size: larger writes cost fewer system calls, and
    // packets waiting in the read block are written out before it moves
    // instead of being copied aside.
    bool anyBlockSize = false;
};

OpenedSink NoOutput() {
    return OpenedSink{std::make_unique<NoSink>(), true};
}

OpenedSink OpenSink(Reporter& reporter, const SinkPath& path, bool sourceOpen, StreamSlot& slot) {
    switch (path.kind) {
        case SinkKind::File: {
            auto file = std::make_unique<FileSink>();
            // A source that cannot be read leaves an existing output file
            // untouched instead of truncating it to nothing.
            if (sourceOpen && !file->Open(path.path)) {
                // The stream is still read and reported; only its copy is
                // missing, and the job's status says so.
                PrintPathNotice(reporter, "－ 出力ファイルを作成できません %s\n", path.path);
                slot.sinkFailed = true;
                return NoOutput();
            }
            return OpenedSink{std::move(file), false, true};
        }
        case SinkKind::Console:
            SilenceConsole(reporter);
            return OpenedSink{std::make_unique<ConsoleSink>(), false, true};
        case SinkKind::Sender: {
            auto sender = std::make_unique<SenderStreamSink>(reporter);
            // The sender prints its own start message.
            slot.sinkFailed = !sender->Open(path.address, path.library);
            return OpenedSink{std::move(sender), false};
        }
        case SinkKind::None:
            break;
    }
    return NoOutput();
}

// ---- The packet's path -------------------------------------------------------

constexpr uint16_t kTotPid = 0x0014;

// What the report of a packet needs from the packets before it.
struct ReportState {
    ReportTexts texts;
    uint64_t pcrKey = 0;
    bool pcrKnown = false;
    // The context's clockSteps when the key was taken; at first a count the
    // context never reaches.
    uint64_t pcrClockSteps = UINT64_MAX;
    BroadcastKey totKey;
    PercentCache percent;
    char positionText[32] = {};
    // The progress line up to its position, built again only when the
    // percent, PCR or TOT text changes: most packets move the position alone.
    char headText[kProgressLineSize];
    ProgressLine line;
    bool headStale = true;
    PositionTail tail;
    int64_t fileSize = 1;
};

void SetTotText(ReportState& report, StreamContext& context) {
    report.texts.tot = TotText(context);
    report.totKey = MakeBroadcastKey(context);
    report.headStale = true;
}

// Per-job state of the loop.
struct JobState {
    JobState(StreamJob& job, StreamContext& context, const OpenedSource& source, const OpenedSink& sink,
             uint32_t capacity)
        : job(job),
          reporter(*job.reporter),
          options(job.options),
          context(context),
          source(*source.source),
          file(source.file),
          sink(*sink.sink),
          discards(sink.discards),
          capacity(capacity),
          inputPath(job.slot.inputPath),
          outputPath(job.slot.outputPath),
          writer(*sink.sink, sink.anyBlockSize ? kLargeBlockSize : kStagingSize),
          writeBeforeMove(sink.anyBlockSize),
          tally(job.slot.tally.get()) {}

    StreamJob& job;
    Reporter& reporter;
    const JobOptions& options;
    StreamContext& context;
    PacketSource& source;
    FileSource* file;  // null unless the source is a file
    PacketSink& sink;
    bool discards;
    uint32_t capacity;
    const std::string& inputPath;
    const std::string& outputPath;
    BlockReader reader;
    PacketWriter writer;
    bool writeBeforeMove;
    bool writeNoticePrinted = false;
    StreamTally* tally;  // null unless the job's report is asked for
    ReportState report;
    WindowState windows;
    PatchTimeState patch;
    uint32_t packetsSincePump = 0;
    uint32_t lastPumpTick = 0;
    int64_t positionAtPumpCheck = 0;  // the reader's source position when last looked at
    bool shortPath = false;           // packets without a role may take the short path
};

// One packet on its way through the steps.
struct PacketStep {
    uint8_t* packet = nullptr;
    PidEntry* entry = nullptr;
    CaptionStream* caption = nullptr;
    // The packet is on this program's PMT PID. Looked up before the packet's
    // own tables are parsed: only a PAT changes the programs, and PID 0 is
    // no PMT PID.
    const ProgramEntry* program = nullptr;
    bool drop = false;
    bool keep = true;
    bool consumed = false;       // a table took the packet
    bool outsideWindow = false;  // no window of -duration holds the packet
    bool clockAdvanced = false;
};

void NoteWriteFailureNow(JobState& state) {
    if (state.sink.Failed()) {
        state.writeNoticePrinted = true;
        PrintPathNotice(state.reporter, "－ 出力ファイルに書き込めません %s\n", state.outputPath);
    }
}

// A sink that still takes blocks has not failed; only a hand-over changes that.
inline void NoteWriteFailure(JobState& state) {
    if (!state.writer.takesBlocks && !state.writeNoticePrinted) {
        NoteWriteFailureNow(state);
    }
}

void FlushPending(JobState& state) {
    FlushOutput(state.writer);
    NoteWriteFailure(state);
}

void CheckPacket(JobState& state, PacketStep& step) {
    const PidRoles roles = RolesOf(state.context, *step.entry);
    step.drop = !roles.pcr && CountContinuity(*step.entry);
    step.caption = roles.caption;
    step.program = roles.program;
}

void RewriteCounters(JobState& state, PacketStep& step) {
    if (state.options.rwcntdrop.has_value() && state.job.dropCursor != std::string::npos) {
        ForceDrop(state.reporter, state.options.rwcntdrop, state.job.dropCursor, step.packet, *step.entry,
                  state.context, state.report.texts, step.drop);
    }
    if (step.drop) {
        HideDrop(state.reporter, state.options.rwcntundrop, step.packet, *step.entry, state.context,
                 step.caption != nullptr, state.report.texts, step.drop);
    }
}

void StepClocks(JobState& state, PacketStep& step) {
    step.clockAdvanced = ClockStep(state.context, *step.entry);
}

void ApplyWindows(JobState& state, PacketStep& step) {
    if (state.windows.active && !InsideWindow(state.windows, state.context)) {
        step.keep = false;
        step.outsideWindow = true;
    }
}

// PAT, EIT and SDT: a packet one of them takes goes no further.
void ParseServiceTables(JobState& state, PacketStep& step) {
    // Most packets are on none of these PIDs.
    if (step.consumed || step.entry->pid > 0x0027) {
        return;
    }
    // The programs are read outside the windows too: which PIDs carry the
    // PCR alone decides which counters are checked, kept packets or not.
    if (step.entry->pid == 0x0000) {
        step.consumed = ParsePat(step.packet, state.context, *step.entry);
        return;
    }
    if (step.outsideWindow) {
        return;
    }
    switch (step.entry->pid) {
        case 0x0012:
        case 0x0026:
        case 0x0027:
            // For the report alone, the table is read but the packet goes on
            // as it would without it.
            if ((state.options.eit || state.options.report) && ParseEit(step.packet, state.context, *step.entry) &&
                state.options.eit) {
                step.consumed = true;
                PrintEventLines(state.reporter, state.context);
            }
            break;
        case 0x0011:
            if ((state.options.sdt || state.options.report) && ParseSdt(step.packet, state.context, *step.entry) &&
                state.options.sdt) {
                step.consumed = true;
                if (PrintServiceLines(state.reporter, state.context) > 0) {
                    NotifyPlugins(state.job.plugins);
                }
            }
            break;
        default:
            break;
    }
}

void StepPatchTime(JobState& state, const PacketStep& step) {
    if (step.clockAdvanced && state.options.patchtime != 0) {
        PatchTimeStep(state.reporter, state.patch, state.context, state.options.patchtime);
    }
}

// TOT/TDT, then a PMT, then captions.
void ParseTimeProgramAndCaptions(JobState& state, PacketStep& step) {
    if (step.consumed) {
        return;
    }
    if (step.outsideWindow) {
        if (step.program != nullptr) {
            ParsePmt(step.packet, *step.program, state.context, *step.entry);
        }
        return;
    }
    if (step.entry->pid == kTotPid && ParseTotTdt(step.packet, state.context, *step.entry)) {
        PredictWrap(state.context);
        SetTotText(state.report, state.context);
        PrintWrapAroundLine(state.reporter, state.context, state.options.wraparound);
        return;
    }
    if (step.program != nullptr) {
        ParsePmt(step.packet, *step.program, state.context, *step.entry);
    } else if (step.caption != nullptr && (state.options.capstr || state.tally != nullptr)) {
        ProcessCaptionPacket(step.packet, *step.caption, state.context, *step.entry);
        if (state.tally != nullptr) {
            state.tally->captionTexts += CaptionTextChanged(*step.caption) ? 1 : 0;
        }
        if (state.options.capstr) {
            PrintCaptionIfChanged(state.reporter, *step.caption);
        } else {
            DropCaptionChange(*step.caption);
        }
    }
}

void Pace(JobState& state) {
    if (state.options.sync) {
        PaceStream(state.context, state.reporter, state.writer.fill > 0, [&state] { FlushPending(state); });
    }
}

void WritePacket(JobState& state, const PacketStep& step) {
    if (step.keep) {
        WriteOutput(state.writer, step.packet, kPacketSize);
        NoteWriteFailure(state);
        if (state.tally != nullptr && state.writer.takesBlocks) {
            ++state.tally->packetsWritten;
        }
    }
    if (state.job.plugins != nullptr) {
        OfferPacketToPlugins(state.job.plugins, step.packet);
    }
}

void WriteProgressLine(JobState& state, int64_t position) {
    ReportState& report = state.report;
    if (report.headStale) {
        const std::size_t length = BuildProgressHead(report.headText, report.percent.text, report.texts.pcr.c_str(),
                                                     report.texts.tot.c_str(), state.file != nullptr);
        state.reporter.SetProgressHead(report.line, report.headText, length);
        if (state.file == nullptr) {
            SetProgressTail(report.line, "\r", 1);
        }
        report.headStale = false;
    }
    if (state.file != nullptr) {
        UpdatePositionTail(report.tail, report.line, position);
    }
    state.reporter.WriteProgressLine(report.line);
}

// The percent and PCR texts as they stand at the packet at `position`; a
// changed one has the progress line's head built again.
void RefreshReportTexts(JobState& state, int64_t position) {
    ReportState& report = state.report;
    if (state.file != nullptr && !PercentCached(report.percent, position, report.fileSize)) {
        FormatPercentAgain(report.percent, position, report.fileSize);
        report.headStale = true;
    }
    if (report.pcrClockSteps != state.context.clockSteps) {
        report.pcrClockSteps = state.context.clockSteps;
        if (const uint64_t now = PcrTextKey(state.context); !report.pcrKnown || now != report.pcrKey) {
            report.texts.pcr = PcrText(state.context);
            report.pcrKey = now;
            report.pcrKnown = true;
            report.headStale = true;
        }
    }
}

void ReportPacket(JobState& state, const PacketStep& step) {
    ReportState& report = state.report;
    int64_t position = 0;
    if (state.file != nullptr) {
        position = PacketPosition(state.reader, step.packet);
        report.texts.positionValue = position;
    }
    // Only a TOT/TDT packet changes the broadcast time.
    if (step.entry->pid == kTotPid && !(MakeBroadcastKey(state.context) == report.totKey)) {
        SetTotText(report, state.context);
    }
    const bool dropLine = step.drop && state.options.drop;
    if (!dropLine && (step.drop || !state.reporter.ProgressShown())) {
        return;
    }
    RefreshReportTexts(state, position);
    if (!dropLine) {
        WriteProgressLine(state, position);
        return;
    }
    if (state.file != nullptr) {
        FormatPosition(report.positionText, position);
    }
    report.texts.percent.assign(report.percent.text);
    report.texts.position.assign(report.positionText);
    PrintDropLine(state.reporter, step.entry->pid, step.entry->dropCount, report.texts.pcr.c_str(),
                  report.texts.tot.c_str(), report.positionText);
    state.job.dropEvents.fetch_add(1, std::memory_order_relaxed);
}

// The steps behind the continuity check.
void CarryCheckedPacket(JobState& state, PacketStep& step) {
    RewriteCounters(state, step);
    StepClocks(state, step);
    ApplyWindows(state, step);
    ParseServiceTables(state, step);
    StepPatchTime(state, step);
    ParseTimeProgramAndCaptions(state, step);
    if (state.discards) {
        step.keep = false;
    }
    Pace(state);
    WritePacket(state, step);
    ReportPacket(state, step);
}

void CarryPacket(JobState& state, uint8_t* packet) {
    PacketStep step;
    step.packet = packet;
    step.entry = DecodePacket(packet, state.context);
    if (state.tally != nullptr) {
        TallyPacket(*state.tally, packet);
    }
    if (step.entry == nullptr) {
        return;
    }
    CheckPacket(state, step);
    CarryCheckedPacket(state, step);
}

// ---- The short path ----------------------------------------------------------
// Most packets of a broadcast continue a PES on a PID that is no PCR, PMT,
// caption or table PID, and most jobs ask nothing of them but their
// continuity, their clocks, their copy and the progress line. Those go
// through here one after another, where the block holds them, without the
// steps that would only find they have nothing to do; any other packet goes
// the whole way. Both ways leave the same state behind.

// The options that look at every packet: with none of them, a packet on a
// PID without a role needs only the short path's steps (a report's tally
// counts it there too).
bool JobTakesShortPath(const JobState& state) {
    return state.job.plugins == nullptr && !state.windows.active && state.options.patchtime == 0 && !state.options.sync;
}

// Whether the packets of this PID (its entry looked up, null when it has
// none yet) may take the short path.
inline bool OnShortPath(const StreamContext& context, const PidEntry* entry) {
    return entry != nullptr && entry->pid > 0x0027 && entry->noRole && entry->rolesVersion == context.rolesVersion;
}

constexpr uintptr_t kPrefetchPackets = 32;

// Built only for a packet with a drop: clearing a step for every packet
// costs more than the short path's other steps together.
PacketStep DropStep(uint8_t* packet, PidEntry* entry) {
    PacketStep step;
    step.packet = packet;
    step.entry = entry;
    step.drop = true;
    return step;
}

// Carries the packets behind the cursor that the short path takes, while
// the reader's fast case holds (a packet at the stream's own stride,
// confirmed by the next one), at most `most` of them. Stops in front of the
// first packet it does not take; a packet that shows a drop goes the whole
// way from its continuity check on, and ends the run. Returns the packets
// carried.
uint32_t CarryShortRun(JobState& state, uint32_t most) {
    BlockReader& reader = state.reader;
    if (!(reader.inStep && reader.strideRun >= 2 && reader.data != nullptr)) {
        return 0;
    }
    if (state.options.rwcntdrop.has_value() && state.job.dropCursor != std::string::npos) {
        return 0;
    }
    const bool progress = state.reporter.ProgressShown();
    const uint32_t stride = reader.stride;
    uint8_t* const data = const_cast<uint8_t*>(reader.data);
    const uint8_t* lastCarried = nullptr;
    uint32_t carried = 0;
    while (carried < most) {
        const uint32_t at = reader.cursor;
        uint8_t* const packet = data + at;
        if (!(reader.length - at > stride && packet[0] == 0x47 && packet[stride] == 0x47)) {
            break;
        }
        // A lent block (the tuner's queue) was filled on another core long
        // before: its lines come from memory, and this path would wait for
        // each of them. Asked for this far ahead, they are there in time.
        // (An address, not a pointer: it may lie beyond the block.)
        __builtin_prefetch(
            reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(packet) + kPrefetchPackets * stride));
        PidEntry* const entry = state.context.pids.Find(static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]));
        if (!OnShortPath(state.context, entry) || !DecodePayloadOnlyHeader(packet, *entry)) {
            break;
        }
        reader.cursor = at + stride;
        ++carried;
        if (state.tally != nullptr) {
            TallyPacket(*state.tally, packet);
        }
        if (CountContinuity(*entry)) {
            // The rewrite line of a drop shows the position of the packet
            // reported before it.
            if (lastCarried != nullptr && state.file != nullptr) {
                state.report.texts.positionValue = PacketPosition(reader, lastCarried);
            }
            PacketStep step = DropStep(packet, entry);
            CarryCheckedPacket(state, step);
            return carried;
        }
        ClockStep(state.context, *entry);
        if (!state.discards) {
            WriteOutput(state.writer, packet, kPacketSize);
            NoteWriteFailure(state);
            if (state.tally != nullptr && state.writer.takesBlocks) {
                ++state.tally->packetsWritten;
            }
        }
        if (progress) {
            // What the whole way's report does for a packet on no TOT PID
            // and without a drop; the position it keeps for a rewrite line
            // is set once, for the last packet carried here.
            const int64_t position = state.file != nullptr ? PacketPosition(reader, packet) : 0;
            RefreshReportTexts(state, position);
            WriteProgressLine(state, position);
        }
        lastCarried = packet;
    }
    if (lastCarried != nullptr && state.file != nullptr) {
        state.report.texts.positionValue = PacketPosition(reader, lastCarried);
    }
    return carried;
}

// ---- The loop ----------------------------------------------------------------

// Draining the thread's window messages costs far more than a packet's
// checks: it is done every kPumpInterval packets, whenever the source has
// nothing for the moment, and, when packets trickle in (a live tuner), at
// least every kPumpIntervalMs. The clock is looked at once per read of the
// source, not per packet.
constexpr uint32_t kPumpInterval = 1024;
constexpr uint32_t kPumpIntervalMs = 4;

void PumpNow(JobState& state) {
    platform::PumpMessages();
    state.packetsSincePump = 0;
}

// A pump by count does not read the clock: a stream that flows fast is
// pumped by count, and the clock is for the one that trickles.
void PumpWhenDue(JobState& state) {
    if (++state.packetsSincePump >= kPumpInterval) {
        PumpNow(state);
        return;
    }
    if (state.reader.sourcePosition != state.positionAtPumpCheck) {
        state.positionAtPumpCheck = state.reader.sourcePosition;
        const uint32_t now = platform::TickCount();
        if (now - state.lastPumpTick >= kPumpIntervalMs) {
            PumpNow(state);
            state.lastPumpTick = now;
        }
    }
}

// A stop request ends reading. What a console, pipe or tuner delivered is
// gone from the source once read, so the whole packets still in hand go
// through first; a file keeps its bytes and stops at once.
bool FinishOnStop(JobState& state) {
    if (state.file != nullptr) {
        return false;
    }
    FinishReading(state.reader);
    return true;
}

void PrepareJob(JobState& state, int64_t startOffset) {
    state.reader.capacity = state.capacity;
    // Packets waiting for the sink may still point into the block.
    state.reader.beforeMove = [&state] {
        if (state.writeBeforeMove) {
            FlushPending(state);
        } else {
            StagePendingRun(state.writer);
        }
    };
    if (state.file != nullptr) {
        const int64_t size = state.file->Size();
        state.report.fileSize = size < 0 ? 0 : size;
        state.reader.sourcePosition = state.file->StartAt(startOffset);
    }
    ReportTexts& texts = state.report.texts;
    texts.percent.reserve(kTextSlack);
    texts.pcr.reserve(kTextSlack);
    texts.tot.reserve(kTextSlack);
    texts.position.reserve(kTextSlack);
    state.report.totKey = MakeBroadcastKey(state.context);
    state.context.wallClockPaces = state.options.sync;
    OpenWindows(state.windows, state.options.duration);
    if (state.options.patchtime != 0) {
        PreparePatchTime(state.patch, state.inputPath.c_str(), state.file != nullptr);
    }
    state.packetsSincePump = kPumpInterval;
    state.positionAtPumpCheck = state.reader.sourcePosition;
    state.shortPath = JobTakesShortPath(state);
}

void CarryStream(JobState& state) {
    for (;;) {
        if (state.windows.active && WindowsEnded(state.windows, state.context)) {
            break;
        }
        PumpWhenDue(state);
        if (StopNow() && !FinishOnStop(state)) {
            break;
        }
        const PacketRead read = NextPacket(state.reader, state.source);
        if (read.status == ReadStatus::End) {
            if (state.reader.allocationFailed) {
                PrintReadBufferNotice(state.reporter, state.capacity);
            }
            break;
        }
        if (read.status == ReadStatus::NoneNow) {
            // Nothing at the moment (a silent pipe or console, the tuner):
            // what was printed goes out, then wait, or ask again after a look
            // at the stop flags.
            state.reporter.FlushStdout();
            state.source.WaitIdle();
            state.packetsSincePump = kPumpInterval;
            continue;
        }
        if (state.tally != nullptr && state.tally->unitSize == 0) {
            state.tally->unitSize = read.length;
        }
        CarryPacket(state, const_cast<uint8_t*>(read.packet));
        uint32_t carried = 1;
        if (state.shortPath) {
            // A run ends at the pump's count: the pump and the stop flags
            // are looked at again at least every kPumpInterval packets.
            carried += CarryShortRun(state, kPumpInterval - 1 - state.packetsSincePump);
            state.packetsSincePump += carried - 1;
        }
        // A line printed while the source keeps delivering goes out within
        // about 100 ms, as it would with progress lines on.
        state.reporter.FlushIfDueFromPacketLoop(carried);
    }
    if (!state.discards && state.writer.fill > 0) {
        FlushPending(state);
    }
    // Progress lines this thread gathered must not outlive it.
    state.reporter.FlushStdout();
    state.job.slot.stopped = StopNow();
}

}  // namespace

uint32_t ReadBufferCapacity(uint32_t bufsize) {
    return bufsize >= static_cast<uint32_t>(kStagingSize) ? bufsize : kDefaultReadBuffer;
}

uint32_t StreamWorker(void* argument) {
    auto* job = static_cast<StreamJob*>(argument);
    if (job == nullptr || job->reporter == nullptr) {
        return 0;
    }
    StreamSlot& slot = job->slot;
    StreamContext* context = FindOrCreateStreamContext(slot.contexts, 0);
    if (context == nullptr) {
        return 0;
    }
    slot.context = context;

    // The start offset is cut off the slot's own path for good: the job's
    // summary afterwards names the source without it.
    const SourcePath sourcePath = ParseSourcePath(slot.inputPath);
    slot.inputPath = sourcePath.path;
    const uint32_t capacity = ReadBufferCapacity(job->options.bufsize);
    Reporter& reporter = *job->reporter;
    context->recordEvents = job->options.report;
    OpenedSource source = OpenSource(reporter, sourcePath, capacity, slot.sourceFailure);
    const bool sourceOpen = source.source != nullptr && source.source->IsOpen();
    if (!sourceOpen && slot.sourceFailure == SourceFailure::None && StopRequested.load() == 0) {
        slot.sourceFailure = SourceFailure::Unreadable;
    }
    OpenedSink sink = OpenSink(reporter, ParseSinkPath(slot.outputPath), sourceOpen, slot);

    if (sourceOpen && sink.sink->IsOpen()) {
        JobState state(*job, *context, source, sink, capacity);
        PrepareJob(state, source.startOffset);
        const int64_t startPosition = state.reader.sourcePosition;
        CarryStream(state);
        slot.bytesRead = state.reader.sourcePosition - startPosition;
        if (sink.sink->Failed() || state.patch.replaced) {
            slot.sinkFailed = true;
        }
        if (source.source->FailedToStart()) {
            slot.sourceFailure = SourceFailure::TunerNotOpened;
        }
        // The tuner stops (and says so) before the sender does.
        source.source->Close();
    }
    sink.sink->Close();
    // A sender knows only once it has stopped whether anybody got the stream.
    if (sourceOpen && sink.sink->Failed()) {
        slot.sinkFailed = true;
    }
    if (source.source != nullptr) {
        source.source->Close();
    }
    return 1;
}
