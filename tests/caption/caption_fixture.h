#pragma once
// Builders for caption PES payloads and a feeder that runs packets through
// the caption path the way the worker does.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "caption/caption.h"
#include "tables/stream_context.h"
#include "tests/support/stream_builder.h"

namespace captiontest {

using tsb::Bytes;
using tsb::Concat;

inline tsb::PacketOptions StartOptions() {
    tsb::PacketOptions options;
    options.pusi = true;
    return options;
}

inline tsb::PacketOptions StuffedOptions() {
    tsb::PacketOptions options;
    options.stuffWithAdaptation = true;
    return options;
}

inline void Put24(Bytes& out, std::size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// data_unit: separator 0x1F, parameter, 24-bit size, data.
inline Bytes Unit(uint8_t parameter, const Bytes& data) {
    Bytes out{0x1F, parameter};
    Put24(out, data.size());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

inline Bytes Body(const Bytes& text) {
    return Unit(0x20, text);
}

struct Language {
    uint8_t tag;
    const char* code;
};

// Caption management data with TMD free, the given languages and units.
inline Bytes Management(const std::vector<Language>& languages, const Bytes& units = {}) {
    Bytes out{0x3F, static_cast<uint8_t>(languages.size())};
    for (const Language& language : languages) {
        out.push_back(static_cast<uint8_t>((language.tag << 5) | 0x10 | 0x00));
        out.insert(out.end(), language.code, language.code + 3);
        out.push_back(0x00);
    }
    Put24(out, units.size());
    out.insert(out.end(), units.begin(), units.end());
    return out;
}

// Caption statement data with TMD free.
inline Bytes Statement(const Bytes& units) {
    Bytes out{0x3F};
    Put24(out, units.size());
    out.insert(out.end(), units.begin(), units.end());
    return out;
}

// Data group with its CRC-16 (from the independent bit-by-bit reference).
inline Bytes Group(uint8_t id, const Bytes& data, bool corruptCrc = false) {
    Bytes out{static_cast<uint8_t>(id << 2), 0x00, 0x00, static_cast<uint8_t>(data.size() >> 8),
              static_cast<uint8_t>(data.size())};
    out.insert(out.end(), data.begin(), data.end());
    uint16_t crc = tsb::Crc16(out.data(), out.size());
    if (corruptCrc) crc ^= 0x0100;
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
    return out;
}

// Synchronized PES data: data_identifier, private_stream_id, header length 0.
inline Bytes SyncPayload(const std::vector<Bytes>& groups, uint8_t dataIdentifier = 0x80,
                         uint8_t privateStreamId = 0xFF) {
    Bytes out{dataIdentifier, privateStreamId, 0xF0};
    for (const Bytes& group : groups)
        out.insert(out.end(), group.begin(), group.end());
    return out;
}

inline Bytes CaptionPes(const Bytes& payload) {
    return tsb::MakePes(0xBD, 0x12345678ull, std::nullopt, payload);
}

// The header fields that the packet decoding leaves in the PidEntry before
// the caption step runs.
inline void DescribePacket(const uint8_t* p, PidEntry& entry, bool drop) {
    entry.headerValid = 1;
    entry.payloadUnitStartIndicator = (p[1] >> 6) & 1;
    entry.adaptationFieldControl = (p[3] >> 4) & 3;
    int length = 4;
    if (entry.payloadUnitStartIndicator != 0 || (entry.adaptationFieldControl & 2) != 0) length = 5;
    if ((entry.adaptationFieldControl & 2) != 0) length += p[4];
    if (entry.payloadUnitStartIndicator != 0 && entry.adaptationFieldControl == 1 && p[4] == 0 && p[5] == 0 &&
        p[6] == 1) {
        length = 4;
    }
    entry.headerLength = static_cast<uint8_t>(length);
    entry.dropInPacket = drop ? 1 : 0;
}

struct CaptionRig {
    StreamContext context;
    PidEntry entry;
    CaptionStream caption;
    std::vector<bool> results;  // per packet

    explicit CaptionRig(uint16_t pid = 0x0130, int16_t profile = 0) {
        entry.pid = pid;
        caption.pid = pid;
        caption.decoder.profile = profile;
        ResetDecoder(caption.decoder);
    }

    // Feeds every packet of `stream`; a packet whose index is in `drops`
    // carries a continuity drop. Returns the result of the last packet.
    bool Feed(const Bytes& stream, const std::vector<std::size_t>& drops = {}) {
        bool last = false;
        for (std::size_t i = 0; i + 188 <= stream.size(); i += 188) {
            const std::size_t index = i / 188;
            bool drop = false;
            for (std::size_t d : drops)
                drop = drop || d == index;
            DescribePacket(stream.data() + i, entry, drop);
            last = ProcessCaptionPacket(stream.data() + i, caption, context, entry);
            results.push_back(last);
        }
        return last;
    }

    std::string Text() const { return caption.decoder.text.Text(); }
    bool Changed() const { return caption.decoder.text.changed != 0; }
};

// A file of the caption sample folder beside the sources, or nothing when
// the folder is absent.
inline std::optional<Bytes> ReadSample(const std::string& name) {
    const std::string path = std::string(TRELVAN_SOURCE_DIR "/../shared/samples/caption-es/") + name;
    Bytes bytes = tsb::ReadFileBytes(path);
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

// Splits concatenated synchronized PES payloads (each: data_identifier,
// private_stream_id, header length, one data group). Empty on a malformed
// file.
inline std::vector<Bytes> SplitPayloads(const Bytes& file) {
    std::vector<Bytes> out;
    std::size_t at = 0;
    while (at < file.size()) {
        if (file.size() - at < 3) return {};
        const std::size_t group = at + 3 + (file[at + 2] & 0x0F);
        if (group + 5 > file.size()) return {};
        const std::size_t end = group + 5 + ((std::size_t{file[group + 3]} << 8) | file[group + 4]) + 2;
        if (end > file.size()) return {};
        out.emplace_back(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(end));
        at = end;
    }
    return out;
}

}  // namespace captiontest
