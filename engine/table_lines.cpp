#include "engine/table_lines.h"

#include <cstring>
#include <string>

#include "caption/caption.h"
#include "common/limits.h"
#include "report/report.h"

namespace {

// The size hints leave room for the whole text: names are never cut.
void PrintEvent(Reporter& reporter, const EventLines& event, int& lines) {
    if (event.name) {
        if (lines == 0) reporter.EndProgressLine();
        const DateTime& start = event.start;
        const DateTime& duration = event.duration;
        reporter.PrintMessage(0, "%04d/%02d/%02d %02d:%02d:%02d\r\n", start.year, start.month, start.day, start.hour,
                              start.minute, start.second);
        reporter.PrintMessage(0, "%d:%02d:%02d\r\n", duration.hour, duration.minute, duration.second);
        reporter.PrintMessage(static_cast<int32_t>(event.name->size()) + 8, "%s\r\n", event.name->c_str());
        lines += 3;
    }
    if (event.text) {
        if (lines == 0) reporter.EndProgressLine();
        reporter.PrintMessage(static_cast<int32_t>(event.text->size()) + 8, "%s\r\n", event.text->c_str());
        lines += 1;
    }
}

}  // namespace

int PrintServiceLines(Reporter& reporter, StreamContext& context) {
    int lines = 0;
    for (const ServiceLine& line : ChangedServiceLines(context)) {
        if (lines == 0) reporter.EndProgressLine();
        const int32_t size = static_cast<int32_t>(line.provider.size() + line.service.size()) + 16;
        reporter.PrintMessage(size, "0x%04x %s%s%s%s\r\n", line.serviceId, line.provider.c_str(),
                              line.provider.empty() ? "" : " ", line.service.c_str(), line.service.empty() ? "" : " ");
        ++lines;
    }
    if (lines > 0) reporter.MarkConsoleLineClosed(true);
    return lines;
}

int PrintEventLines(Reporter& reporter, StreamContext& context) {
    int lines = 0;
    for (const EventLines& event : TakeEventLines(context))
        PrintEvent(reporter, event, lines);
    if (lines > 0) reporter.MarkConsoleLineClosed(true);
    return lines;
}

void PrintCaptionIfChanged(Reporter& reporter, CaptionStream& caption) {
    std::string text;
    if (!TakeChangedCaptionText(caption, text)) return;
    reporter.PrintNotice(static_cast<int32_t>(text.size()) + kTextSlack, "%s\r\n", text.c_str());
}
