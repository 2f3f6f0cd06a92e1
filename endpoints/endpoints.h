#pragma once
// Outside components: the tuner driver source, the network sender sink and
// the list of viewer plug-ins.
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/limits.h"
#include "platform/platform.h"

class Reporter;

// ---- Plug-in list ------------------------------------------------------------
struct PluginEntry {
    bool loaded = false;
    bool started = false;
    char path[kMaxPath] = {};
    PluginEntry* next = nullptr;
};
extern PluginEntry* PluginList;  // head; null when empty
PluginEntry* AddPluginPath(const char* path);
void OfferPacketToPlugins(PluginEntry* list, const uint8_t* packet);
void NotifyPlugins(PluginEntry* list);
void ReleasePlugins();

// ---- Sender sink -------------------------------------------------------------
// Loads the library if needed, creates an instance, adds the destinations of
// the address text (lines of host:port) and starts sending. The instance id,
// or -1. Prints the start message unless progress is switched off.
int32_t StartSender(Reporter& reporter, const std::u16string& address);
void StopSender(Reporter& reporter, int32_t id);
// After the stop: names each destination that never connected, and whether
// the stream reached any (true too when the library cannot tell).
bool SenderReachedAnyone(Reporter& reporter, int32_t id);
void SenderUninitialize(int32_t id);
// Hands a block to the instance; false when there is no data entry point.
bool SenderHasDataEntry();
void SenderSendData(int32_t id, const uint8_t* data, uint32_t size);
void UnloadSender();
// Splits one destination "HOST:PORT" at its first colon, or "[IPV6]:PORT"
// behind the bracket (the host then comes without brackets). Either part may
// come back empty; an unclosed bracket gives no host.
template <typename Text>
void SplitSenderDestination(const Text& line, Text& host, Text& port) {
    using Char = typename Text::value_type;
    host.clear();
    port.clear();
    if (!line.empty() && line[0] == Char('[')) {
        const std::size_t close = line.find(Char(']'));
        if (close == Text::npos) return;
        host = line.substr(1, close - 1);
        if (close + 1 < line.size() && line[close + 1] == Char(':')) port = line.substr(close + 2);
        return;
    }
    const std::size_t colon = line.find(Char(':'));
    host = line.substr(0, colon);
    if (colon != Text::npos) port = line.substr(colon + 1);
}
// Library path for the next start (empty: the default name).
void SetSenderLibraryPath(const char* path);
// The sender library's file name as this platform's build makes it.
#if defined(_WIN32)
inline constexpr const char* kSenderLibraryName = "SendTSTCP.dll";
#else
inline constexpr const char* kSenderLibraryName = "SendTSTCP.so";
#endif
// The library file a sender path's library part names. A name without a
// folder is looked for beside the program and then where an install puts it,
// lib/trelvan beside the program's folder; the first that exists is taken,
// else the name as given. A path with a folder is taken as it is.
std::string FindSenderLibrary(const std::string& library, const std::string& programPath);
// The same beside the running program.
std::string FindSenderLibrary(const std::string& library);

// ---- Tuner source ------------------------------------------------------------
class TunerSource;
// Created by the worker for a tuner path; owns the driver and reader thread.
// Its messages go to `reporter`.
TunerSource* CreateTunerSource(Reporter& reporter);
void DestroyTunerSource(TunerSource* tuner);
// Sets space, channel, driver path and queue limit, then starts the reader.
void StartTuner(TunerSource& tuner, uint32_t space, uint32_t channel, const char* driverPath, uint32_t queueLimit);
// Moves up to `room` queued bytes into dest; returns the count (0: none now).
uint32_t TakeFromTuner(TunerSource& tuner, uint8_t* dest, uint32_t room);
// The driver did not load or the tuner did not open: nothing will come.
bool TunerFailedToOpen(const TunerSource& tuner);
// Lends the queued bytes in place, led by the `keep` bytes at `keepFrom`
// (see PacketSource::LendBlock); false when none are queued.
bool LendFromTuner(TunerSource& tuner, const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data, uint32_t& length);
// Waits up to `ms` for the reader to queue bytes; whether any are queued.
bool WaitForTunerData(TunerSource& tuner, uint32_t ms);
// End of the worker: stops the reader, closes and releases the driver.
void StopTuner(TunerSource& tuner);
