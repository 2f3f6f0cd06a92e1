#pragma once
// Per-stream analysis records and the packet and table decoders that fill
// them. One StreamContext per stream; one PidEntry per PID seen.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "caption/arib_decoder.h"
#include "caption/caption_stream.h"
#include "common/byte_buffer.h"
#include "platform/date_time.h"
#include "tables/clock.h"

constexpr int kPacketSize = 188;

struct AdaptationField {
    uint8_t length = 0;
    uint8_t discontinuityIndicator = 0;
    uint8_t randomAccessIndicator = 0;
    uint8_t elementaryStreamPriorityIndicator = 0;
    uint8_t pcrFlag = 0;
    uint8_t opcrFlag = 0;
    uint8_t splicingPointFlag = 0;
    uint8_t transportPrivateDataFlag = 0;
    uint8_t adaptationFieldExtensionFlag = 0;
    uint64_t pcrBase = 0;       // 33 bits
    uint16_t pcrExtension = 0;  // 9 bits
    uint64_t opcrBase = 0;
    uint16_t opcrExtension = 0;
    int8_t spliceCountdown = 0;
    uint8_t transportPrivateDataLength = 0;
    uint8_t privateDataOffset = 0;  // offset of the private data inside the adaptation field
    uint8_t adaptationFieldExtensionLength = 0;
    uint8_t ltwFlag = 0;
    uint8_t piecewiseRateFlag = 0;
    uint8_t seamlessSpliceFlag = 0;
    uint8_t ltwValidFlag = 0;
    uint16_t ltwOffset = 0;
    uint32_t piecewiseRate = 0;  // 22 bits
    uint8_t spliceType = 0;      // 4 bits
    uint64_t dtsNextAu = 0;      // 33 bits
};

struct PesHeader {
    uint8_t optionalHeader = 0;  // the optional PES header is present
    int16_t payloadOffset = -1;  // first payload byte, from the PES start; -1 none
    uint32_t packetStartCodePrefix = 0;
    uint8_t streamId = 0;
    uint16_t pesPacketLength = 0;
    uint8_t marker = 0;
    uint8_t pesScramblingControl = 0;
    uint8_t pesPriority = 0;
    uint8_t dataAlignmentIndicator = 0;
    uint8_t copyright = 0;
    uint8_t originalOrCopy = 0;
    uint8_t ptsDtsFlags = 0;
    uint8_t escrFlag = 0;
    uint8_t esRateFlag = 0;
    uint8_t dsmTrickModeFlag = 0;
    uint8_t additionalCopyInfoFlag = 0;
    uint8_t pesCrcFlag = 0;
    uint8_t pesExtensionFlag = 0;
    uint8_t pesHeaderDataLength = 0;
    uint64_t pts = 0;  // 33 bits
    uint64_t dts = 0;  // 33 bits
    uint64_t escrBase = 0;
    uint16_t escrExtension = 0;
    uint32_t esRate = 0;
    uint8_t trickModeControl = 0;
    uint8_t fieldId = 0;
    uint8_t intraSliceRefresh = 0;
    uint8_t frequencyTruncation = 0;
    uint8_t repCntrl = 0;
    uint8_t additionalCopyInfo = 0;
    uint16_t previousPesPacketCrc = 0;
    uint8_t pesPrivateDataFlag = 0;
    uint8_t packHeaderFieldFlag = 0;
    uint8_t programPacketSequenceCounterFlag = 0;
    uint8_t pStdBufferFlag = 0;
    uint8_t pesExtensionFlag2 = 0;
    uint8_t pesPrivateData[16] = {};
    uint8_t packFieldLength = 0;
    uint8_t programPacketSequenceCounter = 0;
    uint8_t mpeg1Mpeg2Identifier = 0;
    uint8_t originalStuffLength = 0;
    uint8_t pStdBufferScale = 0;
    uint16_t pStdBufferSize = 0;
    uint8_t pesExtensionFieldLength = 0;
    uint8_t streamIdExtensionFlag = 0;
};

// A section (or a caption PES) being gathered from the packets of one PID.
// The buffer starts with the header bytes of the packet that began it.
struct SectionAssembler {
    ByteBuffer buffer;
    int32_t pending = 0;      // bytes still missing; 0 idle
    int32_t startOffset = 0;  // unit start offset of the starting packet
};

