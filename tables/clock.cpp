#include "tables/clock.h"

#include <cstdint>
#include <utility>

#include "platform/platform.h"
#include "tables/stream_context.h"

namespace {

constexpr uint64_t kTicksPerSecond = 90000;
constexpr uint64_t kWrap = 1ull << 33;       // the counters count modulo 2^33
constexpr uint64_t kCounterMax = kWrap - 1;  // 0x1FFFFFFFF
constexpr uint64_t kCounterMask = kCounterMax;
constexpr uint64_t kBit32 = 1ull << 32;
constexpr uint64_t kPtsRangeMask = 0x1F0000000ull;

int64_t WholeSeconds(const DateTime& time) {
    return int64_t{time.hour} * 3600 + int64_t{time.minute} * 60 + time.second;
}

// Moves the current moment into the previous one.
void ShiftMoments(StreamClock& clock) {
    clock.previousSeconds = clock.currentSeconds;
    clock.previousMs = clock.currentMs;
    clock.previousTime = clock.currentTime;
    clock.previousMomentTicks = clock.currentMomentTicks;
}

void SwapMoments(StreamClock& clock) {
    std::swap(clock.previousSeconds, clock.currentSeconds);
    std::swap(clock.previousMs, clock.currentMs);
    std::swap(clock.previousTime, clock.currentTime);
    std::swap(clock.previousMomentTicks, clock.currentMomentTicks);
}

void CaptureStart(StreamClock& clock) {
    clock.startSeconds = clock.currentSeconds;
    clock.startMs = clock.currentMs;
    clock.startTime = clock.currentTime;
    clock.first = 0;
}

// Ticks from the base to a counter value at or past it.
uint64_t TicksForward(StreamClock& clock, uint64_t v, bool ptsRules) {
    uint64_t d = v - clock.base;
    if (ptsRules) {
        // Some encoders jump from 0x7xxxxxxx straight to 0x18xxxxxxx
        // instead of 0x8xxxxxxx; take 2^32 off until the counter
        // falls below the base again.
        if (((clock.base + clock.currentElapsed) & kPtsRangeMask) == 0x70000000ull &&
            (v & kPtsRangeMask) == 0x180000000ull) {
            clock.highBitFix = 1;
        }
        if (clock.highBitFix && d >= kBit32) d -= kBit32;
    }
    return d;
}

// Ticks from the base to a counter value below it: across the wrap, or none
// when the counter restarted and the value becomes the new base.
uint64_t TicksBackward(StreamClock& clock, uint64_t v, bool ptsRules) {
    if (ptsRules) clock.highBitFix = 0;
    if (clock.base - v < kTicksPerSecond) {
        // Less than a second behind the first value: a restart of
        // the counter near its start, not a wrap.
        clock.base = v;
        clock.currentElapsed = 0;
        clock.previousElapsed = 0;
        return 0;
    }
    return v + kWrap - clock.base;
}

void AdvanceElapsed(StreamClock& clock, uint64_t v, bool ptsRules) {
    if (clock.base == 0) {
        clock.base = v;
        clock.currentElapsed = 0;
        return;
    }
    const uint64_t d = v >= clock.base ? TicksForward(clock, v, ptsRules) : TicksBackward(clock, v, ptsRules);
    if (clock.currentElapsed < d) clock.previousElapsed = clock.currentElapsed;
    clock.currentElapsed = d;
}

// One 33-bit value into a clock. `ptsRules` enables the bit-32 correction
// that only the PTS clock applies.
bool UpdateClock(StreamClock& clock, uint64_t value, bool ptsRules) {
    const uint64_t v = value & kCounterMask;
    // The same value again yields the same elapsed ticks: nothing moves.
    if (clock.stamped && v == clock.lastStamp) return !clock.first && clock.currentSeconds > 0;
    clock.lastStamp = v;
    clock.stamped = true;
    AdvanceElapsed(clock, v, ptsRules);
    if (!clock.first && clock.currentElapsed == clock.previousMomentTicks) {
        SwapMoments(clock);
        return clock.currentSeconds > 0;
    }
    ShiftMoments(clock);
    clock.currentTime = ElapsedToTime(clock.currentElapsed);
    clock.currentSeconds = WholeSeconds(clock.currentTime);
    clock.currentMs = clock.currentTime.millisecond;
    clock.currentMomentTicks = clock.currentElapsed;
    if (clock.first) {
        CaptureStart(clock);
        return true;
    }
    return clock.currentSeconds > 0;
}

uint64_t MarkOf(const ClockMarks& marks, ClockKind kind) {
    switch (kind) {
        case ClockKind::Pts:
            return marks.pts;
        case ClockKind::Dts:
            return marks.dts;
        case ClockKind::Pcr:
            break;
    }
    return marks.pcr;
}

}  // namespace

