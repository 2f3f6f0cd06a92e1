#include "caption/caption.h"

#include <array>
#include <cstring>
#include <string>

namespace {

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrc16Table = MakeCrc16Table();

uint32_t Read16(const uint8_t* p) {
    return (uint32_t{p[0]} << 8) | p[1];
}
uint32_t Read24(const uint8_t* p) {
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

// Data units of a management or statement body in [p, end). Returns nothing;
// the decoded statement text goes to the caption's text store.
void ReadDataUnits(const uint8_t* p, const uint8_t* end, CaptionStream& caption) {
    std::string text;
    while (end - p >= 5) {
        const uint8_t parameter = p[1];
        const uint32_t size = Read24(p + 2);
        const uint8_t* data = p + 5;
        if (size > static_cast<uint32_t>(end - data)) return;  // unit runs past its loop
        if (parameter == 0x20 && size != 0) {
            DecodeAribText(data, static_cast<int32_t>(size), caption.decoder, text);
            if (!text.empty()) {
                // A text already waiting to be printed stays flagged even
                // when a later unit of the same PES repeats it.
                ByteBuffer& store = caption.decoder.text;
                const uint8_t pending = store.changed;
                store.AssignText(text.c_str());
                store.changed = static_cast<uint8_t>(store.changed | pending);
            }
        }
        p = data + size;
    }
}

// The data unit loop that follows at p, bounded by the group's data end.
void ReadUnitLoop(const uint8_t* p, const uint8_t* end, const uint8_t* bufferStart, int32_t& loopStart,
                  uint32_t& loopLength, CaptionStream& caption) {
    if (end - p < 3) return;
    loopLength = Read24(p);
    p += 3;
    loopStart = static_cast<int32_t>(p - bufferStart);
    const uint8_t* loopEnd = loopLength < static_cast<uint32_t>(end - p) ? p + loopLength : end;
    ReadDataUnits(p, loopEnd, caption);
}

void ReadManagement(uint8_t groupId, const uint8_t* p, const uint8_t* end, const uint8_t* bufferStart,
                    CaptionStream& caption) {
    CaptionManagement& m = caption.management;
    if (end - p < 1) return;
    m.tmd = p[0] >> 6;
    p += 1;
    if (m.tmd == 2) {
        if (end - p < 5) return;
        m.otm = (uint64_t{p[0]} << 28) | (uint64_t{p[1]} << 20) | (uint64_t{p[2]} << 12) | (uint64_t{p[3]} << 4) |
                (p[4] >> 4);
        p += 5;
    }
    if (end - p < 1) return;
    const unsigned count = p[0];
    p += 1;
    m.languageCount = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (end - p < 1) return;
        CaptionLanguage language;
        language.tag = p[0] >> 5;
        language.dmf = p[0] & 0x0F;
        p += 1;
        if (language.dmf >= 12 && language.dmf <= 14) {
            if (end - p < 1) return;
            language.dc = p[0];
            p += 1;
        }
        if (end - p < 4) return;
        std::memcpy(language.code, p, 3);
        language.code[3] = '\0';
        language.format = p[3] >> 4;
        language.tcs = (p[3] >> 2) & 3;
        language.rollupMode = p[3] & 3;
        p += 4;
        if (std::memcmp(language.code, "jpn", 3) == 0) {
            caption.selectedGroup = static_cast<uint8_t>(groupId + language.tag + 1);
        }
        if (m.languageCount < std::size(m.languages)) m.languages[m.languageCount++] = language;
    }
    ReadUnitLoop(p, end, bufferStart, m.unitLoopStart, m.unitLoopLength, caption);
}

void ReadStatement(const uint8_t* p, const uint8_t* end, const uint8_t* bufferStart, CaptionStream& caption) {
    CaptionStatement& s = caption.statement;
    if (end - p < 1) return;
    s.tmd = p[0] >> 6;
    p += 1;
    if (s.tmd == 1 || s.tmd == 2) {
        if (end - p < 5) return;
        s.stm = (uint64_t{p[0]} << 28) | (uint64_t{p[1]} << 20) | (uint64_t{p[2]} << 12) | (uint64_t{p[3]} << 4) |
                (p[4] >> 4);
        p += 5;
    }
    ReadUnitLoop(p, end, bufferStart, s.unitLoopStart, s.unitLoopLength, caption);
}

// First payload byte of the PES packet at `pes`, or null when it has no
// payload inside [pes, end).
const uint8_t* PesPayload(const uint8_t* pes, const uint8_t* end) {
    switch (pes[3]) {
        case 0xBC:
        case 0xBF:
        case 0xF0:
        case 0xF1:
        case 0xF2:
        case 0xF8:
        case 0xFF:
            return pes + 6;
        case 0xBE:
            return nullptr;
        default:
            if (end - pes < 9) return nullptr;
            if (pes[8] > end - pes - 9) return nullptr;
            return pes + 9 + pes[8];
    }
}

// First data group after the PES data field header, or null when the payload
// is not synchronised caption data.
const uint8_t* FirstDataGroup(const uint8_t* payload, const uint8_t* end) {
    if (end - payload < 3) return nullptr;
    const uint8_t dataIdentifier = payload[0];
    const uint8_t privateStreamId = payload[1];
    if ((dataIdentifier != 0x80 && dataIdentifier != 0x81) || privateStreamId != 0xFF) return nullptr;
    const unsigned headerLength = payload[2] & 0x0F;
    if (static_cast<unsigned>(end - payload) < 3 + headerLength) return nullptr;
    return payload + 3 + headerLength;
}

// Data groups from `group` to `end`, up to the first that is cut short or
// fails its CRC. True when one of them held data.
bool ReadDataGroups(const uint8_t* group, const uint8_t* end, const uint8_t* bufferStart, CaptionStream& caption) {
    bool result = false;
    while (group < end) {
        if (end - group < 7) break;
        const uint8_t groupId = group[0] >> 2;
        const uint32_t size = Read16(group + 3);
        if (size + 7 > static_cast<uint32_t>(end - group)) break;  // group runs past the PES
        const uint8_t* const data = group + 5;
        const uint8_t* const dataEnd = data + size;
        if (Crc16(group, dataEnd) != Read16(dataEnd)) break;
        if (size != 0) {
            result = true;
            if (groupId == 0x00 || groupId == 0x20) {
                ReadManagement(groupId, data, dataEnd, bufferStart, caption);
            } else if (groupId == caption.selectedGroup) {
                ReadStatement(data, dataEnd, bufferStart, caption);
            }
        }
        group = dataEnd + 2;
    }
    return result;
}

}  // namespace

