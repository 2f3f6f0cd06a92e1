#include "report/utf8_text.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "platform/platform.h"

namespace {

// End of the run of non-ASCII characters that starts at `from`; a lead
// byte takes its trail byte along even when that lies in the ASCII range.
std::size_t NonAsciiRunEnd(const char* text, std::size_t length, std::size_t from) {
    std::size_t i = from;
    while (i < length && static_cast<unsigned char>(text[i]) >= 0x80) {
        i += IsCp932LeadByte(static_cast<unsigned char>(text[i])) && i + 1 < length ? 2 : 1;
    }
    return i;
}

// Progress lines come once per packet and are ASCII but for a few of the
// program's own characters, so converted runs are remembered; the last one
// is looked at first without building a key.
bool ConvertRun(std::string_view run, std::string& out) {
    constexpr std::size_t kRemembered = 256;
    thread_local std::string lastRun;
    thread_local std::string lastConverted;
    thread_local std::unordered_map<std::string, std::string> remembered;
    if (run == lastRun) {
        out += lastConverted;
        return true;
    }
    std::string key(run);
    auto found = remembered.find(key);
    if (found == remembered.end()) {
        std::string converted;
        if (!platform::Cp932ToUtf8(key, converted)) return false;
        if (remembered.size() >= kRemembered) remembered.clear();
        found = remembered.emplace(key, std::move(converted)).first;
    }
    lastRun = found->first;
    lastConverted = found->second;
    out += lastConverted;
    return true;
}

}  // namespace

// Code page 932 keeps no shift state and its ASCII bytes stand for
// themselves, so the text converts run by run, cut only between characters,
// to the same bytes as in one piece.
void Cp932TextForUtf8(const char* text, std::size_t length, std::string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < length) {
        std::size_t end = AsciiRunEnd(text, length, i);
        out.append(text + i, end - i);
        if (end == length) break;
        i = NonAsciiRunEnd(text, length, end);
        if (!ConvertRun(std::string_view(text + end, i - end), out)) {
            out.assign(text, length);
            return;
        }
    }
}

std::string Cp932TextForUtf8(const char* text, std::size_t length) {
    std::string out;
    Cp932TextForUtf8(text, length, out);
    return out;
}
