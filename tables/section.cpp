// Section reassembly across packets and the MPEG-2 CRC-32.
#include <array>

#include "common/limits.h"
#include "tables/stream_context.h"

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x04C11DB7u && kCrcTable[255] == 0xB1F740B4u);

// Where the table_id of a section begins in its start packet. A start packet
// with an adaptation field has its header length on the pointer_field (the
// field follows the adaptation field), so the section begins one byte later;
// without an adaptation field the header length already counts it.
int StartPacketSectionOffset(const PidEntry& entry) {
    const int offset = entry.unitStartOffset;
    return (entry.adaptationFieldControl & 2) ? offset + 1 : offset;
}

SectionOutcome Reject(SectionAssembler& assembler) {
    ResetAssembler(assembler);
    return SectionOutcome::Rejected;
}

uint32_t ReadBe32(const uint8_t* b) {
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
           (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

// Starts gathering the section in a start packet. False when the packet
// holds no section of `tableId`; the assembler is empty either way before.
bool BeginSection(const uint8_t* packet, PidEntry& entry, uint8_t tableId) {
    SectionAssembler& assembler = entry.assembler;
    ResetAssembler(assembler);
    const int offset = StartPacketSectionOffset(entry);
    const bool hasPayload = (entry.adaptationFieldControl & 1) != 0;
    if (!hasPayload || offset + 3 > kPacketSize || packet[offset] != tableId) return false;
    const int sectionLength = ((packet[offset + 1] & 0x0F) << 8) | packet[offset + 2];
    const int total = sectionLength + offset + 3;
    const int chunk = total < kPacketSize ? total : kPacketSize;
    assembler.startOffset = offset;
    assembler.pending = total;
    assembler.buffer.Append(packet, chunk, kSectionSlack);
    assembler.pending -= chunk;
    return true;
}

// Adds a continuation packet's chunk. False when there is no section to
// continue or the packet cannot continue it.
bool ContinueSection(const uint8_t* packet, PidEntry& entry) {
    SectionAssembler& assembler = entry.assembler;
    const bool hasPayload = (entry.adaptationFieldControl & 1) != 0;
    if (entry.dropInPacket || !hasPayload || assembler.pending <= 0) return false;
    // A start packet taken as continuation has a pointer_field at byte 4,
    // whatever its payload looks like.
    const int from = entry.payloadUnitStartIndicator ? 5 : entry.headerLength;
    const int available = kPacketSize - from;
    const int chunk = assembler.pending < available ? assembler.pending : available;
    if (chunk > 0) {
        assembler.buffer.Append(packet + from, chunk, kSectionSlack);
        assembler.pending -= chunk;
    }
    return true;
}

// The buffer must hold exactly what the section_length promised (a skipped
// append leaves it short) and room for a CRC_32 after the table_id and
// section_length, and the CRC_32 must match.
SectionOutcome VerifyCompleteSection(SectionAssembler& assembler) {
    const ByteBuffer& buffer = assembler.buffer;
    const int32_t from = assembler.startOffset;
    if (buffer.data == nullptr || buffer.used <= 3 || buffer.used < from + 3 + 4) return Reject(assembler);
    const int32_t expected = from + 3 + (((buffer.data[from + 1] & 0x0F) << 8) | buffer.data[from + 2]);
    if (buffer.used != expected) return Reject(assembler);
    const uint8_t* crcField = buffer.data + buffer.used - 4;
    if (Crc32Mpeg2(buffer.data + from, crcField) != ReadBe32(crcField)) return Reject(assembler);
    return SectionOutcome::Complete;
}

}  // namespace

uint32_t Crc32Mpeg2(const uint8_t* first, const uint8_t* end) {
    uint32_t crc = 0xFFFFFFFFu;
    for (; first < end; ++first)
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ *first) & 0xFF];
    return crc;
}

void ResetAssembler(SectionAssembler& assembler) {
    assembler.buffer.Free();
    assembler.pending = 0;
    assembler.startOffset = 0;
}

// The assembler keeps the offset of the table_id inside its buffer from the
// start packet on, so this is valid while a section is gathered and after it
// completed, until the parser resets the assembler.
int32_t SectionStart(const PidEntry& entry) {
    return entry.assembler.startOffset;
}

SectionOutcome SectionStep(const uint8_t* packet, PidEntry& entry, uint8_t tableId, bool eitStartRule) {
    SectionAssembler& assembler = entry.assembler;
    // EIT: a start packet without adaptation field first completes the pending
    // section (its chunk begins right after the pointer_field); the section
    // that starts later in it is not read.
    const bool start = entry.payloadUnitStartIndicator != 0 &&
                       !(eitStartRule && assembler.pending > 0 && entry.adaptationFieldControl == 1);
    if (start) {
        if (!BeginSection(packet, entry, tableId)) return SectionOutcome::Rejected;
    } else if (!ContinueSection(packet, entry)) {
        return Reject(assembler);
    }
    if (assembler.pending > 0) return SectionOutcome::InProgress;
    return VerifyCompleteSection(assembler);
}
