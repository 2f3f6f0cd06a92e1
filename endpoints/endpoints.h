#pragma once
// Outside components: the tuner driver source, the network sender sink and
// the list of viewer plug-ins.
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/limits.h"
#include "platform/platform.h"

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
// or -1. Prints the start message.
int32_t StartSender(const std::u16string& address);
void StopSender(int32_t id);
void SenderUninitialize(int32_t id);
// Hands a block to the instance; false when there is no data entry point.
bool SenderHasDataEntry();
void SenderSendData(int32_t id, const uint8_t* data, uint32_t size);
void UnloadSender();
// Library path for the next start (empty: the default name).
void SetSenderLibraryPath(const char* path);

// ---- Tuner source ------------------------------------------------------------
class TunerSource;
// Created by the worker for a tuner path; owns the driver and reader thread.
TunerSource* CreateTunerSource();
void DestroyTunerSource(TunerSource* tuner);
// Sets space, channel, driver path and queue limit, then starts the reader.
void StartTuner(TunerSource& tuner, uint32_t space, uint32_t channel, const char* driverPath, uint32_t queueLimit);
// Moves up to `room` queued bytes into dest; returns the count (0: none now).
uint32_t TakeFromTuner(TunerSource& tuner, uint8_t* dest, uint32_t room);
// End of the worker: stops the reader, closes and releases the driver.
void StopTuner(TunerSource& tuner);
