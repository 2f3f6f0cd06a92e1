#include "tests/support/stream_builder.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/platform.h"

namespace tsb {

uint32_t Crc32(const uint8_t* data, std::size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

uint16_t Crc16(const uint8_t* data, std::size_t size) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Bytes MakePacket(uint16_t pid, uint8_t cc, const Bytes& payload, const PacketOptions& o) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] =
        static_cast<uint8_t>((o.tei ? 0x80 : 0) | (o.pusi ? 0x40 : 0) | (o.priority ? 0x20 : 0) | ((pid >> 8) & 0x1F));
    p[2] = static_cast<uint8_t>(pid & 0xFF);
    const bool hasPayload = !o.noPayload;
    bool hasAdaptation = o.pcr.has_value() || o.discontinuity || o.randomAccess || o.adaptation || o.noPayload;
    Bytes af;  // adaptation field body after the length byte
    if (hasAdaptation) {
        af.push_back(
            static_cast<uint8_t>((o.discontinuity ? 0x80 : 0) | (o.randomAccess ? 0x40 : 0) | (o.pcr ? 0x10 : 0)));
        if (o.pcr) {
            const uint64_t base = *o.pcr & 0x1FFFFFFFFull;
            af.push_back(static_cast<uint8_t>(base >> 25));
            af.push_back(static_cast<uint8_t>(base >> 17));
            af.push_back(static_cast<uint8_t>(base >> 9));
            af.push_back(static_cast<uint8_t>(base >> 1));
            af.push_back(static_cast<uint8_t>(((base & 1) << 7) | 0x7E | ((o.pcrExtension >> 8) & 1)));
            af.push_back(static_cast<uint8_t>(o.pcrExtension & 0xFF));
        }
    }
    std::size_t room = 184;
    if (hasAdaptation) room -= 1 + af.size();
    std::size_t take = hasPayload ? std::min(room, payload.size()) : 0;
    if (hasPayload && o.stuffWithAdaptation && take < room) {
        if (!hasAdaptation) {
            hasAdaptation = true;
            room -= 1;
            if (take < room) {
                af.push_back(0x00);
                room -= 1;
            }
        }
        while (take < room) {
            af.push_back(0xFF);
            --room;
        }
        take = std::min(room, payload.size());
    }
    if (!hasPayload && hasAdaptation) {
        while (af.size() < 183)
            af.push_back(0xFF);
    }
    const uint8_t afc = static_cast<uint8_t>((hasAdaptation ? 2 : 0) | (hasPayload ? 1 : 0));
    p[3] = static_cast<uint8_t>((o.scrambling << 6) | (afc << 4) | (cc & 0x0F));
    std::size_t pos = 4;
    if (hasAdaptation) {
        p[pos++] = static_cast<uint8_t>(af.size());
        if (!af.empty()) std::memcpy(&p[pos], af.data(), af.size());
        pos += af.size();
    }
    if (hasPayload && take > 0) std::memcpy(&p[pos], payload.data(), take);
    return p;
}

Bytes MakeSection(uint8_t tableId, uint16_t ext, const Bytes& body, uint8_t version, uint8_t sectionNumber,
                  uint8_t lastSectionNumber) {
    const std::size_t length = 5 + body.size() + 4;
    Bytes s;
    s.push_back(tableId);
    s.push_back(static_cast<uint8_t>(0xB0 | ((length >> 8) & 0x0F)));
    s.push_back(static_cast<uint8_t>(length & 0xFF));
    s.push_back(static_cast<uint8_t>(ext >> 8));
    s.push_back(static_cast<uint8_t>(ext & 0xFF));
    s.push_back(static_cast<uint8_t>(0xC1 | ((version & 0x1F) << 1)));
    s.push_back(sectionNumber);
    s.push_back(lastSectionNumber);
    s.insert(s.end(), body.begin(), body.end());
    const uint32_t crc = Crc32(s.data(), s.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<uint8_t>(crc >> shift));
    return s;
}

Bytes MakeShortSection(uint8_t tableId, const Bytes& body, bool withCrc) {
    const std::size_t length = body.size() + (withCrc ? 4 : 0);
    Bytes s;
    s.push_back(tableId);
    s.push_back(static_cast<uint8_t>(0x70 | ((length >> 8) & 0x0F)));
    s.push_back(static_cast<uint8_t>(length & 0xFF));
    s.insert(s.end(), body.begin(), body.end());
    if (withCrc) {
        const uint32_t crc = Crc32(s.data(), s.size());
        for (int shift = 24; shift >= 0; shift -= 8)
            s.push_back(static_cast<uint8_t>(crc >> shift));
    }
    return s;
}

