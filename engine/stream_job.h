#pragma once
// The stream engine: the worker thread that carries one stream from its
// source to its sink, and the per-packet checks, rewrites and clocks.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/job_options.h"
#include "engine/table_lines.h"
#include "platform/platform.h"
#include "tables/clock.h"
#include "tables/stream_context.h"

struct PluginEntry;
class Reporter;

constexpr int32_t kStagingSize = 256 * kPacketSize;  // 48128
#if INTPTR_MAX == INT64_MAX
constexpr uint32_t kDefaultReadBuffer = 104857600u;  // 100 MiB
#else
constexpr uint32_t kDefaultReadBuffer = 20971520u;  // 20 MiB
#endif

// Why a source gave the job nothing to check.
enum class SourceFailure {
    None,
    Unreadable,       // could not be opened or read
    OffsetPastEnd,    // the start offset lies at or beyond the end
    PipeNeverOpened,  // no writer came to the named pipe
    TunerNotOpened,   // the driver did not load or the tuner did not open
};

// Per-PID facts for the job's report, of every packet with a sync byte,
// error-flagged ones included. Gathered only when a report is asked for.
struct PidTally {
    int64_t packets = 0;
    int64_t scrambled = 0;        // transport_scrambling_control not 00
    int64_t transportErrors = 0;  // transport_error_indicator set
};

struct StreamTally {
    std::vector<PidTally> byPid = std::vector<PidTally>(0x2000);
    std::vector<uint16_t> order;  // the PIDs in order of first appearance
    int64_t packetsWritten = 0;
    int64_t captionTexts = 0;  // texts -capstr shows
    int32_t unitSize = 0;  // 188 or 192; 0 before the first packet
};

struct StreamSlot {
    std::string inputPath;  // the start offset is cut off once the worker has read it
    std::string outputPath;
    StreamContextList contexts;
    StreamContext* context = nullptr;
    bool sinkFailed = false;  // the output could not be created or written
    SourceFailure sourceFailure = SourceFailure::None;
    bool stopped = false;   // a stop request ended the job before its source did
    int64_t bytesRead = 0;  // from the source, start offset not included
    // Null unless the job's report is asked for.
    std::unique_ptr<StreamTally> tally;
};

struct StreamJob {
    StreamSlot slot;
    JobOptions options;
    // Into options.rwcntdrop (npos: used up). The list runs through the
    // whole run, so the caller hands the cursor on from job to job.
    std::size_t dropCursor = std::string::npos;
    PluginEntry* plugins = nullptr;  // head of the plug-in list, null when none
    Reporter* reporter = nullptr;    // where the job's messages and progress go
    std::atomic<uint32_t> dropEvents{0};
};

// Counts a packet (any packet with a sync byte, error-flagged ones too) in
// the report's tally. Inline: with a report it runs for every packet.
inline void TallyPacket(StreamTally& tally, const uint8_t* packet) {
    const unsigned pid = ((packet[1] & 0x1Fu) << 8) | packet[2];
    PidTally& counts = tally.byPid[pid];
    if (counts.packets++ == 0) [[unlikely]] {
        tally.order.push_back(static_cast<uint16_t>(pid));
    }
    // Most packets are neither scrambled nor flagged: one test for both.
    if (((packet[1] & 0x80) | (packet[3] & 0xC0)) != 0) [[unlikely]] {
        counts.scrambled += (packet[3] >> 6) != 0 ? 1 : 0;
        counts.transportErrors += packet[1] >> 7;
    }
}

// Worker thread entry: carries the job's stream from its source to its sink.
// 1 when served, 0 when there was no job or no context.
uint32_t StreamWorker(void* job);

// The read-buffer capacity for a -bufsize value.
uint32_t ReadBufferCapacity(uint32_t bufsize);

// ---- Continuity --------------------------------------------------------------
// Counts the packet of a checked PID and reports a discontinuity: every packet
// must carry the previous continuity_counter plus one, modulo 16. Inline: it
// runs for every packet.
inline bool CountContinuity(PidEntry& entry) {
    const bool seen = entry.noCounterSeen == 0;
    const uint8_t previous = seen ? entry.lastCounter : static_cast<uint8_t>((entry.lastCounter - 1) & 0x0F);
    entry.previousCounter = previous;
    entry.dropInPacket = 0;
    entry.lastCounter = entry.continuityCounter;
    bool drop = false;
    if (seen && entry.continuityCounter != ((previous + 1) & 0x0F)) {
        ++entry.dropCount;
        entry.dropInPacket = 1;
        drop = true;
    }
    ++entry.packetCount;
    entry.noCounterSeen = 0;
    return drop;
}

