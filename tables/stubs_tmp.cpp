// Temporary neutral implementations so the other subsystems can link while
// the decoders are written.
#include <cstring>

#include "tables/stream_context.h"

PidTable::PidTable() { std::memset(index_, 0, sizeof(index_)); }
PidEntry* PidTable::FindOrCreate(uint16_t) { return nullptr; }
void PidTable::Remove(uint16_t) {}
StreamContext::StreamContext() {
    for (auto& pid : pcrPids) pid = 0xFFFF;
}
StreamContext* FindOrCreateStreamContext(StreamContextList&, uint32_t) { return nullptr; }
bool IsPcrPid(const StreamContext&, uint16_t) { return false; }
bool RegisterPcrPid(StreamContext&, uint16_t) { return false; }
const ProgramEntry* FindProgramByPmtPid(const StreamContext&, uint16_t) { return nullptr; }
CaptionStream* FindCaptionStream(StreamContext&, uint16_t) { return nullptr; }
PidEntry* DecodePacket(const uint8_t*, StreamContext&) { return nullptr; }
bool DecodeHeader(const uint8_t*, PidEntry&) { return false; }
uint32_t Crc32Mpeg2(const uint8_t*, const uint8_t*) { return 0xFFFFFFFFu; }
SectionOutcome SectionStep(const uint8_t*, PidEntry&, uint8_t, bool) { return SectionOutcome::Rejected; }
void ResetAssembler(SectionAssembler&) {}
int32_t SectionStart(const PidEntry&) { return 0; }
bool ParsePat(const uint8_t*, StreamContext&, PidEntry&) { return false; }
bool ParsePmt(const uint8_t*, const ProgramEntry&, StreamContext&, PidEntry&) { return false; }
bool ParseTotTdt(const uint8_t*, StreamContext&, PidEntry&) { return false; }
bool ParseSdt(const uint8_t*, StreamContext&, PidEntry&) { return false; }
bool ParseEit(const uint8_t*, StreamContext&, PidEntry&) { return false; }
int PrintServiceLines(StreamContext&) { return 0; }
int PrintEventLines(StreamContext&) { return 0; }
bool DecodeBcdTime(const uint8_t*, DateTime&) { return false; }
bool DecodeMjdDateTime(const uint8_t*, DateTime&) { return false; }
int64_t LocalDateTimeToSeconds(const DateTime&) { return 0; }
DateTime SecondsToLocalDateTime(int64_t) { return DateTime{}; }
