// libFuzzer target: arbitrary bytes as a run of 188-byte packets through the
// packet decoder, the section reassembly and every table parser.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/job_report.h"
#include "engine/stream_job.h"
#include "report/reporter.h"
#include "tables/stream_context.h"

namespace {

// The printed lines are formatted and then dropped: console and log off.
class DiscardOutput : public ReportOutput {
public:
    bool TakesUtf8() override { return false; }
    void WriteConsole(const char*, std::size_t) override {}
    void FlushConsole() override {}
    void SelectStandardError(bool) override {}
    void AppendLog(const char*, const char*, std::size_t) override {}
    uint32_t TickMs() override { return 0; }
};

Reporter& Quiet() {
    static DiscardOutput output;
    static Reporter reporter(output);
    return reporter;
}

// The first bytes of the input pick the PIDs the packets are steered to, so
// the table parsers see sections spread over several packets of one PID.
constexpr uint16_t kPids[] = {0x0000, 0x0011, 0x0012, 0x0014, 0x0026, 0x01F0, 0x1FC8, 0x0100};

// The report turns whatever the tables decoded into a JSON document: every
// byte sequence must come out as valid UTF-8 without a crash.
void FormatTables(const StreamContext& context) {
    JobReport job;
    for (uint16_t i = 0; i < context.services.count && i < 6; ++i) {
        job.services.push_back(ServiceReport{context.services.ids[i], context.services.names[i][1].text.Text()});
    }
    for (const EventRecord& event : context.seenEvents) {
        job.events.push_back(EventReport{event.serviceId, event.eventId, event.start, event.durationSeconds, event.name});
    }
    RunReport report;
    report.jobs.push_back(std::move(job));
    FormatRunReport(report);
}

// Random bytes rarely pass a CRC_32. In this mode the input is one section
// body of a chosen table: the table_id and section_length are set, a good
// CRC_32 is appended and the section is carried in packets of its PID, so
// the parsers behind the CRC check see hostile lengths and loops.
void FeedSection(const uint8_t* data, size_t size) {
    struct Table {
        uint16_t pid;
        uint8_t tableId;
    };
    constexpr Table kTables[] = {{0x0000, 0x00}, {0x01F0, 0x02}, {0x0011, 0x42}, {0x0012, 0x4E}, {0x1FC8, 0x02}};
    const Table table = kTables[data[0] % 5];
    data += 1;
    size -= 1;
    if (size > 1000) size = 1000;
    uint8_t section[1024 + 8];
    section[0] = table.tableId;
    const size_t length = size + 4;
    section[1] = static_cast<uint8_t>(0xB0 | ((length >> 8) & 0x0F));
    section[2] = static_cast<uint8_t>(length);
    std::memcpy(section + 3, data, size);
    const uint32_t crc = Crc32Mpeg2(section, section + 3 + size);
    for (int i = 0; i < 4; ++i)
        section[3 + size + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    const size_t total = 3 + size + 4;

    StreamContext context;
    context.recordEvents = true;
    ProgramEntry program;
    program.pmtPid = table.pid;
    context.programs.push_back(program);
    uint8_t packet[kPacketSize];
    uint8_t counter = 0;
    for (size_t at = 0; at < total || at == 0;) {
        std::memset(packet, 0xFF, sizeof(packet));
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((at == 0 ? 0x40 : 0x00) | (table.pid >> 8));
        packet[2] = static_cast<uint8_t>(table.pid);
        packet[3] = static_cast<uint8_t>(0x10 | (counter++ & 0x0F));
        size_t room = kPacketSize - 4;
        uint8_t* out = packet + 4;
        if (at == 0) {
            *out++ = 0x00;  // pointer_field
            --room;
        }
        const size_t n = total - at < room ? total - at : room;
        std::memcpy(out, section + at, n);
        at += n;
        PidEntry* entry = DecodePacket(packet, context);
        if (entry == nullptr) return;
        switch (table.tableId) {
            case 0x00:
                ParsePat(packet, context, *entry);
                break;
            case 0x02:
                ParsePmt(packet, program, context, *entry);
                break;
            case 0x42:
                ParseSdt(packet, context, *entry) && PrintServiceLines(Quiet(), context);
                break;
            default:
                ParseEit(packet, context, *entry) && PrintEventLines(Quiet(), context);
                break;
        }
        if (at >= total) break;
    }
    FormatTables(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 2 && data[0] == 0xA5) {
        FeedSection(data + 1, size - 1);
        return 0;
    }
    StreamContext context;
    context.recordEvents = true;
    uint8_t packet[kPacketSize];
    for (size_t at = 0; at < size; at += kPacketSize - 1) {
        const size_t n = size - at < kPacketSize - 1 ? size - at : kPacketSize - 1;
        // Byte 0 of each chunk chooses the PID; the rest is the packet after
        // the sync byte, padded with stuffing.
        std::memset(packet, 0xFF, sizeof(packet));
        std::memcpy(packet + 1, data + at, n);
        packet[0] = 0x47;
        const uint16_t pid = kPids[data[at] & 7];
        if (!(data[at] & 0x08)) {
            packet[1] = static_cast<uint8_t>((packet[1] & 0xE0) | (pid >> 8));
            packet[2] = static_cast<uint8_t>(pid);
        }
        PidEntry* entry = DecodePacket(packet, context);
        if (entry == nullptr) continue;
        entry->dropInPacket = (data[at] & 0x10) ? 1 : 0;
        ClockStep(context, *entry);
        // The worker's dispatch order.
        if (ParsePat(packet, context, *entry)) continue;
        if (ParseEit(packet, context, *entry)) {
            PrintEventLines(Quiet(), context);
            continue;
        }
        if (ParseSdt(packet, context, *entry)) {
            PrintServiceLines(Quiet(), context);
            continue;
        }
        if (entry->pid == 0x0014) {
            if (ParseTotTdt(packet, context, *entry)) PredictWrap(context);
            continue;
        }
        if (const ProgramEntry* program = FindProgramByPmtPid(context, entry->pid)) {
            const ProgramEntry copy = *program;  // the PAT may rebuild the list later
            ParsePmt(packet, copy, context, *entry);
        }
    }
    FormatTables(context);
    // The same bytes as a -duration value, through the check of the
    // command line.
    IsDurationList(std::string(reinterpret_cast<const char*>(data), size < 64 ? size : 64));
    return 0;
}
