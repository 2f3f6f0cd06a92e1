// Continuity counter rewriting. -rwcntdrop makes chosen PIDs look as if a
// packet had been lost at chosen PCR moments; -rwcntundrop renumbers the
// counters of one PID (or of the caption PIDs) so that their drops vanish
// from the output. Both work on the packet inside the block buffer.
#include <string>
#include <string_view>

#include "common/text.h"
#include "engine/job_options.h"
#include "engine/stream_job.h"
#include "report/report.h"
#include "report/reporter.h"

namespace {

void SetCounter(uint8_t* packet, PidEntry& entry, uint8_t counter) {
    packet[3] = static_cast<uint8_t>((packet[3] & 0xF0) | (counter & 0x0F));
    entry.lastCounter = counter & 0x0F;
}

// The line ends in "\r" like a progress line: the next progress line
// overwrites it, so the console line stays open afterwards.
void PrintRewriteLine(Reporter& reporter, const char* label, const PidEntry& entry, const StreamContext& context,
                      const ReportTexts& texts) {
    reporter.EndProgressLine();
    const StreamClock& pcr = context.pcr;
    const DateTime& t = pcr.currentTime;
    reporter.PrintMessage(static_cast<int32_t>(texts.tot.size()) + 260,
                          "－ %s PID 0x%04X PCR %d:%02d:%02d.%03d 0x%09llx %s%s+0x%llX        \r", label, entry.pid,
                          t.hour, t.minute, t.second, t.millisecond,
                          static_cast<unsigned long long>(pcr.currentElapsed), texts.tot.c_str(),
                          texts.tot.empty() ? "" : " ", static_cast<long long>(texts.positionValue));
    reporter.MarkConsoleLineClosed(false);
}

struct DropEntry {
    uint16_t pid = 0;
    int64_t seconds = -1;                  // -1: no ":" or no PID, the entry never fires
    std::size_t next = std::string::npos;  // cursor behind the entry's separator
};

DropEntry ReadDropEntry(const std::string& list, std::size_t cursor) {
    DropEntry result;
    const std::size_t separator = list.find_first_of(kDropListSeparators, cursor);
    const std::size_t end = separator == std::string::npos ? list.size() : separator;
    result.next = separator == std::string::npos ? std::string::npos : separator + 1;
    // Parse copies bounded by the entry so a number never runs into the next.
    const std::string entry = list.substr(cursor, end - cursor);
    const std::size_t colon = entry.find(':');
    if (!ParsePidText(entry.substr(0, colon), result.pid)) return result;
    if (colon != std::string::npos) result.seconds = ParseDecimal(entry.c_str() + colon + 1);
    return result;
}

}  // namespace

void ForceDrop(Reporter& reporter, const std::optional<std::string>& dropList, std::size_t& dropCursor, uint8_t* packet,
               PidEntry& entry, StreamContext& context, const ReportTexts& texts, bool& drop) {
    if (!dropList) return;
    const std::string& list = *dropList;
    const std::size_t cursor = dropCursor;
    if (cursor == std::string::npos || cursor >= list.size()) return;

    const DropEntry wanted = ReadDropEntry(list, cursor);
    // A negative time never fires and holds back every later entry.
    if (wanted.seconds < 0) return;
    if (wanted.seconds > context.pcr.currentSeconds) return;
    if (wanted.pid != entry.pid) return;

    // Repeat the preceding counter: the next packet of the PID then shows a
    // gap of one, which is what a lost packet looks like downstream.
    SetCounter(packet, entry, entry.previousCounter);
    entry.dropInPacket = 1;
    drop = true;
    PrintRewriteLine(reporter, "REWRITECNTDROP", entry, context, texts);
    dropCursor = wanted.next;
}

void HideDrop(Reporter& reporter, uint32_t setting, uint8_t* packet, PidEntry& entry, const StreamContext& context,
              bool captionPid, const ReportTexts& texts, bool& drop) {
    const uint16_t pid = static_cast<uint16_t>(setting & 0xFFFF);
    const bool applies = ((setting & kUndropCaption) && captionPid) || (pid != 0 && pid == entry.pid);
    if (!applies) return;

    SetCounter(packet, entry, static_cast<uint8_t>((entry.previousCounter + 1) & 0x0F));
    entry.dropInPacket = 0;
    drop = false;
    PrintRewriteLine(reporter, "REWRITECNTUNDROP", entry, context, texts);
}
