#pragma once
// Captions: PES gathering, data groups, statement text and its output.
#include <cstdint>

#include "caption/arib_decoder.h"
#include "caption/caption_stream.h"

struct StreamContext;
struct PidEntry;

// Gathers the caption PES of this packet's PID and, once complete, decodes
// its statement text into the stream's decoder. True when a data group of a
// completed PES was valid (also while a PES is being gathered).
bool ProcessCaptionPacket(const uint8_t* packet, CaptionStream& caption, StreamContext& context, PidEntry& entry);
// Prints the stored text when it changed, and clears the changed flag.
void PrintCaptionIfChanged(CaptionStream& caption);
// CRC-16/XMODEM of [first, end).
uint16_t Crc16(const uint8_t* first, const uint8_t* end);
