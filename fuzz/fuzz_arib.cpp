// DecodeAribText on arbitrary bytes. The first byte picks the profile and
// writing format; the decoder state carries over between two calls, as it
// does for a caption stream. The decoded text, and the raw bytes as well,
// then have their symbol escapes replaced as for UTF-8 output.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "caption/arib_decoder.h"
#include "report/symbol_escapes.h"

// An eight-byte escape becomes a character of at most four bytes; text
// without escapes stays as it is.
static void CheckEscapesReplaced(const std::string& text) {
    std::string replaced = text;
    ReplaceSymbolEscapes(replaced);
    if (replaced.size() > text.size()) __builtin_trap();
    if (text.find("&#x") == std::string::npos && replaced != text) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    AribDecoder decoder;
    static const int16_t kProfiles[] = {-1, 0, 1, 2};
    decoder.profile = kProfiles[data[0] & 3];
    decoder.writingFormat = (data[0] & 4) != 0 ? 14 : 0;
    ResetDecoder(decoder);
    const uint8_t* text = data + 1;
    const std::size_t length = size - 1;
    const std::size_t half = length / 2;
    std::string out;
    for (const auto& [first, count] : {std::pair{text, half}, std::pair{text + half, length - half}}) {
        // Exact-size copies let the sanitizer see any read past the text.
        uint8_t* copy = new uint8_t[count > 0 ? count : 1];
        if (count > 0) std::memcpy(copy, first, count);
        const bool produced = DecodeAribText(copy, static_cast<int32_t>(count), decoder, out);
        delete[] copy;
        if (produced != !out.empty()) __builtin_trap();
        if (out.find('\0') != std::string::npos) __builtin_trap();
        if (decoder.gl < 0 || decoder.gl > 3 || decoder.gr < 0 || decoder.gr > 3) __builtin_trap();
        CheckEscapesReplaced(out);
    }
    CheckEscapesReplaced(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
