// Caption PES gathering: the packets of a caption PID are collected into one
// PES, which the caption decoder then reads.
#include "caption/caption.h"
#include "common/limits.h"
#include "tables/stream_context.h"

namespace {

uint32_t Read16(const uint8_t* p) {
    return (uint32_t{p[0]} << 8) | p[1];
}

// Bytes before the payload of the packet the entry was decoded from, or -1
// when the adaptation field claims more than the packet holds.
int PayloadOffset(const uint8_t* packet, const PidEntry& entry) {
    if ((entry.adaptationFieldControl & 2) != 0 && packet[4] > kPacketSize - 5) return -1;
    const int offset = entry.headerLength;
    return offset <= kPacketSize ? offset : -1;
}

}  // namespace

bool ProcessCaptionPacket(const uint8_t* packet, CaptionStream& caption, StreamContext& context, PidEntry& entry) {
    (void)context;
    if (packet == nullptr) return false;
    if (entry.headerValid == 0 && !DecodeHeader(packet, entry)) return false;
    SectionAssembler& assembler = entry.assembler;
    const int offset = PayloadOffset(packet, entry);
    const bool hasPayload = (entry.adaptationFieldControl & 1) != 0;

    if (entry.payloadUnitStartIndicator != 0) {
        ResetAssembler(assembler);
        if (offset < 4 || !hasPayload || offset + 6 > kPacketSize) return false;
        const uint8_t* pes = packet + offset;
        if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return false;
        const int32_t total = offset + 6 + static_cast<int32_t>(Read16(pes + 4));
        const int32_t chunk = total < kPacketSize ? total : kPacketSize;
        if (!assembler.buffer.Append(packet, chunk, kSectionSlack)) return false;
        assembler.pending = total - chunk;
        assembler.startOffset = offset;
    } else {
        if (entry.dropInPacket != 0 || !hasPayload || assembler.pending == 0 || offset < 4) {
            ResetAssembler(assembler);
            return false;
        }
        const int32_t room = kPacketSize - offset;
        const int32_t chunk = assembler.pending < room ? assembler.pending : room;
        if (chunk > 0 && !assembler.buffer.Append(packet + offset, chunk, kSectionSlack)) {
            // Out of memory: the PES cannot be completed.
            ResetAssembler(assembler);
            return false;
        }
        assembler.pending -= chunk;
    }
    if (assembler.pending > 0) return true;

    const bool result = ParseCaptionPes(assembler.buffer, assembler.startOffset, caption);
    ResetAssembler(assembler);
    return result;
}
