// Source and sink path recognition shared by the job's checks and the worker.
#include "endpoints/endpoint_path.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string After(const std::string& text, const char* prefix) {
    return text.substr(std::char_traits<char>::length(prefix));
}

void SplitTunerFields(const std::string& rest, SourcePath& out) {
    const std::size_t first = rest.find('\\');
    out.spaceText = rest.substr(0, first);
    if (first == std::string::npos) return;
    const std::size_t second = rest.find('\\', first + 1);
    out.channelText = rest.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (second != std::string::npos) out.driver = rest.substr(second + 1);
}

}  // namespace

SourcePath ParseSourcePath(const std::string& text) {
    SourcePath out;
    const std::size_t semicolon = text.find(';');
    out.path = text.substr(0, semicolon);
    if (semicolon != std::string::npos) out.offsetText = text.substr(semicolon + 1);
    const bool pipe = StartsWith(out.path, kPipePrefix);
    const bool tuner = StartsWith(out.path, kTunerPrefix);
    out.deviceLike = pipe || tuner || StartsWith(out.path, kConsolePath);
    if (out.path.empty()) {
        out.kind = SourceKind::Unusable;
    } else if (out.path == kConsolePath) {
        out.kind = SourceKind::Console;
    } else if (pipe) {
        out.kind = SourceKind::Pipe;
    } else if (tuner) {
        out.kind = SourceKind::Tuner;
        SplitTunerFields(After(out.path, kTunerPrefix), out);
    } else {
        out.kind = SourceKind::File;
    }
    return out;
}

SinkPath ParseSinkPath(const std::string& text) {
    SinkPath out;
    out.path = text;
    if (text.empty()) {
        out.kind = SinkKind::None;
    } else if (text == kConsolePath) {
        out.kind = SinkKind::Console;
    } else if (StartsWith(text, kSenderPrefix)) {
        out.kind = SinkKind::Sender;
        const std::string rest = After(text, kSenderPrefix);
        const std::size_t backslash = rest.find('\\');
        out.address = rest.substr(0, backslash);
        if (backslash != std::string::npos) out.library = rest.substr(backslash + 1);
    } else {
        out.kind = SinkKind::File;
    }
    return out;
}
