// The stream worker: opens the source and the sink of the job's first slot,
// carries every packet through the per-packet steps and writes the kept ones.
#include <cstring>
#include <string>

#include "app/run_settings.h"
#include "caption/caption.h"
#include "common/process_state.h"
#include "common/text.h"
#include "endpoints/endpoints.h"
#include "engine/reader.h"
#include "engine/stream_job.h"
#include "engine/worker_report.h"
#include "report/report.h"

namespace {

constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
constexpr char kTunerPrefix[] = "\\\\.\\bondriver\\";
constexpr char kSenderPrefix[] = "\\\\.\\sendtstcp\\";
constexpr std::size_t kTunerPrefixLength = sizeof(kTunerPrefix) - 1;    // 14
constexpr std::size_t kSenderPrefixLength = sizeof(kSenderPrefix) - 1;  // 14
constexpr uint32_t kPipeRetryMs = 333;
// Longest wait for a tuner that has nothing queued; the reader's append ends
// the wait at once, so this bounds only how late a stop is noticed.
constexpr uint32_t kTunerIdleWaitMs = 20;
constexpr uint32_t kPipeWaitMs = 5000;

enum class SinkKind { None, File, Console, Sender };

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool StopNow() {
    return StopRequested.load(std::memory_order_relaxed) != 0 || StopReason.load(std::memory_order_relaxed) != 0;
}

// Clock values the PCR text is made of; the text is formatted again only when
// they change.
bool SameTime(const DateTime& a, const DateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second && a.millisecond == b.millisecond;
}

struct ClockKey {
    uint64_t base[3];
    uint64_t elapsed[3];
    DateTime time[3];
    bool operator==(const ClockKey& other) const {
        for (int i = 0; i < 3; ++i) {
            if (base[i] != other.base[i] || elapsed[i] != other.elapsed[i] || !SameTime(time[i], other.time[i])) {
                return false;
            }
        }
        return true;
    }
};

ClockKey MakeClockKey(const StreamContext& context) {
    ClockKey key{};
    const StreamClock* clocks[3] = {&context.pcr, &context.pts, &context.dts};
    for (int i = 0; i < 3; ++i) {
        key.base[i] = clocks[i]->base;
        key.elapsed[i] = clocks[i]->currentElapsed;
        key.time[i] = clocks[i]->currentTime;
    }
    return key;
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

// Per-worker state that the pacing flush reaches through the thread.
struct OutputState {
    bool writeFailed = false;
    bool noticePrinted = false;
    const char* path = "";
};
thread_local OutputState* currentOutput = nullptr;

void PrintPathNotice(const char* format, const std::string& path) {
    EndProgressLine();
    PrintMessage(static_cast<int32_t>(path.size() + 260), format, path.c_str());
    ConsoleLineClosed = true;
}

void NoteWriteFailure(OutputState& state) {
    if (state.writeFailed && !state.noticePrinted) {
        state.noticePrinted = true;
        PrintPathNotice("－ 出力ファイルに書き込めません %s\n", state.path);
    }
}

void FlushSlot(StreamSlot& slot) {
    bool failed = false;
    WriteOutput(slot.output, slot.senderId, nullptr, 0, slot.staging, slot.stagingSize, slot.stagingFill, failed);
    if (failed && currentOutput != nullptr) {
        currentOutput->writeFailed = true;
        NoteWriteFailure(*currentOutput);
    }
}

// A stop request ends reading. What a console, pipe or tuner delivered is
// gone from the source once read, so the whole packets still in hand go
// through first; a file keeps its bytes and stops at once.
bool FinishOnStop(BlockReader& reader, SourceKind source) {
    if (source == SourceKind::File) {
        return false;
    }
    FinishReading(reader);
    return true;
}

// A start offset at or beyond the end leaves nothing to read; the source is
// then given up, so that an existing output file stays untouched.
bool StartOffsetInsideFile(platform::FileHandle input, int64_t startOffset, const std::string& path) {
    if (startOffset <= 0) {
        return true;
    }
    const int64_t size = platform::FileSize(input);
    if (size < 0 || startOffset < size) {
        return true;
    }
    PrintPathNotice("－ 開始位置がファイルの終わりを越えています %s\n", path);
    return false;
}

struct TunerHolder {
    TunerSource* tuner = nullptr;
    bool started = false;
    ~TunerHolder() {
        if (tuner != nullptr) {
            if (started) {
                StopTuner(*tuner);
            }
            DestroyTunerSource(tuner);
        }
    }
};

}  // namespace

uint32_t ReadBufferCapacity(uint32_t bufsize) {
    return bufsize >= static_cast<uint32_t>(kStagingSize) ? bufsize : kDefaultReadBuffer;
}

uint32_t StreamWorker(void* argument) {
    auto* job = static_cast<StreamJob*>(argument);
    if (job == nullptr || job->slots == nullptr || job->slotCount < 1) {
        return 0;
    }
    StreamSlot& slot = job->slots[0];
    StreamContext* found = FindOrCreateStreamContext(slot.contexts, 0);
    if (found == nullptr) {
        return 0;
    }
    slot.context = found;
    StreamContext& context = *found;

    uint8_t staging[kStagingSize];
    slot.staging = staging;
    slot.stagingSize = kStagingSize;
    slot.stagingFill = 0;

    // ---- Source ----
    // The start offset is cut off the slot's own path for good: the job's
    // summary afterwards names the source without it.
    std::string offsetText;
    if (const std::size_t semicolon = slot.inputPath.find(';'); semicolon != std::string::npos) {
        offsetText = slot.inputPath.substr(semicolon + 1);
        slot.inputPath.resize(semicolon);
    }
    const std::string inputPath = slot.inputPath;
    SourceKind source = SourceKind::Unusable;
    if (inputPath.empty()) {
        source = SourceKind::Unusable;
    } else if (inputPath == "CON") {
        source = SourceKind::Console;
    } else if (StartsWith(inputPath, kPipePrefix)) {
        source = SourceKind::Pipe;
    } else if (StartsWith(inputPath, kTunerPrefix)) {
        source = SourceKind::Tuner;
    } else if (platform::PathExists(inputPath.c_str())) {
        source = SourceKind::File;
    }
    const int64_t startOffset = source == SourceKind::File ? ParseDecimal(offsetText.c_str()) : 0;

    // ---- Sink ----
    const std::string& outputPath = slot.outputPath;
    SinkKind sink = SinkKind::File;
    if (outputPath.empty()) {
        sink = SinkKind::None;
    } else if (outputPath == "CON") {
        sink = SinkKind::Console;
    } else if (StartsWith(outputPath, kSenderPrefix)) {
        sink = SinkKind::Sender;
    }

    const uint32_t capacity = ReadBufferCapacity(RunSettings.bufsize);
    TunerHolder tuner;

    // ---- Opening ----
    switch (source) {
        case SourceKind::File:
            slot.input = platform::OpenRead(inputPath.c_str());
            if (slot.input != platform::kInvalidFile && !StartOffsetInsideFile(slot.input, startOffset, inputPath)) {
                platform::CloseFile(slot.input);
                slot.input = platform::kInvalidFile;
            }
            break;
        case SourceKind::Console:
            slot.input = platform::StandardInput();
            break;
        case SourceKind::Pipe: {
            const uint32_t start = platform::TickCount();
            slot.input = platform::OpenPipeRead(inputPath.c_str());
            while (slot.input == platform::kInvalidFile && StopRequested.load() == 0 &&
                   platform::TickCount() - start < kPipeWaitMs) {
                platform::PumpMessages();
                platform::SleepMs(kPipeRetryMs);
                slot.input = platform::OpenPipeRead(inputPath.c_str());
            }
            break;
        }
        case SourceKind::Tuner: {
            const char* rest = inputPath.c_str() + kTunerPrefixLength;
            const char* second = std::strchr(rest, '\\');
            const char* third = second != nullptr ? std::strchr(second + 1, '\\') : nullptr;
            const uint32_t space = static_cast<uint32_t>(ParseDecimal(rest));
            const uint32_t channel = second != nullptr ? static_cast<uint32_t>(ParseDecimal(second + 1)) : 0;
            const std::string driver = third != nullptr ? std::string(third + 1) : std::string();
            tuner.tuner = CreateTunerSource();
            if (tuner.tuner != nullptr) {
                StartTuner(*tuner.tuner, space, channel, driver.c_str(), capacity);
                tuner.started = true;
            }
            break;
        }
        case SourceKind::Unusable:
            break;
    }

    const bool sourceOpen = source == SourceKind::Tuner
                                ? tuner.tuner != nullptr
                                : source != SourceKind::Unusable && slot.input != platform::kInvalidFile;
    switch (sink) {
        case SinkKind::File:
            // A source that cannot be read leaves an existing output file
            // untouched instead of truncating it to nothing.
            if (sourceOpen) {
                slot.output = platform::CreateWrite(outputPath.c_str());
                if (slot.output == platform::kInvalidFile) {
                    // The stream is still read and reported; only its copy is
                    // missing, and the job's status says so.
                    PrintPathNotice("－ 出力ファイルを作成できません %s\n", outputPath);
                    slot.sinkFailed = true;
                    sink = SinkKind::None;
                }
            }
            break;
        case SinkKind::Console:
            // The stream owns standard output for this job: no message or
            // progress text may mix with it.
            ConsoleFlags.fetch_and(~kConsoleOn);
            FlushStdout();
            slot.output = platform::StandardOutput();
            break;
        case SinkKind::Sender: {
            const std::string rest = outputPath.substr(kSenderPrefixLength);
            const std::size_t backslash = rest.find('\\');
            SetSenderLibraryPath(backslash != std::string::npos ? rest.c_str() + backslash + 1 : "");
            // An address that does not convert is passed on empty: the start then
            // fails with its own message, like any other unusable address.
            std::u16string address;
            if (!platform::AnsiToUtf16(rest.substr(0, backslash), address)) {
                address.clear();
            }
            slot.senderId = StartSender(address);
            // The sender has printed its own start message.
            slot.sinkFailed = slot.senderId == -1;
            break;
        }
        case SinkKind::None:
            break;
    }

    const bool sinkOpen =
        sink == SinkKind::None ||
        ((sink == SinkKind::File || sink == SinkKind::Console) && slot.output != platform::kInvalidFile) ||
        (sink == SinkKind::Sender && slot.senderId != -1);

    if (sourceOpen && sinkOpen) {
        OutputState output;
        output.path = outputPath.c_str();
        currentOutput = &output;

        BlockReader reader;
        reader.capacity = capacity;
        const bool fileSource = source == SourceKind::File;
        int64_t fileSize = 1;
        if (fileSource) {
            fileSize = platform::FileSize(slot.input);
            if (fileSize < 0) {
                fileSize = 0;
            }
            int64_t position = 0;
            if (startOffset > 0) {
                position = platform::Seek(slot.input, startOffset, platform::SeekFrom::Begin);
            } else if (startOffset < 0) {
                position = platform::Seek(slot.input, startOffset + 1, platform::SeekFrom::End);
            }
            if (position < 0) {
                position = platform::Seek(slot.input, 0, platform::SeekFrom::Current);
            }
            reader.sourcePosition = position < 0 ? 0 : position;
        }

        ReportTexts texts;
        texts.percent.reserve(kTextSlack);
        texts.pcr.reserve(kTextSlack);
        texts.tot.reserve(kTextSlack);
        texts.position.reserve(kTextSlack);
        ClockKey pcrKey{};
        bool pcrKnown = false;
        BroadcastKey totKey = MakeBroadcastKey(context);
        char percentText[32] = {};
        char positionText[32] = {};
        char line[kProgressLineSize];

        WindowState windows;
        OpenWindows(windows, RunSettings.duration);
        PatchTimeState patch;
        if (RunSettings.patchtime != 0) {
            PreparePatchTime(patch, inputPath.c_str(), fileSource);
        }
        const bool sinkNone = sink == SinkKind::None;
        PluginEntry* plugins = job->plugins;

        // Draining the thread's window messages costs far more than a
        // packet's checks: it is done every kPumpInterval packets, and
        // whenever the source has nothing for the moment.
        constexpr uint32_t kPumpInterval = 1024;
        uint32_t packetsSincePump = kPumpInterval;
        for (;;) {
            if (windows.active && WindowsEnded(windows, context)) {
                break;
            }
            if (++packetsSincePump >= kPumpInterval) {
                platform::PumpMessages();
                packetsSincePump = 0;
            }
            bool keep = true;
            bool clockAdvanced = false;
            if (StopNow() && !FinishOnStop(reader, source)) {
                break;
            }
            const PacketRead read = ReadPacket(reader, slot.input, tuner.tuner, source);
            if (read.status != ReadStatus::Packet) {
                if (read.status == ReadStatus::End) {
                    if (reader.allocationFailed) {
                        EndProgressLine();
                        PrintMessage(0, "－ 読み込みバッファ %u バイトを確保できません\n", capacity);
                        ConsoleLineClosed = true;
                    }
                    break;
                }
                // Nothing at the moment (a silent pipe or console, the tuner):
                // wait for the tuner's queue, or ask again after a look at the
                // stop flags.
                if (source == SourceKind::Tuner && tuner.tuner != nullptr) {
                    WaitForTunerData(*tuner.tuner, kTunerIdleWaitMs);
                } else {
                    platform::SleepMs(1);
                }
                packetsSincePump = kPumpInterval;
                continue;
            }
            uint8_t* packet = const_cast<uint8_t*>(read.packet);

            PidEntry* entry = DecodePacket(packet, context);
            if (entry != nullptr) {
                bool drop = ContinuityCheck(packet, context, *entry);
                CaptionStream* caption = FindCaptionStream(context, entry->pid);
                if (RunSettings.rwcntdrop.has_value() && RunSettings.rwcntdropCursor != std::string::npos) {
                    ForceDrop(packet, *entry, context, texts, drop);
                }
                if (drop) {
                    HideDrop(packet, *entry, context, caption != nullptr, texts, drop);
                }
                clockAdvanced = ClockStep(context, *entry);

                bool consumed = false;
                if (windows.active && !InsideWindow(windows, context)) {
                    keep = false;
                    consumed = true;
                }
                const uint16_t pid = entry->pid;
                if (!consumed) {
                    if (pid == 0x0000) {
                        consumed = ParsePat(packet, context, *entry);
                    } else if (RunSettings.eit && (pid == 0x12 || pid == 0x26 || pid == 0x27)) {
                        if (ParseEit(packet, context, *entry)) {
                            consumed = true;
                            PrintEventLines(context);
                        }
                    } else if (RunSettings.sdt && pid == 0x11) {
                        if (ParseSdt(packet, context, *entry)) {
                            consumed = true;
                            if (PrintServiceLines(context) > 0) {
                                NotifyPlugins(plugins);
                            }
                        }
                    }
                }
                if (clockAdvanced && RunSettings.patchtime != 0) {
                    PatchTimeStep(patch, context, RunSettings.patchtime);
                }
                if (!consumed) {
                    bool timeTaken = false;
                    if (pid == 0x14 && ParseTotTdt(packet, context, *entry)) {
                        timeTaken = true;
                        PredictWrap(context);
                        texts.tot = TotText(context);
                        totKey = MakeBroadcastKey(context);
                        PrintWrapAroundLine(context);
                    }
                    if (!timeTaken) {
                        if (const ProgramEntry* program = FindProgramByPmtPid(context, pid)) {
                            ParsePmt(packet, *program, context, *entry);
                        } else if (caption != nullptr && RunSettings.capstr) {
                            ProcessCaptionPacket(packet, *caption, context, *entry);
                            PrintCaptionIfChanged(*caption);
                        }
                    }
                }
                if (sinkNone) {
                    keep = false;
                }
                if (slot.sync) {
                    PaceStream(slot, context, FlushSlot);
                }
                if (keep) {
                    WriteOutput(slot.output, slot.senderId, packet, kPacketSize, slot.staging, slot.stagingSize,
                                slot.stagingFill, output.writeFailed);
                    NoteWriteFailure(output);
                }
                if (plugins != nullptr) {
                    OfferPacketToPlugins(plugins, packet);
                }

                // ---- Report ----
                int64_t position = 0;
                if (fileSource) {
                    position = PacketPosition(reader, packet);
                    texts.positionValue = position;
                }
                if (const BroadcastKey now = MakeBroadcastKey(context); !(now == totKey)) {
                    texts.tot = TotText(context);
                    totKey = now;
                }
                const bool dropLine = drop && RunSettings.drop;
                const bool progressLine = !drop && ProgressShown();
                if (dropLine || progressLine) {
                    if (fileSource) {
                        FormatPercent(percentText, position, fileSize);
                        FormatPosition(positionText, position);
                    }
                    if (const ClockKey now = MakeClockKey(context); !pcrKnown || !(now == pcrKey)) {
                        texts.pcr = PcrText(context);
                        pcrKey = now;
                        pcrKnown = true;
                    }
                    if (dropLine) {
                        texts.percent.assign(percentText);
                        texts.position.assign(positionText);
                        PrintDropLine(pid, entry->dropCount, texts.pcr.c_str(), texts.tot.c_str(), positionText);
                        job->dropEvents.fetch_add(1, std::memory_order_relaxed);
                    } else {
                        BuildProgressLine(line, percentText, texts.pcr.c_str(), texts.tot.c_str(), positionText);
                        WriteProgressLine(line);
                    }
                }
            }
            if (StopNow() && !FinishOnStop(reader, source)) {
                break;
            }
        }

        if (sink != SinkKind::None && slot.stagingFill > 0) {
            FlushSlot(slot);
        }
        if (output.writeFailed) {
            slot.sinkFailed = true;
        }
        currentOutput = nullptr;
        if (tuner.tuner != nullptr && tuner.started) {
            StopTuner(*tuner.tuner);
            tuner.started = false;
        }
    }

    // ---- End of the stream ----
    if (slot.output != platform::kInvalidFile) {
        platform::CloseFile(slot.output);
        slot.output = platform::kInvalidFile;
    }
    if (slot.input != platform::kInvalidFile) {
        platform::CloseFile(slot.input);
        slot.input = platform::kInvalidFile;
    }
    if (sink == SinkKind::Sender) {
        StopSender(slot.senderId);
        if (slot.senderId != -1) {
            SenderUninitialize(slot.senderId);
        }
    }
    if (tuner.tuner != nullptr && tuner.started) {
        StopTuner(*tuner.tuner);
        tuner.started = false;
    }
    slot.staging = nullptr;
    slot.stagingSize = 0;
    slot.stagingFill = 0;
    return 1;
}