struct PidEntry {
    uint16_t pid = 0;
    uint16_t pidCopy = 0;
    // Continuity state.
    uint8_t dropInPacket = 0;
    uint8_t noCounterSeen = 1;
    uint8_t previousCounter = 0;
    uint8_t lastCounter = 0;
    int64_t packetCount = 0;
    int64_t dropCount = 0;
    // Decoded packet.
    uint8_t adaptationParsed = 0;
    AdaptationField adaptation;
    uint8_t pesParsed = 0;  // kept from the PID's last start packet
    PesHeader pes;          // kept from the PID's last start packet
    uint8_t unitStartOffset = 0;
    SectionAssembler assembler;
    uint8_t headerValid = 0;
    uint8_t continuityCounter = 0;
    uint8_t transportErrorIndicator = 0;
    uint8_t payloadUnitStartIndicator = 0;
    uint8_t transportPriority = 0;
    uint8_t transportScramblingControl = 0;
    uint8_t adaptationFieldControl = 0;  // bit 0 payload, bit 1 adaptation field
    uint8_t headerLength = 0;
    // The PID is no PCR, PMT or caption PID, as of the context's rolesVersion
    // given here.
    uint64_t rolesVersion = 0;
    bool noRole = false;
};

// PidEntry records in order of first appearance, with a direct index by PID.
class PidTable {
public:
    PidTable();
    PidEntry* Find(uint16_t pid) const { return index_[pid & 0x1FFF]; }
    // Appends a fresh entry at the tail when absent; null when out of memory.
    PidEntry* FindOrCreate(uint16_t pid) {
        PidEntry* found = index_[pid & 0x1FFF];
        return found != nullptr ? found : Create(pid);
    }
    // Unlinks and frees the entry of that PID (with its section buffer).
    void Remove(uint16_t pid);
    const std::vector<std::unique_ptr<PidEntry>>& Entries() const { return list_; }

private:
    PidEntry* Create(uint16_t pid);

    std::vector<std::unique_ptr<PidEntry>> list_;
    PidEntry* index_[0x2000];
};

struct ProgramEntry {
    uint16_t programNumber = 0;
    uint16_t pmtPid = 0;
};

struct ServiceTable {
    uint16_t count = 0;
    uint16_t ids[6] = {};
    AribDecoder names[6][2];  // [service][0 provider, 1 service name]
};

struct EventStore {
    uint8_t shifted = 0;
    int64_t currentStart = 0;
    DateTime previousStartTime;
    DateTime currentStartTime;
    int64_t currentDurationSeconds = 0;
    DateTime previousDuration;
    DateTime currentDuration;
    AribDecoder previousName, previousText;
    AribDecoder currentName, currentText;
    AribDecoder latestName, latestText;
};

// An elementary stream as the PMT lists it; the report tells the PIDs apart
// by these.
struct ElementaryStream {
    uint16_t pid = 0;
    uint8_t streamType = 0;
    int16_t componentTag = -1;  // -1: no stream_identifier_descriptor
};

// A present or following event as an EIT of the actual stream announced it.
struct EventRecord {
    uint16_t serviceId = 0;
    uint16_t eventId = 0;
    std::optional<DateTime> start;
    std::optional<int64_t> durationSeconds;
    std::string name;  // code page 932, as decoded; empty when none
};

struct BroadcastTime {
    uint8_t firstPending = 1;
    int64_t first = 0;
    int64_t previous = 0;
    int64_t current = 0;
    DateTime firstTime;
    DateTime previousTime;
    DateTime currentTime;
};

struct StreamContext {
    uint32_t streamId = 0;
    uint16_t pcrPids[8];
    uint16_t transportStreamId = 0;
    WrapPrediction wrap;
    PidTable pids;
    std::vector<ProgramEntry> programs;
    std::vector<std::unique_ptr<CaptionStream>> captions;
    std::vector<ElementaryStream> streams;  // of every PMT, one entry per PID
    ServiceTable services;
    EventStore events;
    // Every present/following event seen, each once; gathered only when
    // recordEvents is set, for the job's report.
    bool recordEvents = false;
    std::vector<EventRecord> seenEvents;
    BroadcastTime broadcast;
    ClockMarks marks;
    StreamClock pcr;
    StreamClock pts;
    StreamClock dts;
    StreamClock wall;
    // Pacing compares the wall clock with the PTS clock: it is then read at
    // every PTS step, otherwise only at the first.
    bool wallClockPaces = false;
    // The first and the latest PCR of any PID, as carried (90 kHz ticks).
    std::optional<uint64_t> firstPcrBase;
    std::optional<uint64_t> lastPcrBase;
    // Counts the packets whose time stamps went to the clocks: while it
    // stays, so do pcr, pts and dts.
    uint64_t clockSteps = 0;
    // Changes whenever pcrPids, programs or captions may have: a PID's roles
    // looked up before are then looked up again.
    uint64_t rolesVersion = 1;

