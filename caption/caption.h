#pragma once
// Captions: data groups of a complete caption PES, their statement text, and
// the text waiting to be shown. Gathering the PES from packets is the
// transport layer's business (tables/).
#include <cstdint>
#include <string>

#include "caption/arib_decoder.h"
#include "caption/caption_stream.h"
#include "common/byte_buffer.h"

// Walks the complete PES that starts at `startOffset` in `buffer` and decodes
// its statement text into the caption's decoder. Unit loop offsets are kept
// relative to the buffer's start. True when a data group of non-zero size
// passed its CRC.
bool ParseCaptionPes(const ByteBuffer& buffer, int32_t startOffset, CaptionStream& caption);
// The stored text when it changed since it was last taken (the changed flag
// is then cleared); false when there is nothing new to show.
bool TakeChangedCaptionText(CaptionStream& caption, std::string& text);
// Whether TakeChangedCaptionText would hand a text over now.
bool CaptionTextChanged(const CaptionStream& caption);
// Forgets the change without taking the text: the next change is a new one.
void DropCaptionChange(CaptionStream& caption);
// CRC-16/XMODEM of [first, end).
uint16_t Crc16(const uint8_t* first, const uint8_t* end);
