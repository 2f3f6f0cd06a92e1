// Continuity counter rewriting (-rwcntdrop, -rwcntundrop).
#include "engine/stream_job.h"

void ForceDrop(uint8_t*, PidEntry&, StreamContext&, const ReportTexts&, bool&) {}
void HideDrop(uint8_t*, PidEntry&, const StreamContext&, bool, const ReportTexts&, bool&) {}