    StreamContext();
};

using StreamContextList = std::vector<std::unique_ptr<StreamContext>>;

// ---- Records -----------------------------------------------------------------
// Finds the context with that identifier or appends a new one; null when out
// of memory.
StreamContext* FindOrCreateStreamContext(StreamContextList& list, uint32_t streamId);
// These three are asked for every packet: the lists are short.
// The PCR list is filled from the front (RegisterPcrPid), so its first empty
// slot ends it.
inline bool IsPcrPid(const StreamContext& context, uint16_t pid) {
    for (const uint16_t listed : context.pcrPids) {
        if (listed == 0xFFFF) return false;
        if (listed == pid) return true;
    }
    return false;
}
// True when already listed or stored in the first empty slot.
bool RegisterPcrPid(StreamContext& context, uint16_t pid);
// First program whose PMT PID is `pid`; PID 0 never matches.
inline const ProgramEntry* FindProgramByPmtPid(const StreamContext& context, uint16_t pid) {
    if (pid == 0) return nullptr;
    for (const ProgramEntry& program : context.programs) {
        if (program.pmtPid == pid) return &program;
    }
    return nullptr;
}
inline CaptionStream* FindCaptionStream(StreamContext& context, uint16_t pid) {
    if (pid == 0) return nullptr;
    for (const auto& caption : context.captions) {
        if (caption->pid == pid) return caption.get();
    }
    return nullptr;
}

// The preferred clock while it runs, else the next running one in the order
// of the preference, else the preferred one. Inline: the progress line asks
// for it per packet.
inline StreamClock& SelectReferenceClock(StreamContext& context, ClockKind preference) {
    StreamClock* order[3] = {&context.pcr, &context.pts, &context.dts};
    switch (preference) {
        case ClockKind::Pcr:
            break;
        case ClockKind::Pts:
            order[0] = &context.pts;
            order[1] = &context.dts;
            order[2] = &context.pcr;
            break;
        case ClockKind::Dts:
            order[0] = &context.dts;
            order[1] = &context.pts;
            order[2] = &context.pcr;
            break;
    }
    for (StreamClock* clock : order) {
        if (Running(*clock)) return *clock;
    }
    return *order[0];
}

// What a PID is to the packet loop. Looked up for every packet; a PID found
// to have none of them is not looked up again until rolesVersion changes.
struct PidRoles {
    bool pcr = false;
    const ProgramEntry* program = nullptr;  // the PID is this program's PMT PID
    CaptionStream* caption = nullptr;
};
inline PidRoles RolesOf(StreamContext& context, PidEntry& entry) {
    if (entry.noRole && entry.rolesVersion == context.rolesVersion) return PidRoles{};
    const PidRoles roles{IsPcrPid(context, entry.pid), FindProgramByPmtPid(context, entry.pid),
                         FindCaptionStream(context, entry.pid)};
    entry.noRole = !roles.pcr && roles.program == nullptr && roles.caption == nullptr;
    entry.rolesVersion = context.rolesVersion;
    return roles;
}

inline bool RepeatsLastStamps(const StreamContext& context, const PesHeader& pes) {
    constexpr uint64_t kStampMask = (1ull << 33) - 1;
    if (context.wallClockPaces || !context.pts.stamped || (pes.pts & kStampMask) != context.pts.lastStamp) {
        return false;
    }
    return pes.ptsDtsFlags != 3 || (context.dts.stamped && (pes.dts & kStampMask) == context.dts.lastStamp);
}

// Clock step for one decoded packet: PCR, PTS (and wall clock), DTS.
// Returns whether the PCR clock advanced.
inline bool ClockStep(StreamContext& context, const PidEntry& entry) {
    if (!(entry.adaptationParsed && entry.adaptation.pcrFlag)) {
        // Most packets carry no PCR and belong to no PES with a time stamp,
        // or to the PES whose stamps the clocks took last: nothing moves.
        if (!(entry.pesParsed && entry.pes.ptsDtsFlags >= 2)) return false;
        if (RepeatsLastStamps(context, entry.pes)) return false;
    }
    return ClockStepWithStamps(context, entry);
}

// ---- Packets -----------------------------------------------------------------
// Decodes a 188-byte packet into its PidEntry. Null when the packet lacks the
// sync byte or has transport_error_indicator set (the entry is then removed).
inline PidEntry* DecodePacket(const uint8_t* packet, StreamContext& context);
bool DecodeHeader(const uint8_t* packet, PidEntry& entry);

