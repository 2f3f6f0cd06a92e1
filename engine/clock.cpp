// Stream clocks: PCR, PTS, DTS and the wall clock derived from the PTS.
#include "engine/stream_job.h"

DateTime ElapsedToTime(uint64_t) { return {}; }
DateTime OffsetBroadcastTime(int64_t, uint64_t, bool) { return {}; }
bool UpdateFromPcr(StreamClock&, const AdaptationField&) { return false; }
bool UpdateFromPts(StreamClock&, const PesHeader&) { return false; }
bool UpdateFromDts(StreamClock&, const PesHeader&) { return false; }
void UpdateWallClock(StreamClock&) {}
StreamClock& SelectReferenceClock(StreamContext& context, ClockKind) { return context.pcr; }
bool ClockJumpAtLeast(const StreamClock&, int64_t) { return false; }
bool ClockToBroadcastTime(uint64_t, const StreamContext&, ClockKind, DateTime&) { return false; }
void PredictWrap(StreamContext&) {}
bool ClockStep(StreamContext&, const PidEntry&) { return false; }
std::string PcrText(StreamContext&) { return {}; }
std::string TotText(const StreamContext&) { return {}; }
void PrintWrapAroundLine(StreamContext&) {}
