// A sender library that sends nothing: it records every call, with its
// arguments, one line each, in the file named by FAKE_SENDER_LOG.
//   FAKE_SENDER_INIT_FAIL  "1": InitializeDLL returns -1
//   FAKE_SENDER_ID         the id InitializeDLL returns (default 7)
// Built without ClearSendBuffDLL when FAKE_SENDER_NO_CLEARBUFF is defined.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "endpoints/sender_api.h"

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

void Record(const std::string& line) {
    const char* path = std::getenv("FAKE_SENDER_LOG");
    if (path == nullptr || *path == 0) return;
    if (FILE* f = std::fopen(path, "ab")) {
        std::fputs((line + "\n").c_str(), f);
        std::fclose(f);
    }
}

std::string Narrow(const SenderChar* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        auto c = static_cast<uint16_t>(*text);
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

// FNV-1a, so the log shows which bytes arrived without holding them.
uint32_t Hash(const uint8_t* data, uint32_t size) {
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    return h;
}

std::string Id(int id) {
    return std::to_string(id);
}

}  // namespace

FAKE_EXPORT int SENDER_CALL InitializeDLL() {
    const char* fail = std::getenv("FAKE_SENDER_INIT_FAIL");
    const char* idText = std::getenv("FAKE_SENDER_ID");
    int id = (fail != nullptr && std::string(fail) == "1") ? -1 : (idText != nullptr ? std::atoi(idText) : 7);
    Record("InitializeDLL " + Id(id));
    return id;
}
FAKE_EXPORT SenderDword SENDER_CALL UnInitializeDLL(int id) {
    Record("UnInitializeDLL " + Id(id));
    return 1;
}
FAKE_EXPORT SenderDword SENDER_CALL AddSendAddrDLL(int id, const SenderChar* host, SenderDword port) {
    Record("AddSendAddrDLL " + Id(id) + " " + Narrow(host) + " " + std::to_string(port));
    return 1;
}
FAKE_EXPORT SenderDword SENDER_CALL ClearSendAddrDLL(int id) {
    Record("ClearSendAddrDLL " + Id(id));
    return 1;
}
FAKE_EXPORT SenderDword SENDER_CALL StartSendDLL(int id) {
    Record("StartSendDLL " + Id(id));
    return 1;
}
FAKE_EXPORT SenderDword SENDER_CALL StopSendDLL(int id) {
    Record("StopSendDLL " + Id(id));
    return 1;
}
FAKE_EXPORT SenderDword SENDER_CALL AddSendDataDLL(int id, uint8_t* data, SenderDword size) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08x", static_cast<unsigned>(Hash(data, size)));
    Record("AddSendDataDLL " + Id(id) + " " + std::to_string(size) + " " + hash);
    return 1;
}
#if !defined(FAKE_SENDER_NO_CLEARBUFF)
FAKE_EXPORT SenderDword SENDER_CALL ClearSendBuffDLL(int id) {
    Record("ClearSendBuffDLL " + Id(id));
    return 1;
}
#endif