// The same for a packet of any PID: PCR-only PIDs often repeat or skip
// counters legitimately; they are neither compared nor counted.
inline bool ContinuityCheck(const uint8_t* packet, StreamContext& context, PidEntry& entry) {
    if (packet == nullptr || IsPcrPid(context, entry.pid)) {
        return false;
    }
    return CountContinuity(entry);
}

// ---- Worker pieces shared between the loop and the per-packet steps --------
// Texts of the current report, rebuilt for every packet.
struct ReportTexts {
    std::string percent;
    std::string pcr;
    std::string tot;
    std::string position;
    int64_t positionValue = 0;  // byte offset of the last report (file sources)
};

// "PCR %d:%02d:%02d.%03d" of the reference clock.
std::string PcrText(StreamContext& context);
// "TOT %04d/%02d/%02d %02d:%02d:%02d" of the last broadcast time, or empty.
std::string TotText(const StreamContext& context);
// The wrap-around line after a successful TOT step (with -wraparound).
void PrintWrapAroundLine(Reporter& reporter, StreamContext& context, bool wraparound);

// Pacing (-sync): waits while the stream runs ahead of real time; hands the
// staged packets over first when there are any, and pushes out the lines
// printed so far.
void PaceStream(StreamContext& context, Reporter& reporter, bool staged, const std::function<void()>& flush);

// Patch-time report (-patchtime).
struct PatchTimeState {
    uint64_t segmentStart = 0;
    uint64_t streamTotal = 0;
    bool firstReport = true;
    bool firstPcr = true;
    std::string path;  // empty: console lines only
    // The file as it was after its deletion: each line must go to the file
    // created then, never to whatever is later put under its name.
    platform::FileIdentity identity;
    bool replaced = false;  // its name came to lead elsewhere: no more lines
};
// The ".patchtime.txt" path beside a file source; empty when it cannot be
// formed.
std::string PatchTimePath(const char* inputPath);
// Prepares the ".patchtime.txt" path of a file source and deletes that file.
void PreparePatchTime(PatchTimeState& state, const char* inputPath, bool fileSource);
// For a packet whose PCR clock advanced.
void PatchTimeStep(Reporter& reporter, PatchTimeState& state, StreamContext& context, int32_t seconds);

// Continuity counter rewriting. `packet` is the packet in the block buffer.
// ForceDrop runs while the -rwcntdrop list is not used up; HideDrop only for
// a packet whose drop flag is set. Both show the PCR clock of `context` in
// their rewrite line, so HideDrop takes the context too.
// The drop list and its cursor come from the job; the undrop setting is
// -rwcntundrop's value.
void ForceDrop(Reporter& reporter, const std::optional<std::string>& dropList, std::size_t& dropCursor, uint8_t* packet,
               PidEntry& entry, StreamContext& context, const ReportTexts& texts, bool& drop);
void HideDrop(Reporter& reporter, uint32_t undropSetting, uint8_t* packet, PidEntry& entry,
              const StreamContext& context, bool captionPid, const ReportTexts& texts, bool& drop);

// Time windows (-duration), in 90 kHz ticks of the reference clock.
struct DurationWindow {
    uint64_t start = 0;
    uint64_t end = UINT64_MAX;
};
struct TimeOfDay {
    uint16_t hours = 0;
    uint16_t minutes = 0;
    uint16_t seconds = 0;
    uint16_t milliseconds = 0;
};
TimeOfDay ParseTimeOfDay(const char* text);
// Whether a -duration value is a list of windows ParseTimeOfDay reads
// exactly: entries "T", "T-T", "T-" or "-T" separated by ",", each T being
// seconds ("90", "90.5"), "H:M", or "H:M:S" with an optional ".mmm".
// The empty value (one endless window) counts as a list.
bool IsDurationList(const std::string& text);
uint64_t TimeOfDayTicks(const TimeOfDay& time);
// Reads the window at `cursor` of `text` and moves the cursor (npos: used up).
DurationWindow NextWindow(const std::string& text, std::size_t& cursor);
struct WindowState {
    bool active = false;  // -duration was given
    std::string text;     // the -duration value the cursor moves through
    std::size_t cursor = std::string::npos;
    DurationWindow current;
};
void OpenWindows(WindowState& state, const std::optional<std::string>& duration);
// Whether the packet at the reference clock's position is inside a window.
bool InsideWindow(WindowState& state, StreamContext& context);
// Whether the last window has ended.
bool WindowsEnded(const WindowState& state, StreamContext& context);
