#pragma once
// Builds transport streams for tests: packets with chosen PID, counter and
// flags, adaptation fields with PCR, PES headers with PTS/DTS, PSI sections
// with CRC-32 split over packets, 192-byte units and garbage.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tsb {

using Bytes = std::vector<uint8_t>;

struct PacketOptions {
    int cc = -1;                  // continuity counter; -1: the PID's next one
    bool pusi = false;            // payload_unit_start_indicator
    bool tei = false;             // transport_error_indicator
    uint8_t scrambling = 0;       // transport_scrambling_control
    bool priority = false;        // transport_priority
    std::optional<uint64_t> pcr;  // PCR base (33 bits) in an adaptation field
    uint16_t pcrExtension = 0;
    bool discontinuity = false;  // discontinuity_indicator (forces an adaptation field)
    bool randomAccess = false;
    bool adaptation = false;           // force an adaptation field even without PCR
    bool noPayload = false;            // adaptation field only (adaptation_field_control 2)
    bool stuffWithAdaptation = false;  // pad a short payload with adaptation stuffing instead of 0xFF
};

// Bit-by-bit CRC-32/MPEG-2 (independent of the program's table-driven one).
uint32_t Crc32(const uint8_t* data, std::size_t size);
// Bit-by-bit CRC-16/XMODEM.
uint16_t Crc16(const uint8_t* data, std::size_t size);

// One 188-byte packet. The payload is cut to what fits; a short payload is
// padded with 0xFF (or adaptation stuffing when asked).
Bytes MakePacket(uint16_t pid, uint8_t cc, const Bytes& payload, const PacketOptions& options = {});

// A PSI/SI section with section_syntax_indicator set and CRC-32 appended:
// table_id, 12-bit section_length, table_id_extension, version, current,
// section_number, last_section_number, body, CRC.
Bytes MakeSection(uint8_t tableId, uint16_t tableIdExtension, const Bytes& body, uint8_t version = 0,
                  uint8_t sectionNumber = 0, uint8_t lastSectionNumber = 0);
// A section without the long header (section_syntax_indicator 0): table_id,
// length, body (no CRC unless withCrc).
Bytes MakeShortSection(uint8_t tableId, const Bytes& body, bool withCrc = false);

Bytes PatSection(uint16_t transportStreamId, const std::vector<std::pair<uint16_t, uint16_t>>& programs);
struct PmtStream {
    uint8_t streamType = 0;
    uint16_t pid = 0;
    Bytes descriptors;
};
Bytes PmtSection(uint16_t programNumber, uint16_t pcrPid, const std::vector<PmtStream>& streams,
                 const Bytes& programDescriptors = {});
// stream_identifier_descriptor (tag 0x52).
Bytes StreamIdentifierDescriptor(uint8_t componentTag);

// 5 bytes of MJD + BCD time for a date-time (Gregorian, no time zone).
Bytes MjdBcd(int year, int month, int day, int hour, int minute, int second);
Bytes Bcd3(int hour, int minute, int second);
// TDT (0x70) or TOT (0x73, with an empty descriptor loop and CRC) section.
Bytes TimeSection(uint8_t tableId, const Bytes& mjdBcd);

// PES packet bytes: start code, stream_id, length, optional header with
// PTS/DTS, payload. pesLength -1 computes PES_packet_length.
Bytes MakePes(uint8_t streamId, std::optional<uint64_t> pts, std::optional<uint64_t> dts, const Bytes& payload,
              int pesLength = -1);

// Collects packets and keeps a continuity counter per PID.
class StreamBuilder {
public:
    // One packet; returns its index.
    std::size_t Packet(uint16_t pid, const Bytes& payload = {}, PacketOptions options = {});
    // A packet carrying only an adaptation field with a PCR.
    std::size_t Pcr(uint16_t pid, uint64_t pcrBase, PacketOptions options = {});
    // A section split over packets with a pointer_field 0 in the first.
    void Section(uint16_t pid, const Bytes& section, PacketOptions first = {});
    // A PES packet split over packets (start packet with pusi).
    void Pes(uint16_t pid, const Bytes& pes, PacketOptions first = {});
    // Raw bytes (garbage) appended as they are.
    void Raw(const Bytes& bytes);
    // Sets the next counter of a PID.
    void SetCounter(uint16_t pid, uint8_t cc) { counters_[pid] = cc & 0x0F; }
    uint8_t NextCounter(uint16_t pid);

    const Bytes& Data() const { return data_; }
    std::size_t PacketCount() const { return data_.size() / 188; }
    // The stream as 192-byte units: 4 bytes (a running time stamp) before
    // each 188-byte packet. Only valid when nothing but packets was added.
    Bytes As192() const;

private:
    Bytes data_;
    std::map<uint16_t, uint8_t> counters_;
};

// Helpers for files and processes in tests.
std::string TempPath(const std::string& name);  // unique per test process
bool WriteFileBytes(const std::string& path, const Bytes& bytes);
Bytes ReadFileBytes(const std::string& path);
Bytes Concat(std::initializer_list<Bytes> parts);
// Bytes of a text literal (as compiled, so code page 932 in the program's builds).
Bytes TextBytes(const char* text);

}  // namespace tsb
