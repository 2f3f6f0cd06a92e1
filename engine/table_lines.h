#pragma once
// The lines shown for what the service and event tables and the captions
// found: each ends an open progress line first and leaves the console line
// closed.
#include "caption/caption_stream.h"
#include "tables/stream_context.h"

// Prints the services whose names changed; returns how many lines.
int PrintServiceLines(StreamContext& context);
// Prints the previous and current event after a move to the next event;
// returns how many lines.
int PrintEventLines(StreamContext& context);
// Prints the caption text when it changed since it was last shown.
void PrintCaptionIfChanged(CaptionStream& caption);
