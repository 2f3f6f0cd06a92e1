#pragma once
// The lines shown for what the service and event tables and the captions
// found: each ends an open progress line first and leaves the console line
// closed.
#include "caption/caption_stream.h"
#include "tables/stream_context.h"

class Reporter;

// Prints the services whose names changed; returns how many lines.
int PrintServiceLines(Reporter& reporter, StreamContext& context);
// Prints the previous and current event after a move to the next event;
// returns how many lines.
int PrintEventLines(Reporter& reporter, StreamContext& context);
// Prints the caption text when it changed since it was last shown.
void PrintCaptionIfChanged(Reporter& reporter, CaptionStream& caption);
