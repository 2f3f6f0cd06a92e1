#pragma once
// The stream engine: the worker thread that carries one stream from its
// source to its sink, and the per-packet checks, rewrites and clocks.
#include <atomic>
#include <cstdint>
#include <string>

#include "common/byte_buffer.h"
#include "platform/platform.h"
#include "tables/stream_context.h"

struct PluginEntry;

constexpr int32_t kStagingSize = 256 * kPacketSize;  // 48128
#if INTPTR_MAX == INT64_MAX
constexpr uint32_t kDefaultReadBuffer = 104857600u;  // 100 MiB
#else
constexpr uint32_t kDefaultReadBuffer = 20971520u;   // 20 MiB
#endif

struct StreamSlot {
    bool sync = false;
    std::string inputPath;
    std::string outputPath;
    StreamContextList contexts;
    StreamContext* context = nullptr;
    int32_t senderId = -1;
    platform::FileHandle input = platform::kInvalidFile;
    platform::FileHandle output = platform::kInvalidFile;
    uint8_t* staging = nullptr;
    int32_t stagingSize = 0;
    int32_t stagingFill = 0;
    ByteBuffer* aux = nullptr;
};

struct StreamJob {
    StreamSlot* slots = nullptr;
    int32_t slotCount = 0;
    PluginEntry* plugins = nullptr;  // head of the plug-in list, null when none
    int32_t pluginCount = 0;
    std::atomic<uint32_t> dropEvents{0};
};

// Worker thread entry: serves the first slot. 1 when served, 0 when there was
// no usable slot or no context.
uint32_t StreamWorker(void* job);

// The read-buffer capacity for a -bufsize value.
uint32_t ReadBufferCapacity(uint32_t bufsize);

// ---- Continuity --------------------------------------------------------------
// Counts the packet and reports a discontinuity on its PID.
bool ContinuityCheck(const uint8_t* packet, StreamContext& context, PidEntry& entry);

// ---- Clocks ------------------------------------------------------------------
enum class ClockKind { Pcr, Pts, Dts };
DateTime ElapsedToTime(uint64_t ticks);
DateTime OffsetBroadcastTime(int64_t totSeconds, uint64_t ticks, bool subtract);
bool UpdateFromPcr(StreamClock& clock, const AdaptationField& adaptation);
bool UpdateFromPts(StreamClock& clock, const PesHeader& pes);
bool UpdateFromDts(StreamClock& clock, const PesHeader& pes);
void UpdateWallClock(StreamClock& clock);
StreamClock& SelectReferenceClock(StreamContext& context, ClockKind preference);
bool ClockJumpAtLeast(const StreamClock& clock, int64_t seconds);
// Broadcast date-time at a clock position; false when there is none.
bool ClockToBroadcastTime(uint64_t position, const StreamContext& context, ClockKind clock, DateTime& out);
// After an accepted TOT/TDT: sets the clock marks and the wrap prediction.
void PredictWrap(StreamContext& context);
