// Arbitrary packets on a registered caption PID through the caption path.
// The input is cut into 188-byte packets; the sync byte and PID are forced
// so that every packet reaches ProcessCaptionPacket, and the last byte of
// each packet's slot decides whether it carries a continuity drop.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "caption/caption.h"
#include "tables/stream_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    constexpr uint16_t kPid = 0x0130;
    constexpr std::size_t kSlot = 189;
    auto context = std::make_unique<StreamContext>();
    auto caption = std::make_unique<CaptionStream>();
    caption->pid = kPid;
    caption->decoder.profile = size > 0 && (data[0] & 0x80) != 0 ? 1 : 0;
    ResetDecoder(caption->decoder);
    PidEntry entry;
    entry.pid = kPid;
    for (std::size_t at = 0; at + kSlot <= size; at += kSlot) {
        uint8_t packet[188];
        std::memcpy(packet, data + at, sizeof packet);
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((packet[1] & 0x40) | (kPid >> 8));
        packet[2] = kPid & 0xFF;
        const bool pusi = (packet[1] & 0x40) != 0;
        const uint8_t control = (packet[3] >> 4) & 3;
        // What the packet decoding leaves for the caption step.
        entry.headerValid = 1;
        entry.payloadUnitStartIndicator = pusi ? 1 : 0;
        entry.adaptationFieldControl = control;
        int length = (pusi || (control & 2) != 0) ? 5 : 4;
        if ((control & 2) != 0) length += packet[4];
        if (pusi && control == 1 && packet[4] == 0 && packet[5] == 0 && packet[6] == 1) length = 4;
        entry.headerLength = static_cast<uint8_t>(length);
        entry.dropInPacket = (data[at + 188] & 1) != 0 ? 1 : 0;
        ProcessCaptionPacket(packet, *caption, *context, entry);
        if (entry.assembler.pending < 0) __builtin_trap();
    }
    return 0;
}