Bytes PatSection(uint16_t tsid, const std::vector<std::pair<uint16_t, uint16_t>>& programs) {
    Bytes body;
    for (const auto& [number, pid] : programs) {
        body.push_back(static_cast<uint8_t>(number >> 8));
        body.push_back(static_cast<uint8_t>(number & 0xFF));
        body.push_back(static_cast<uint8_t>(0xE0 | ((pid >> 8) & 0x1F)));
        body.push_back(static_cast<uint8_t>(pid & 0xFF));
    }
    return MakeSection(0x00, tsid, body);
}

Bytes PmtSection(uint16_t programNumber, uint16_t pcrPid, const std::vector<PmtStream>& streams,
                 const Bytes& programDescriptors) {
    Bytes body;
    body.push_back(static_cast<uint8_t>(0xE0 | ((pcrPid >> 8) & 0x1F)));
    body.push_back(static_cast<uint8_t>(pcrPid & 0xFF));
    body.push_back(static_cast<uint8_t>(0xF0 | ((programDescriptors.size() >> 8) & 0x0F)));
    body.push_back(static_cast<uint8_t>(programDescriptors.size() & 0xFF));
    body.insert(body.end(), programDescriptors.begin(), programDescriptors.end());
    for (const auto& s : streams) {
        body.push_back(s.streamType);
        body.push_back(static_cast<uint8_t>(0xE0 | ((s.pid >> 8) & 0x1F)));
        body.push_back(static_cast<uint8_t>(s.pid & 0xFF));
        body.push_back(static_cast<uint8_t>(0xF0 | ((s.descriptors.size() >> 8) & 0x0F)));
        body.push_back(static_cast<uint8_t>(s.descriptors.size() & 0xFF));
        body.insert(body.end(), s.descriptors.begin(), s.descriptors.end());
    }
    return MakeSection(0x02, programNumber, body);
}

Bytes StreamIdentifierDescriptor(uint8_t componentTag) {
    return Bytes{0x52, 0x01, componentTag};
}

static uint8_t ToBcd(int v) {
    return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

Bytes Bcd3(int hour, int minute, int second) {
    return Bytes{ToBcd(hour), ToBcd(minute), ToBcd(second)};
}

Bytes MjdBcd(int year, int month, int day, int hour, int minute, int second) {
    // Days from the civil date (proleptic Gregorian), then MJD = days since 1858-11-17.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days1970 = static_cast<long>(era) * 146097 + doe - 719468;
    const long mjd = days1970 + 40587;
    Bytes out{static_cast<uint8_t>(mjd >> 8), static_cast<uint8_t>(mjd & 0xFF)};
    const Bytes t = Bcd3(hour, minute, second);
    out.insert(out.end(), t.begin(), t.end());
    return out;
}

Bytes TimeSection(uint8_t tableId, const Bytes& mjdBcd) {
    if (tableId == 0x70) return MakeShortSection(0x70, mjdBcd, false);
    Bytes body = mjdBcd;
    body.push_back(0xF0);
    body.push_back(0x00);
    return MakeShortSection(0x73, body, true);
}

static void PutTimestamp(Bytes& out, uint8_t prefix, uint64_t t) {
    t &= 0x1FFFFFFFFull;
    out.push_back(static_cast<uint8_t>((prefix << 4) | (((t >> 30) & 7) << 1) | 1));
    out.push_back(static_cast<uint8_t>(t >> 22));
    out.push_back(static_cast<uint8_t>((((t >> 15) & 0x7F) << 1) | 1));
    out.push_back(static_cast<uint8_t>(t >> 7));
    out.push_back(static_cast<uint8_t>(((t & 0x7F) << 1) | 1));
}

Bytes MakePes(uint8_t streamId, std::optional<uint64_t> pts, std::optional<uint64_t> dts, const Bytes& payload,
              int pesLength) {
    Bytes header;
    const uint8_t flags = static_cast<uint8_t>(pts ? (dts ? 0xC0 : 0x80) : 0x00);
    header.push_back(0x80);
    header.push_back(flags);
    Bytes optional;
    if (pts) PutTimestamp(optional, dts ? 0x3 : 0x2, *pts);
    if (pts && dts) PutTimestamp(optional, 0x1, *dts);
    header.push_back(static_cast<uint8_t>(optional.size()));
    header.insert(header.end(), optional.begin(), optional.end());
    const bool noOptional = streamId == 0xBC || streamId == 0xBE || streamId == 0xBF || streamId == 0xF0 ||
                            streamId == 0xF1 || streamId == 0xF2 || streamId == 0xF8 || streamId == 0xFF;
    Bytes body = noOptional ? Bytes{} : header;
    body.insert(body.end(), payload.begin(), payload.end());
    const std::size_t length = pesLength >= 0 ? static_cast<std::size_t>(pesLength) : body.size();
    Bytes pes{0x00, 0x00, 0x01, streamId, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)};
    pes.insert(pes.end(), body.begin(), body.end());
    return pes;
}

