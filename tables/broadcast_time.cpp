// Broadcast date and time: MJD/BCD decoding, the TOT/TDT parser and the
// conversions between date-times and seconds since 1970.
#include "platform/platform.h"
#include "tables/stream_context.h"

namespace {

uint16_t BcdByte(uint8_t b) {
    return static_cast<uint16_t>((b >> 4) * 10 + (b & 0x0F) % 10);
}

}  // namespace

bool DecodeBcdTime(const uint8_t* bytes, DateTime& duration) {
    if (bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF) return false;
    duration.hour = BcdByte(bytes[0]);
    duration.minute = BcdByte(bytes[1]);
    duration.second = BcdByte(bytes[2]);
    return true;
}

bool DecodeMjdDateTime(const uint8_t* bytes, DateTime& dateTime) {
    if (bytes[0] == 0xFF && bytes[1] == 0xFF) return false;
    DateTime time;
    if (!DecodeBcdTime(bytes + 2, time)) return false;
    // ETSI EN 300 468 Annex C; the casts truncate toward zero as int() does.
    const int mjd = (bytes[0] << 8) | bytes[1];
    const int y = static_cast<int>((mjd - 15078.2) / 365.25);
    const int yDays = static_cast<int>(y * 365.25);
    const int m = static_cast<int>((mjd - 14956.1 - yDays) / 30.6001);
    const int day = mjd - 14956 - yDays - static_cast<int>(m * 30.6001);
    const int k = (m == 14 || m == 15) ? 1 : 0;
    dateTime.year = static_cast<uint16_t>(y + k + 1900);
    dateTime.month = static_cast<uint16_t>(m - 1 - 12 * k);
    dateTime.day = static_cast<uint16_t>(day);
    dateTime.hour = time.hour;
    dateTime.minute = time.minute;
    dateTime.second = time.second;
    return true;
}

// 0 when the system refuses the date-time (an hour of 24 or more from bad BCD
// digits, a month of 13, a day the month lacks).
int64_t LocalDateTimeToSeconds(const DateTime& local) {
    int64_t seconds = 0;
    return platform::LocalDateTimeToSeconds(local, seconds) ? seconds : 0;
}

// All zero when the system cannot convert the value.
DateTime SecondsToLocalDateTime(int64_t seconds) {
    DateTime local;
    if (!platform::SecondsToLocalDateTime(seconds, local)) return DateTime{};
    return local;
}

bool ParseTotTdt(const uint8_t* packet, StreamContext& context, PidEntry& entry) {
    if (entry.pid != 0x0014) return false;
    // The section is read in place. In a start packet with an adaptation field
    // the header length lands on the pointer_field, so the table_id is one on.
    int offset = entry.headerLength;
    if (entry.payloadUnitStartIndicator && (entry.adaptationFieldControl & 2)) ++offset;
    // table_id, section_length and the 5-byte JST_time must lie in the packet.
    if (offset + 8 > kPacketSize) return false;
    if (packet[offset] != 0x73 && packet[offset] != 0x70) return false;

    DateTime decoded;
    if (!DecodeMjdDateTime(packet + offset + 3, decoded)) return false;
    // A date-time the system refuses has no seconds value: the packet is
    // dropped as if its time were undecodable, and the stored times stay.
    int64_t seconds = 0;
    if (!platform::LocalDateTimeToSeconds(decoded, seconds)) return false;

    BroadcastTime& time = context.broadcast;
    time.previous = time.current;
    time.previousTime = time.currentTime;
    time.currentTime.year = decoded.year;
    time.currentTime.month = decoded.month;
    time.currentTime.day = decoded.day;
    time.currentTime.hour = decoded.hour;
    time.currentTime.minute = decoded.minute;
    time.currentTime.second = decoded.second;
    time.current = seconds;
    if (time.firstPending) {
        time.first = time.current;
        time.firstTime = time.currentTime;
        time.firstPending = 0;
    }
    return time.current > 0;
}
