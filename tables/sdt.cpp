// Service description table of the actual transport stream: service ids,
// provider and service names of up to six services.
#include <string>
#include <vector>

#include "tables/section_view.h"
#include "tables/si_text.h"
#include "tables/stream_context.h"

using tables_detail::DecodeIntoSlot;
using tables_detail::GatherSection;
using tables_detail::SectionView;

namespace {

constexpr int kServiceSlots = 6;

// service_descriptor: service_type, provider name, service name. The name
// lengths are followed as they stand, even past a descriptor_length that is
// too short for them; a name that would reach into the CRC_32 is not taken.
void ReadServiceDescriptor(const SectionView& section, int32_t at, int32_t end, AribDecoder* slots) {
    std::string text;
    int32_t lengthAt = at + 3;
    for (int name = 0; name < 2; ++name) {
        if (lengthAt >= end) return;
        const int32_t length = section.U8(lengthAt);
        const int32_t textAt = lengthAt + 1;
        if (textAt + length > end) return;
        if (length != 0 && slots != nullptr) DecodeIntoSlot(section.data + textAt, length, slots[name], text);
        lengthAt = textAt + length;
    }
}

}  // namespace

bool ParseSdt(const uint8_t* packet, StreamContext& context, PidEntry& entry) {
    if (entry.pid != 0x0011) return false;
    bool consumed = false;
    const std::optional<SectionView> gathered = GatherSection(packet, entry, 0x42, 11, consumed);
    if (!gathered) return consumed;
    const SectionView& section = *gathered;
    ServiceTable& table = context.services;
    context.transportStreamId = section.U16(3);
    table.count = 0;
    int32_t at = 11;
    // Every read below stays before the CRC_32 (section.body), whatever the
    // loop lengths claim.
    while (section.Has(at, 5)) {
        // Services past the sixth are stepped over and not counted.
        const bool stored = table.count < kServiceSlots;
        if (stored) table.ids[table.count] = section.U16(at);
        int32_t loopLength = section.U16(at + 3) & 0x0FFF;
        at += 5;
        // A signed loop length: a descriptor that overruns the loop ends it
        // instead of wrapping around and reading the next service as one.
        while (loopLength > 0 && section.Has(at, 2)) {
            const uint8_t tag = section.U8(at);
            const int32_t length = section.U8(at + 1);
            if (tag == 0x48 && length >= 3)
                ReadServiceDescriptor(section, at, section.body, stored ? table.names[table.count] : nullptr);
            at += length + 2;
            loopLength -= length + 2;
        }
        if (stored) ++table.count;
    }
    ResetAssembler(entry.assembler);
    return true;
}

std::vector<ServiceLine> ChangedServiceLines(const StreamContext& context) {
    const ServiceTable& table = context.services;
    std::vector<ServiceLine> lines;
    const int count = table.count < kServiceSlots ? table.count : kServiceSlots;
    for (int j = 0; j < count; ++j) {
        const ByteBuffer& provider = table.names[j][0].text;
        const ByteBuffer& service = table.names[j][1].text;
        if (!provider.changed && !service.changed) continue;
        lines.push_back(ServiceLine{table.ids[j], provider.Text(), service.Text()});
    }
    return lines;
}