uint8_t StreamBuilder::NextCounter(uint16_t pid) {
    auto it = counters_.find(pid);
    const uint8_t cc = it == counters_.end() ? 0 : it->second;
    counters_[pid] = static_cast<uint8_t>((cc + 1) & 0x0F);
    return cc;
}

std::size_t StreamBuilder::Packet(uint16_t pid, const Bytes& payload, PacketOptions options) {
    uint8_t cc;
    if (options.cc >= 0) {
        cc = static_cast<uint8_t>(options.cc & 0x0F);
        counters_[pid] = static_cast<uint8_t>((cc + 1) & 0x0F);
    } else {
        cc = NextCounter(pid);
    }
    const Bytes p = MakePacket(pid, cc, payload, options);
    data_.insert(data_.end(), p.begin(), p.end());
    return data_.size() / 188 - 1;
}

std::size_t StreamBuilder::Pcr(uint16_t pid, uint64_t pcrBase, PacketOptions options) {
    options.pcr = pcrBase;
    options.noPayload = true;
    return Packet(pid, {}, options);
}

void StreamBuilder::Section(uint16_t pid, const Bytes& section, PacketOptions first) {
    Bytes payload{0x00};
    payload.insert(payload.end(), section.begin(), section.end());
    first.pusi = true;
    std::size_t offset = 0;
    bool start = true;
    while (offset < payload.size() || start) {
        PacketOptions o = start ? first : PacketOptions{};
        const std::size_t room = 184 - (start && (first.pcr || first.adaptation) ? 1 + (first.pcr ? 7 : 1) : 0);
        const Bytes chunk(payload.begin() + static_cast<long>(offset),
                          payload.begin() + static_cast<long>(std::min(payload.size(), offset + room)));
        Packet(pid, chunk, o);
        offset += chunk.size();
        start = false;
    }
}

void StreamBuilder::Pes(uint16_t pid, const Bytes& pes, PacketOptions first) {
    first.pusi = true;
    std::size_t offset = 0;
    bool start = true;
    while (offset < pes.size() || start) {
        PacketOptions o = start ? first : PacketOptions{};
        o.stuffWithAdaptation = true;
        std::size_t room = 184;
        if (start && (first.pcr || first.adaptation)) room -= 1 + (first.pcr ? 7 : 1);
        const std::size_t take = std::min(pes.size() - offset, room);
        const Bytes chunk(pes.begin() + static_cast<long>(offset), pes.begin() + static_cast<long>(offset + take));
        Packet(pid, chunk, o);
        offset += take;
        start = false;
    }
}

void StreamBuilder::Raw(const Bytes& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
}

Bytes StreamBuilder::As192() const {
    Bytes out;
    uint32_t stamp = 0x01020304;
    for (std::size_t i = 0; i + 188 <= data_.size(); i += 188) {
        out.push_back(static_cast<uint8_t>(stamp >> 24));
        out.push_back(static_cast<uint8_t>(stamp >> 16));
        out.push_back(static_cast<uint8_t>(stamp >> 8));
        out.push_back(static_cast<uint8_t>(stamp));
        out.insert(out.end(), data_.begin() + static_cast<long>(i), data_.begin() + static_cast<long>(i + 188));
        stamp += 0x1000;
    }
    return out;
}

std::string TempPath(const std::string& name) {
    static int counter = 0;
    const char* dir = std::getenv("TMPDIR");
#ifdef _WIN32
    std::string base = dir ? dir : (std::getenv("TEMP") ? std::getenv("TEMP") : ".");
    const char sep = '\\';
#else
    std::string base = dir ? dir : "/tmp";
    const char sep = '/';
#endif
    if (!base.empty() && base.back() != '/' && base.back() != '\\') base += sep;
    return base + "trelvan_test_" + std::to_string(platform::ProcessId()) + "_" + std::to_string(counter++) + "_" +
           name;
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes TextBytes(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

}  // namespace tsb
