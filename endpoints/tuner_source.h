#pragma once
// Tuner source: a tuner driver library, a reader thread that pulls the
// stream from the driver into a queue, and the worker's side of the queue.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "endpoints/bon_driver.h"
#include "endpoints/stream_endpoints.h"
#include "platform/platform.h"

inline constexpr uint32_t kDefaultTunerQueueLimit = 940;

// The bytes between the reader and the worker, in a list of fixed-size
// chunks: an append never moves what is already queued, a take releases the
// chunks it empties, and a few emptied chunks are kept for reuse. Both ends
// cost constant time per byte however far the worker falls behind.
class TunerQueue {
public:
    static constexpr uint32_t kChunkBytes = 1u << 20;
    static constexpr std::size_t kSpareChunks = 8;

    uint32_t Length() const { return length_; }
    // Bytes of storage held, spare chunks included.
    uint64_t Capacity() const { return uint64_t{chunks_.size() + spare_.size()} * kChunkBytes; }
    // False when storage for the bytes cannot be had; nothing changes then.
    bool Append(const uint8_t* bytes, uint32_t count);
    // Moves up to `room` bytes from the front into dest; the count moved.
    uint32_t TakeFront(uint8_t* dest, uint32_t room);
    // Where the first bytes lie, up to `room` of them and in at most
    // `maxSpans` pieces; the count covered. Appends do not move these bytes,
    // so they may be read while another thread appends, until DropFront.
    struct Span {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
    };
    uint32_t FrontSpans(uint32_t room, Span* spans, std::size_t maxSpans) const;
    // Forgets the first `count` bytes (at most Length()).
    void DropFront(uint32_t count);
    // Lends the bytes of the front chunk in place, led by a copy of the
    // `keep` bytes at `keepFrom` (none when they already lie right before
    // them), and takes back the chunks lent before. The lent bytes leave the
    // queue; their chunk is not reused until the next Lend. False, with
    // nothing changed, when the queue is empty.
    bool Lend(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data, uint32_t& length);
    void Free();

private:
    // A chunk's bytes follow kLendKeepMost bytes of room for what a lent
    // block carries over.
    using Chunk = std::unique_ptr<uint8_t[]>;
    static uint8_t* Bytes(const Chunk& chunk) { return chunk.get() + kLendKeepMost; }
    Chunk NewChunk();
    void Recycle(Chunk chunk);

    std::deque<Chunk> chunks_;
    std::vector<Chunk> spare_;
    std::vector<Chunk> lent_;  // lent out whole, back with the next Lend
    uint32_t head_ = 0;  // offset of the first queued byte in chunks_.front()
    uint32_t tail_ = 0;  // bytes filled in chunks_.back()
    uint32_t length_ = 0;
};

struct IdleWait;
class Reporter;

class TunerSource {
public:
    // Start and end messages go to `reporter`.
    explicit TunerSource(Reporter& reporter) : reporter_(reporter) {}
    ~TunerSource();
    TunerSource(const TunerSource&) = delete;
    TunerSource& operator=(const TunerSource&) = delete;

    // Loads the library if needed, creates the driver, opens the tuner and
    // selects space and channel; prints the start message. Returns `loaded`.
    bool Open();
    // Closes the tuner and releases the driver object (end message).
    void Close();
    void LoadDriver();
    void UnloadDriver();
    // Close, free the library and return to the state after construction.
    void Reset();
    // 0 when the reader thread runs, 1 when it could not be started.
    int StartReader();
    // Clears `running` and waits for the reader thread.
    void StopReader();
    // Moves up to `room` bytes from the front of the queue; the count moved.
    uint32_t Take(uint8_t* dest, uint32_t room);
    // TunerQueue::Lend under the queue lock; false while not running.
    bool Lend(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data, uint32_t& length);

    // Queue length now (for observers; taken under the queue lock).
    int32_t QueuedBytes();
    // Waits up to `ms` for queued bytes; whether there are any.
    bool WaitForData(uint32_t ms);

    bool loaded = false;     // library loaded and its factory found
    bool tunerOpen = false;  // OpenTuner succeeded
    std::string dllPath;
    void* module = nullptr;
    IBonDriver* driver = nullptr;
    IBonDriver2* driver2 = nullptr;  // the same object, when it is an IBonDriver2
    CreateBonDriverFn create = nullptr;
    uint32_t space = 0;
    uint32_t channel = 0;
    std::atomic<bool> running{false};
    // The reader found that the driver would not load or the tuner would
    // not open: nothing will ever be queued.
    std::atomic<bool> openFailed{false};
    uint32_t queueLimit = kDefaultTunerQueueLimit;

private:
    static uint32_t ReaderMain(void* self);
    void ReadLoop();
    void AppendFetched(const uint8_t* bytes, uint32_t count);
    void WaitForDriver(IdleWait& idle);
    void WaitForRoom();

    Reporter& reporter_;
    std::mutex queueLock_;  // guards queue_ between the reader and the worker
    std::condition_variable queueFilled_;
    std::condition_variable queueDrained_;  // the worker took bytes
    TunerQueue queue_;
    platform::ThreadHandle thread_;
};

// How the driver object is seen as an IBonDriver2: the compiler's down-cast
// where drivers come from the same compiler, the MSVC type information on
// Windows. Null when it is not one.
IBonDriver2* AsBonDriver2(IBonDriver* driver, void* module);
