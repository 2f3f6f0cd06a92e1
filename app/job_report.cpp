// What a finished job found, gathered from its stream slot for the report.
#include "app/job_report.h"

#include "engine/stream_job.h"
#include "tables/stream_context.h"

namespace {

constexpr uint16_t kNullPid = 0x1FFF;

bool IsCaptionTag(int16_t tag) {
    return (tag >= 0x30 && tag <= 0x37) || tag == 0x87;
}

bool IsSuperimposeTag(int16_t tag) {
    return (tag >= 0x38 && tag <= 0x3F) || tag == 0x88;
}

const char* ElementaryKind(const ElementaryStream& stream) {
    switch (stream.streamType) {
        case 0x01:
        case 0x02:
        case 0x10:
        case 0x1B:
        case 0x24:
            return "video";
        case 0x03:
        case 0x04:
        case 0x0F:
        case 0x11:
            return "audio";
        case 0x06:
            if (IsCaptionTag(stream.componentTag)) return "caption";
            if (IsSuperimposeTag(stream.componentTag)) return "superimpose";
            return "data";
        case 0x05:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
            return "data";
        default:
            return "other";
    }
}

const char* FixedPidKind(uint16_t pid) {
    switch (pid) {
        case 0x0000:
            return "PAT";
        case 0x0001:
            return "CAT";
        case 0x0010:
            return "NIT";
        case 0x0011:
            return "SDT";
        case 0x0012:
        case 0x0026:
        case 0x0027:
            return "EIT";
        case 0x0014:
            return "TOT";
        case kNullPid:
            return "null";
        default:
            return nullptr;
    }
}

// What the PID is, from its place in the tables and the PMT's entry for it.
std::string PidKind(const StreamContext& context, uint16_t pid) {
    if (const char* fixed = FixedPidKind(pid)) return fixed;
    if (FindProgramByPmtPid(context, pid) != nullptr) return "PMT";
    for (const ElementaryStream& stream : context.streams) {
        if (stream.pid == pid) return ElementaryKind(stream);
    }
    if (IsPcrPid(context, pid)) return "PCR";
    return "other";
}

const StreamContext* CurrentContext(const StreamSlot& slot) {
    if (slot.context != nullptr) return slot.context;
    return slot.contexts.empty() ? nullptr : slot.contexts.front().get();
}

void AddPids(JobReport& report, const StreamSlot& slot, const StreamContext& context) {
    for (const uint16_t number : slot.tally->order) {
        const PidTally& tally = slot.tally->byPid[number];
        PidReport pid;
        pid.pid = number;
        pid.kind = PidKind(context, number);
        pid.packets = tally.packets;
        pid.scrambled = tally.scrambled;
        pid.transportErrors = tally.transportErrors;
        pid.counted = !DropsNotCounted(slot, number);
        if (const PidEntry* entry = context.pids.Find(number)) pid.drops = entry->dropCount;
        (pid.counted ? report.drops : report.dropsNotCounted) += pid.drops;
        report.packets += pid.packets;
        report.pids.push_back(std::move(pid));
    }
}

void AddTables(JobReport& report, const StreamContext& context) {
    const ServiceTable& services = context.services;
    for (uint16_t i = 0; i < services.count && i < 6; ++i) {
        report.services.push_back(ServiceReport{services.ids[i], services.names[i][1].text.Text()});
    }
    for (const EventRecord& event : context.seenEvents) {
        report.events.push_back(
            EventReport{event.serviceId, event.eventId, event.start, event.durationSeconds, event.name});
    }
}

void AddClocks(JobReport& report, const StreamContext& context) {
    report.firstPcr = context.firstPcrBase;
    report.lastPcr = context.lastPcrBase;
    if (Running(context.pcr)) {
        const DateTime& t = context.pcr.currentTime;
        report.pcrElapsedMs = ((int64_t{t.hour} * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
    }
    if (context.broadcast.current > 0) {
        report.firstBroadcastTime = context.broadcast.firstTime;
        report.lastBroadcastTime = context.broadcast.currentTime;
    }
    if (context.wrap.seconds != 0) report.wrapAround = context.wrap.time;
}

}  // namespace

bool DropsNotCounted(const StreamSlot& slot, uint16_t pid) {
    const StreamContext* context = CurrentContext(slot);
    return pid == kNullPid || (context != nullptr && IsPcrPid(*context, pid));
}

JobReport ReportOfJob(const StreamSlot& slot, const std::string& input, const std::string& output) {
    JobReport report;
    report.input = input;
    if (!output.empty()) report.output = output;
    report.bytesRead = slot.bytesRead;
    const StreamContext* context = CurrentContext(slot);
    if (slot.tally == nullptr || context == nullptr) return report;
    report.packetSize = slot.tally->unitSize;
    report.packetsWritten = slot.tally->packetsWritten;
    report.captions = slot.tally->captionTexts;
    AddPids(report, slot, *context);
    AddTables(report, *context);
    AddClocks(report, *context);
    return report;
}
