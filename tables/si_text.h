#pragma once
// Decoding of SI name texts into their AribDecoder slots.
#include <cstdint>
#include <string>

#include "caption/arib_decoder.h"

namespace tables_detail {

// Decodes `length` bytes into the slot from the decoder's initial state.
// A non-empty text is stored with change detection (the slot's changed flag
// then tells whether it differs from what the slot held) and returned in
// `text`; an empty or undecodable one leaves the slot as it was.
inline bool DecodeIntoSlot(const uint8_t* bytes, int32_t length, AribDecoder& slot, std::string& text) {
    text.clear();
    if (length <= 0) return false;
    ResetDecoder(slot);
    if (!DecodeAribText(bytes, length, slot, text) || text.empty()) return false;
    slot.text.compare = 1;
    slot.text.AssignText(text.c_str());
    return true;
}

// Stores an already decoded text in another slot, with change detection.
inline void AssignToSlot(const std::string& text, AribDecoder& slot) {
    slot.text.compare = 1;
    slot.text.AssignText(text.c_str());
}

}  // namespace tables_detail