bool ParseCaptionPes(const ByteBuffer& buffer, int32_t startOffset, CaptionStream& caption) {
    const uint8_t* const base = buffer.data;
    if (base == nullptr || startOffset < 0 || buffer.used - startOffset < 6) return false;
    const uint8_t* const pes = base + startOffset;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return false;
    const uint32_t pesLength = Read16(pes + 4);
    if (pesLength == 0) return false;
    // Read only what was gathered, even if the buffer holds less than the
    // header promised.
    const uint8_t* const end =
        pesLength + 6 <= static_cast<uint32_t>(buffer.used - startOffset) ? pes + 6 + pesLength : base + buffer.used;
    const uint8_t* const payload = PesPayload(pes, end);
    if (payload == nullptr) return false;
    const uint8_t* const group = FirstDataGroup(payload, end);
    if (group == nullptr) return false;
    return ReadDataGroups(group, end, base, caption);
}

bool CaptionTextChanged(const CaptionStream& caption) {
    const ByteBuffer& store = caption.decoder.text;
    return store.data != nullptr && store.used > 0 && store.data[0] != 0 && store.changed != 0;
}

void DropCaptionChange(CaptionStream& caption) {
    caption.decoder.text.changed = 0;
}

bool TakeChangedCaptionText(CaptionStream& caption, std::string& text) {
    ByteBuffer& store = caption.decoder.text;
    if (!CaptionTextChanged(caption)) return false;
    text = store.Text();
    store.changed = 0;
    return true;
}

uint16_t Crc16(const uint8_t* first, const uint8_t* end) {
    uint16_t crc = 0;
    if (first == nullptr) return crc;
    for (const uint8_t* p = first; p < end; ++p) {
        crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ *p) & 0xFF]);
    }
    return crc;
}
