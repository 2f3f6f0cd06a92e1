// Program association and program map tables: the PMT PIDs, the PCR PIDs and
// the caption streams of the transport stream.
#include <new>

#include "tables/section_view.h"
#include "tables/stream_context.h"

using tables_detail::GatherSection;
using tables_detail::SectionView;

namespace {

constexpr uint16_t kOneSegPmtPid = 0x1FC8;  // the partial-reception (one-segment) PMT

bool IsCaptionComponentTag(uint8_t tag) {
    return tag == 0x30 || tag == 0x38 || tag == 0x87 || tag == 0x88;
}

void RegisterCaptionStream(StreamContext& context, uint16_t pid, uint16_t pmtPid) {
    if (FindCaptionStream(context, pid) != nullptr) return;  // kept as it is
    auto caption = std::unique_ptr<CaptionStream>(new (std::nothrow) CaptionStream());
    if (!caption) return;
    caption->pid = pid;
    caption->decoder.profile = pmtPid == kOneSegPmtPid ? 1 : 0;
    ResetDecoder(caption->decoder);
    try {
        context.captions.push_back(std::move(caption));
        ++context.rolesVersion;
    } catch (const std::bad_alloc&) {}
}

void RecordElementaryStream(StreamContext& context, const ElementaryStream& stream) {
    for (ElementaryStream& known : context.streams) {
        if (known.pid == stream.pid) {
            known = stream;
            return;
        }
    }
    try {
        context.streams.push_back(stream);
    } catch (const std::bad_alloc&) {}
}

}  // namespace

bool ParsePat(const uint8_t* packet, StreamContext& context, PidEntry& entry) {
    if (entry.pid != 0x0000) return false;
    bool consumed = false;
    const std::optional<SectionView> gathered = GatherSection(packet, entry, 0x00, 8, consumed);
    if (!gathered) return consumed;
    const SectionView& section = *gathered;
    context.transportStreamId = section.U16(3);
    context.programs.clear();
    ++context.rolesVersion;
    // Four-byte entries from byte 8 up to the CRC_32; a shorter rest is ignored.
    for (int32_t at = 8; section.Has(at, 4); at += 4) {
        const uint16_t programNumber = section.U16(at);
        if (programNumber == 0xFFFF) break;
        const uint16_t pid = section.U16(at + 2) & 0x1FFF;
        ProgramEntry* program = nullptr;
        for (ProgramEntry& existing : context.programs) {
            if (existing.programNumber == programNumber) {
                program = &existing;
                break;
            }
        }
        if (program == nullptr) {
            try {
                program = &context.programs.emplace_back();
            } catch (const std::bad_alloc&) {
                continue;
            }
        }
        program->programNumber = programNumber;
        program->pmtPid = pid;
    }
    ResetAssembler(entry.assembler);
    return true;
}

bool ParsePmt(const uint8_t* packet, const ProgramEntry& /*program*/, StreamContext& context, PidEntry& entry) {
    bool consumed = false;
    const std::optional<SectionView> gathered = GatherSection(packet, entry, 0x02, 12, consumed);
    if (!gathered) return consumed;
    const SectionView& section = *gathered;
    RegisterPcrPid(context, section.U16(8) & 0x1FFF);
    const int32_t programInfoLength = section.U16(10) & 0x0FFF;
    int32_t at = 12 + programInfoLength;
    // An entry header cut by the CRC_32 ends the loop: its fields would be
    // read from the CRC itself.
    while (section.Has(at, 5)) {
        const uint8_t streamType = section.U8(at);
        const uint16_t elementaryPid = section.U16(at + 1) & 0x1FFF;
        const int32_t esInfoLength = section.U16(at + 3) & 0x0FFF;
        const int32_t entryEnd = at + 5 + esInfoLength;
        ElementaryStream stream{elementaryPid, streamType, -1};
        for (int32_t d = at + 5; d < entryEnd && section.Has(d, 2);) {
            const uint8_t tag = section.U8(d);
            const uint8_t length = section.U8(d + 1);
            if (tag == 0x52 && length != 0 && section.Has(d + 2, 1)) stream.componentTag = section.U8(d + 2);
            if (elementaryPid != 0 && streamType == 0x06 && length != 0 && tag == 0x52 && section.Has(d + 2, 1) &&
                IsCaptionComponentTag(section.U8(d + 2))) {
                RegisterCaptionStream(context, elementaryPid, entry.pid);
            }
            d += length + 2;
        }
        RecordElementaryStream(context, stream);
        at = entryEnd;
    }
    ResetAssembler(entry.assembler);
    return true;
}
