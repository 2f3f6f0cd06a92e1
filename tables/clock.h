#pragma once
// Stream clocks: PCR, PTS and DTS measure elapsed stream time in 90 kHz
// ticks across the 33-bit wrap of the broadcast counters; the wall clock
// measures real time since the first PTS. On them rest the broadcast-time
// arithmetic and the wrap-around prediction.
#include <cstdint>

#include "platform/date_time.h"

struct AdaptationField;
struct PesHeader;
struct PidEntry;
struct StreamContext;

// Elapsed stream time in 90 kHz ticks across the 33-bit wrap.
struct StreamClock {
    uint8_t first = 1;
    int64_t startSeconds = 0;
    int64_t previousSeconds = 0;
    int64_t currentSeconds = 0;
    uint16_t startMs = 0;
    uint16_t previousMs = 0;
    uint16_t currentMs = 0;
    DateTime startTime;
    DateTime previousTime;
    DateTime currentTime;
    uint8_t highBitFix = 0;
    uint64_t base = 0;
    uint64_t previousElapsed = 0;
    uint64_t currentElapsed = 0;
    uint32_t startTick = 0;
    uint32_t currentTick = 0;
    uint32_t elapsedMs = 0;
    // The last counter value taken: most packets repeat the stamp of their
    // PES header, and a repeat leaves every value above as it is.
    uint64_t lastStamp = 0;
    bool stamped = false;
    // Elapsed ticks the current and previous moments were made from: PIDs
    // that take turns feed the clock two stamps in turn, and the moment
    // computed before is then taken back instead of computed again.
    uint64_t currentMomentTicks = 0;
    uint64_t previousMomentTicks = 0;
};

inline bool Running(const StreamClock& clock) {
    return clock.base != 0 && clock.currentElapsed != 0;
}

struct WrapPrediction {
    int64_t seconds = 0;  // in the broadcast-time seconds scale; 0 none
    DateTime time;
    uint8_t pending = 0;
};

// The clocks' elapsed ticks at the latest broadcast time table.
struct ClockMarks {
    uint64_t pts = 0;
    uint64_t dts = 0;
    uint64_t pcr = 0;
};

enum class ClockKind { Pcr, Pts, Dts };
DateTime ElapsedToTime(uint64_t ticks);
DateTime OffsetBroadcastTime(int64_t totSeconds, uint64_t ticks, bool subtract);
bool UpdateFromPcr(StreamClock& clock, const AdaptationField& adaptation);
bool UpdateFromPts(StreamClock& clock, const PesHeader& pes);
bool UpdateFromDts(StreamClock& clock, const PesHeader& pes);
void UpdateWallClock(StreamClock& clock);
bool ClockJumpAtLeast(const StreamClock& clock, int64_t seconds);
// Broadcast date-time at a clock position; false when there is none.
bool ClockToBroadcastTime(uint64_t position, const StreamContext& context, ClockKind clock, DateTime& out);
// After an accepted TOT/TDT: sets the clock marks and the wrap prediction.
void PredictWrap(StreamContext& context);
// Clock step for one decoded packet: PCR, PTS (and wall clock), DTS.
// Returns whether the PCR clock advanced. The wall clock starts with the
// first PTS and is read again only while the context's wallClockPaces is set.
// ClockStep (tables/stream_context.h) sorts out the packets without a time
// stamp; this takes the others.
bool ClockStepWithStamps(StreamContext& context, const PidEntry& entry);

// The PES header's stamps are the ones the PTS and DTS clocks took last, and
// no pacing reads the wall clock: a clock step would change nothing.
inline bool RepeatsLastStamps(const StreamContext& context, const PesHeader& pes);