DateTime ElapsedToTime(uint64_t ticks) {
    // Integer division: the same truncation as dividing by 90000.0 and 60.0
    // for every tick count a 33-bit clock produces, and exact beyond.
    const uint64_t seconds = ticks / kTicksPerSecond;
    const uint64_t minutes = seconds / 60;
    const uint64_t hours = minutes / 60;
    DateTime time;
    time.hour = static_cast<uint16_t>(hours);
    time.minute = static_cast<uint16_t>(minutes - 60 * hours);
    time.second = static_cast<uint16_t>(seconds - 60 * minutes);
    time.millisecond = static_cast<uint16_t>((ticks - kTicksPerSecond * seconds) / 90);
    return time;
}

DateTime OffsetBroadcastTime(int64_t totSeconds, uint64_t ticks, bool subtract) {
    // Whole seconds only: the broadcast time has no milliseconds.
    const int64_t seconds = static_cast<int64_t>(ticks / kTicksPerSecond);
    return SecondsToLocalDateTime(subtract ? totSeconds - seconds : totSeconds + seconds);
}

bool UpdateFromPcr(StreamClock& clock, const AdaptationField& adaptation) {
    return UpdateClock(clock, adaptation.pcrBase, false);
}

bool UpdateFromPts(StreamClock& clock, const PesHeader& pes) {
    return UpdateClock(clock, pes.pts, true);
}

bool UpdateFromDts(StreamClock& clock, const PesHeader& pes) {
    return UpdateClock(clock, pes.dts, false);
}

void UpdateWallClock(StreamClock& clock) {
    ShiftMoments(clock);
    clock.currentTick = platform::TickCount();
    if (clock.first) clock.startTick = clock.currentTick;
    // Modular difference: the tick count wraps at 2^32 ms (49.7 days) and
    // never runs backwards, so this stays right across its wrap.
    clock.elapsedMs = clock.currentTick - clock.startTick;
    const uint32_t s = clock.elapsedMs / 1000;
    DateTime time;
    time.hour = static_cast<uint16_t>(s / 3600);
    time.minute = static_cast<uint16_t>((s % 3600) / 60);
    time.second = static_cast<uint16_t>(s % 60);
    time.millisecond = static_cast<uint16_t>(clock.elapsedMs % 1000);
    clock.currentTime = time;
    clock.currentSeconds = WholeSeconds(time);
    clock.currentMs = time.millisecond;
    if (clock.first) CaptureStart(clock);
}

bool ClockJumpAtLeast(const StreamClock& clock, int64_t seconds) {
    if (seconds <= 0) return false;
    if (clock.previousElapsed >= clock.currentElapsed) return false;
    return clock.currentElapsed - clock.previousElapsed >= static_cast<uint64_t>(seconds) * kTicksPerSecond;
}

bool ClockToBroadcastTime(uint64_t position, const StreamContext& context, ClockKind clock, DateTime& out) {
    const uint64_t mark = MarkOf(context.marks, clock);
    if (mark == 0) return false;
    const uint64_t diff = position >= mark ? position - mark : position + kWrap - mark;
    if (diff == 0) return false;
    out = OffsetBroadcastTime(context.broadcast.current, diff, false);
    return true;
}

void PredictWrap(StreamContext& context) {
    context.marks.pcr = context.pcr.currentElapsed;
    context.marks.pts = context.pts.currentElapsed;
    context.marks.dts = context.dts.currentElapsed;

    WrapPrediction& wrap = context.wrap;
    if (wrap.seconds != 0 && wrap.seconds < context.broadcast.current) wrap = WrapPrediction{};
    if (wrap.seconds != 0) return;

    const StreamClock& clock = SelectReferenceClock(context, ClockKind::Pcr);
    if (clock.base == 0) return;
    const uint64_t position = clock.base + clock.currentElapsed;
    // Past 2^33 the counter has already wrapped and now reads
    // position - 2^33; the next wrap comes when that reaches 2^33 - 1.
    const uint64_t remaining = position < kWrap ? kCounterMax - position : kCounterMax - (position - kWrap);
    wrap.seconds = static_cast<int64_t>(remaining / kTicksPerSecond) + context.broadcast.current;
    wrap.time = SecondsToLocalDateTime(wrap.seconds);
    wrap.pending = 1;
}

bool ClockStepWithStamps(StreamContext& context, const PidEntry& entry) {
    ++context.clockSteps;
    bool pcrAdvanced = false;
    if (entry.adaptationParsed && entry.adaptation.pcrFlag) {
        pcrAdvanced = UpdateFromPcr(context.pcr, entry.adaptation);
        if (!context.firstPcrBase) context.firstPcrBase = entry.adaptation.pcrBase;
        context.lastPcrBase = entry.adaptation.pcrBase;
    }
    if (entry.pesParsed && (entry.pes.ptsDtsFlags == 2 || entry.pes.ptsDtsFlags == 3)) {
        // The wall clock starts with the first PTS so that pacing compares
        // like with like. Reading it costs more than the rest of a packet's
        // path, and only pacing looks at its later values.
        if (UpdateFromPts(context.pts, entry.pes) && (context.wall.first || context.wallClockPaces)) {
            UpdateWallClock(context.wall);
        }
    }
    if (entry.pesParsed && entry.pes.ptsDtsFlags == 3) UpdateFromDts(context.dts, entry.pes);
    return pcrAdvanced;
}
