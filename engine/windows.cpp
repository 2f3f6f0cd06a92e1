// Time windows (-duration).
#include "engine/stream_job.h"

TimeOfDay ParseTimeOfDay(const char*) { return {}; }
uint64_t TimeOfDayTicks(const TimeOfDay&) { return 0; }
DurationWindow NextWindow(const std::string&, std::size_t& cursor) { cursor = std::string::npos; return {}; }
void OpenWindows(WindowState&, const std::optional<std::string>&) {}
bool InsideWindow(WindowState&, StreamContext&) { return true; }
bool WindowsEnded(const WindowState&, StreamContext&) { return false; }
