#pragma once
// Tuner source: a tuner driver library, a reader thread that pulls the
// stream from the driver into a queue, and the worker's side of the queue.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/byte_buffer.h"
#include "endpoints/bon_driver.h"
#include "platform/platform.h"

inline constexpr uint32_t kDefaultTunerQueueLimit = 940;

class TunerSource {
public:
    TunerSource() = default;
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

    // Queue length now (for observers; taken under the queue lock).
    int32_t QueuedBytes();

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
    uint32_t queueLimit = kDefaultTunerQueueLimit;

private:
    static uint32_t ReaderMain(void* self);
    void ReadLoop();
    void AppendFetched(const uint8_t* bytes, uint32_t count);

    std::mutex queueLock_;  // guards queue_ between the reader and the worker
    ByteBuffer queue_;
    platform::ThreadHandle thread_;
};

// How the driver object is seen as an IBonDriver2: the compiler's down-cast
// where drivers come from the same compiler, the MSVC type information on
// Windows. Null when it is not one.
IBonDriver2* AsBonDriver2(IBonDriver* driver, void* module);
