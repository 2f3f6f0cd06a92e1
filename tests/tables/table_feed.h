#pragma once
// Feeding built packets through the packet decoder and a table parser.
#include <functional>
#include <string>
#include <vector>

#include "tables/stream_context.h"
#include "tests/support/stream_builder.h"

namespace tabletest {

using tsb::Bytes;

inline std::vector<Bytes> SplitPackets(const Bytes& stream) {
    std::vector<Bytes> packets;
    for (std::size_t at = 0; at + 188 <= stream.size(); at += 188)
        packets.emplace_back(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + 188));
    return packets;
}

using Parser = std::function<bool(const uint8_t*, StreamContext&, PidEntry&)>;

// Decodes each packet and hands it to the parser; the parser results in order.
inline std::vector<bool> FeedAll(StreamContext& context, const Bytes& stream, const Parser& parser) {
    std::vector<bool> results;
    for (const Bytes& packet : SplitPackets(stream)) {
        PidEntry* entry = DecodePacket(packet.data(), context);
        if (entry == nullptr) {
            results.push_back(false);
            continue;
        }
        results.push_back(parser(packet.data(), context, *entry));
    }
    return results;
}

inline std::string SlotText(const AribDecoder& slot) {
    return slot.text.Text();
}

inline std::string Cp932(const char* text) {
    const Bytes bytes = tsb::TextBytes(text);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace tabletest
