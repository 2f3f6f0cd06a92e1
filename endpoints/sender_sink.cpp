// Network sender sink: the outside sender library, loaded at run time, takes
// the output stream and sends it to the destinations of the output path.
#include "endpoints/sender_sink.h"

#include <string>

#include "common/text.h"
#include "endpoints/endpoints.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/reporter.h"

SendTstcpSink SenderSink;

namespace {

template <typename Fn>
bool Lookup(void* module, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(platform::FindSymbol(module, name));
    return slot != nullptr;
}

void AddDestinations(int32_t id, const std::u16string& address) {
    std::size_t start = 0;
    while (start <= address.size()) {
        std::size_t end = address.find(u'\n', start);
        const bool lineFeed = end != std::u16string::npos;
        if (!lineFeed) end = address.size();
        std::u16string line = address.substr(start, end - start);
        // Only a CR that belongs to a CR LF pair is a line break; a CR at the
        // very end of the text stays part of the last line.
        if (lineFeed && !line.empty() && line.back() == u'\r') line.pop_back();
        std::u16string host;
        std::u16string portText;
        SplitSenderDestination(line, host, portText);
        if (!host.empty() && !portText.empty()) {
            uint32_t port = ParseSenderPort(portText);
            std::basic_string<SenderChar> wideHost(host.begin(), host.end());
            SenderSink.addSendAddr(id, wideHost.c_str(), port);
            std::string named;
            if (!platform::Utf16ToAnsi(line, named)) named.clear();
            SenderSink.destinations.push_back(named);
        }
        start = end + 1;
    }
}

}  // namespace

uint32_t ParseSenderPort(const std::u16string& text) {
    uint64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') break;
        value = value * 10 + static_cast<uint64_t>(c - u'0');
        if (value > UINT32_MAX) return UINT32_MAX;  // saturate rather than wrap to a wrong port
    }
    return static_cast<uint32_t>(value);
}

std::string FindSenderLibrary(const std::string& library, const std::string& programPath) {
    PathParts named;
    PathParts program;
    if (library.empty() || !SplitPath(library.c_str(), named) || !named.drive.empty() || !named.dir.empty() ||
        !SplitPath(programPath.c_str(), program) || program.drive.size() + program.dir.size() == 0) {
        return library;
    }
    const std::string folder = program.drive + program.dir;
    const std::string separator(1, platform::PathSeparator());
    const std::string installed = folder + ".." + separator + "lib" + separator + "trelvan" + separator + library;
    for (const std::string& candidate : {folder + library, installed}) {
        if (platform::PathExists(candidate.c_str())) return candidate;
    }
    return library;
}

std::string FindSenderLibrary(const std::string& library) {
    return FindSenderLibrary(library, platform::ExecutablePath());
}

void SetSenderLibraryPath(const char* path) {
    SenderSink.dllPath = path != nullptr ? path : "";
}

void LoadSender() {
    SendTstcpSink& s = SenderSink;
    if (s.module != nullptr) return;
    s.sending = false;
    s.module = platform::OpenLibrary(FindSenderLibrary(s.dllPath.empty() ? kSenderLibraryName : s.dllPath).c_str());
    if (s.module == nullptr) return;
    // Every entry point is looked up, even the one never called, so that a
    // library of another shape is refused as a whole.
    bool all = true;
    all &= Lookup(s.module, "InitializeDLL", s.initialize);
    all &= Lookup(s.module, "UnInitializeDLL", s.unInitialize);
    all &= Lookup(s.module, "AddSendAddrDLL", s.addSendAddr);
    all &= Lookup(s.module, "ClearSendAddrDLL", s.clearSendAddr);
    all &= Lookup(s.module, "StartSendDLL", s.startSend);
    all &= Lookup(s.module, "StopSendDLL", s.stopSend);
    all &= Lookup(s.module, "AddSendDataDLL", s.addSendData);
    all &= Lookup(s.module, "ClearSendBuffDLL", s.clearSendBuff);
    Lookup(s.module, "ReachedSendAddrDLL", s.reached);
    if (all) {
        s.loaded = true;
    } else {
        UnloadSender();
    }
}

namespace {

int32_t StartSenderInstance(const std::u16string& address) {
    if (address.empty()) return -1;
    // One instance per job: a library still loaded from an earlier start
    // means a second start, which is refused.
    if (SenderSink.loaded) return -1;
    LoadSender();
    if (!SenderSink.loaded) return -1;
    int32_t id = SenderSink.initialize();
    if (id == -1) return -1;
    SenderSink.destinations.clear();
    AddDestinations(id, address);
    SenderSink.startSend(id);
    SenderSink.sending = true;
    return id;
}

}  // namespace

int32_t StartSender(Reporter& reporter, const std::u16string& address) {
    int32_t id = StartSenderInstance(address);
    if (reporter.ProgressOn()) {
        std::string ansi;
        if (!platform::Utf16ToAnsi(address, ansi)) ansi.clear();
        reporter.PrintMessage(static_cast<int32_t>(ansi.size()) + 260, "－ SendTSTCP.dll 開始%s %s\n",
                              id != -1 ? "成功" : "失敗", ansi.c_str());
    }
    return id;
}

void StopSender(Reporter& reporter, int32_t id) {
    if (!SenderSink.loaded || !SenderSink.sending || id == -1) return;
    SenderSink.clearSendAddr(id);
    SenderSink.stopSend(id);
    SenderSink.sending = false;
    if (reporter.ProgressOn()) reporter.PrintMessage(0, "－ SendTSTCP.dll 終了%d\n", id);
}

bool SenderReachedAnyone(Reporter& reporter, int32_t id) {
    if (SenderSink.reached == nullptr || id == -1 || SenderSink.destinations.empty()) return true;
    bool anyone = false;
    for (std::size_t i = 0; i < SenderSink.destinations.size(); ++i) {
        const SenderDword state = SenderSink.reached(id, static_cast<SenderDword>(i));
        anyone |= state != 0;
        if (state == 0) {
            const std::string& named = SenderSink.destinations[i];
            reporter.PrintNotice(static_cast<int32_t>(named.size()) + 260, "－ SendTSTCP送信先に接続できませんでした %s\n",
                                 named.c_str());
        }
    }
    return anyone;
}

void SenderUninitialize(int32_t id) {
    if (SenderSink.unInitialize != nullptr && id != -1) SenderSink.unInitialize(id);
}

bool SenderHasDataEntry() {
    return SenderSink.addSendData != nullptr;
}

void SenderSendData(int32_t id, const uint8_t* data, uint32_t size) {
    if (SenderSink.addSendData == nullptr || id == -1 || data == nullptr || size == 0) return;
    // The published prototype takes a non-const pointer; the library copies
    // the block and does not write to it.
    SenderSink.addSendData(id, const_cast<uint8_t*>(data), size);
}

void UnloadSender() {
    SendTstcpSink& s = SenderSink;
    s.loaded = false;
    s.sending = false;
    if (s.module != nullptr) {
        platform::CloseLibrary(s.module);
        s.module = nullptr;
    }
    s.initialize = nullptr;
    s.unInitialize = nullptr;
    s.addSendAddr = nullptr;
    s.clearSendAddr = nullptr;
    s.startSend = nullptr;
    s.stopSend = nullptr;
    s.addSendData = nullptr;
    s.clearSendBuff = nullptr;
    s.reached = nullptr;
    s.destinations.clear();
}