// The flags and the counter of the header's bytes 1 and 3.
inline void DecodeHeaderBits(const uint8_t* packet, PidEntry& entry) {
    entry.payloadUnitStartIndicator = (packet[1] >> 6) & 1;
    entry.transportPriority = (packet[1] >> 5) & 1;
    entry.transportScramblingControl = packet[3] >> 6;
    entry.adaptationFieldControl = (packet[3] >> 4) & 3;
    entry.continuityCounter = packet[3] & 0x0F;
}

// DecodeHeader for most packets, inline: no error, no unit start, no
// adaptation field, and none left from the PID's previous packet to clear.
// False, with nothing changed, for the others.
inline bool DecodePayloadOnlyHeader(const uint8_t* packet, PidEntry& entry) {
    if ((packet[1] & 0xC0) != 0 || (packet[3] & 0x20) != 0 || entry.adaptation.length != 0) return false;
    DecodeHeaderBits(packet, entry);
    entry.transportErrorIndicator = 0;
    entry.adaptationParsed = 0;
    entry.headerLength = 4;
    entry.headerValid = 1;
    return true;
}

// DecodeHeader, and the entry removed when it fails.
PidEntry* DecodeHeaderOrForget(const uint8_t* packet, StreamContext& context, PidEntry& entry);

inline PidEntry* DecodePacket(const uint8_t* packet, StreamContext& context) {
    if (packet[0] != 0x47) return nullptr;
    const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    PidEntry* entry = context.pids.FindOrCreate(pid);
    if (entry == nullptr) return nullptr;
    if (DecodePayloadOnlyHeader(packet, *entry)) return entry;
    return DecodeHeaderOrForget(packet, context, *entry);
}

// ---- Sections ----------------------------------------------------------------
uint32_t Crc32Mpeg2(const uint8_t* first, const uint8_t* end);
enum class SectionOutcome { InProgress, Complete, Rejected };
// Gathers the section of `tableId` on the entry's PID. With eitStartRule, a
// start packet without adaptation field continues a pending section.
SectionOutcome SectionStep(const uint8_t* packet, PidEntry& entry, uint8_t tableId, bool eitStartRule = false);
void ResetAssembler(SectionAssembler& assembler);
// Offset in the assembled buffer where the section's table_id lies.
int32_t SectionStart(const PidEntry& entry);

// ---- Tables ------------------------------------------------------------------
// Each returns whether it consumed the packet.
bool ParsePat(const uint8_t* packet, StreamContext& context, PidEntry& entry);
bool ParsePmt(const uint8_t* packet, const ProgramEntry& program, StreamContext& context, PidEntry& entry);
bool ParseTotTdt(const uint8_t* packet, StreamContext& context, PidEntry& entry);
bool ParseSdt(const uint8_t* packet, StreamContext& context, PidEntry& entry);
bool ParseEit(const uint8_t* packet, StreamContext& context, PidEntry& entry);

// What the service and event tables found, for the lines shown after a
// consumed packet.
struct ServiceLine {
    uint16_t serviceId = 0;
    std::string provider;  // empty when none
    std::string service;   // empty when none
};
// The stored services whose provider or service name changed with the last
// table, in table order.
std::vector<ServiceLine> ChangedServiceLines(const StreamContext& context);
struct EventLines {
    DateTime start;
    DateTime duration;
    std::optional<std::string> name;  // with the start and duration lines
    std::optional<std::string> text;
};
// After a consumed EIT that moved to the next event: the previous and the
// current event, each with the parts whose latest text changed; clears those
// changes. Empty when the event did not move.
std::vector<EventLines> TakeEventLines(StreamContext& context);

// ---- Captions ----------------------------------------------------------------
// Gathers the caption PES of this packet's PID and, once complete, decodes
// its statement text into the caption's decoder. True when a data group of a
// completed PES was valid (also while a PES is being gathered).
bool ProcessCaptionPacket(const uint8_t* packet, CaptionStream& caption, StreamContext& context, PidEntry& entry);

// ---- Broadcast time ------------------------------------------------------------
bool DecodeBcdTime(const uint8_t* bytes, DateTime& duration);
bool DecodeMjdDateTime(const uint8_t* bytes, DateTime& dateTime);
// The date-time as local time in seconds since 1970-01-01 UTC.
int64_t LocalDateTimeToSeconds(const DateTime& local);
DateTime SecondsToLocalDateTime(int64_t seconds);
