#pragma once
// The process-wide state of the network sender sink. Only the worker thread
// touches it while a job runs; the job driver unloads after the worker.
#include <string>
#include <vector>

#include "endpoints/sender_api.h"

struct SendTstcpSink {
    std::string dllPath;  // empty: the default library name
    void* module = nullptr;
    SenderInitializeFn initialize = nullptr;
    SenderUnInitializeFn unInitialize = nullptr;
    SenderAddAddrFn addSendAddr = nullptr;
    SenderClearAddrFn clearSendAddr = nullptr;
    SenderStartFn startSend = nullptr;
    SenderStopFn stopSend = nullptr;
    SenderAddDataFn addSendData = nullptr;
    SenderClearBuffFn clearSendBuff = nullptr;
    SenderReachedFn reached = nullptr;      // optional: null in other libraries
    std::vector<std::string> destinations;  // "HOST:PORT" as added, in order
    bool loaded = false;   // module held and all eight entry points found
    bool sending = false;  // StartSendDLL called, StopSendDLL not yet
};
extern SendTstcpSink SenderSink;

// Loads the library when no module is held; SenderSink.loaded tells the result.
void LoadSender();
// Port text as the sink reads it: leading decimal digits, none gives 0.
uint32_t ParseSenderPort(const std::u16string& text);
