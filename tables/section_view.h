#pragma once
// Bounded read access to a completed section in its assembler buffer.
#include <cstdint>
#include <optional>

#include "tables/stream_context.h"

namespace tables_detail {

// The section from its table_id to the end of its CRC_32. Offsets are from
// the table_id; `body` is where the CRC_32 begins, so [0, body) is what the
// table parsers may read.
struct SectionView {
    const uint8_t* data = nullptr;
    int32_t size = 0;
    int32_t body = 0;

    uint8_t U8(int32_t at) const { return data[at]; }
    uint16_t U16(int32_t at) const { return static_cast<uint16_t>((data[at] << 8) | data[at + 1]); }
    // Whether [at, at + n) lies before the CRC_32.
    bool Has(int32_t at, int32_t n) const { return at >= 0 && n >= 0 && at <= body - n; }
    int32_t SectionLength() const { return ((data[1] & 0x0F) << 8) | data[2]; }
};

// Valid after SectionStep reported Complete (the buffer then holds the
// whole section, CRC checked, and at least table_id, length and CRC_32).
inline SectionView CompletedSection(const PidEntry& entry) {
    const ByteBuffer& buffer = entry.assembler.buffer;
    const int32_t start = SectionStart(entry);
    SectionView view;
    view.data = buffer.data + start;
    view.size = buffer.used - start;
    view.body = view.size - 4;
    return view;
}

// Runs the section step for one packet of a table parser. Gives the
// completed section when it holds at least `header` bytes before its CRC_32;
// otherwise nothing, with `consumed` set to what the parser reports for the
// packet (true while a section is in progress). A complete section too short
// for its fixed header is dropped.
inline std::optional<SectionView> GatherSection(const uint8_t* packet, PidEntry& entry, uint8_t tableId, int32_t header,
                                                bool& consumed, bool eitStartRule = false) {
    switch (SectionStep(packet, entry, tableId, eitStartRule)) {
        case SectionOutcome::InProgress:
            consumed = true;
            return std::nullopt;
        case SectionOutcome::Rejected:
            consumed = false;
            return std::nullopt;
        case SectionOutcome::Complete:
            break;
    }
    const SectionView section = CompletedSection(entry);
    if (!section.Has(0, header)) {
        ResetAssembler(entry.assembler);
        consumed = false;
        return std::nullopt;
    }
    return section;
}

}  // namespace tables_detail
