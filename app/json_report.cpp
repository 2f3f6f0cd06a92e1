// The run's report as a JSON document, and its safe writing.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/job_report.h"
#include "platform/platform.h"
#include "platform/version_strings.h"
#include "report/symbol_escapes.h"
#include "report/utf8_text.h"

namespace {

using Json = nlohmann::ordered_json;

const char* ResultName(JobResult result) {
    switch (result) {
        case JobResult::Ok:
            return "ok";
        case JobResult::Stopped:
            return "stopped";
        case JobResult::InputMissing:
            return "input_missing";
        case JobResult::NotTs:
            return "not_ts";
        case JobResult::InputFailed:
            return "input_failed";
        case JobResult::TunerFailed:
            return "tuner_failed";
        case JobResult::OutputFailed:
            return "output_failed";
        case JobResult::Refused:
            return "refused";
    }
    return "ok";
}

bool IsValidUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int length = c < 0x80 ? 1 : (c >> 5) == 0x06 ? 2 : (c >> 4) == 0x0E ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || (length > 1 && c < 0xC2) || i + length > text.size()) return false;
        for (int k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += static_cast<std::size_t>(length);
    }
    return true;
}

std::string Utf16ToUtf8(const std::u16string& wide) {
    std::string out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        uint32_t code = wide[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, code);
    }
    return out;
}

// A path as the user typed it: kept when it is UTF-8 already, else taken
// as the system's multibyte text.
std::string PathText(const std::string& path) {
    if (IsValidUtf8(path)) return path;
    std::u16string wide;
    if (platform::AnsiToUtf16(path, wide)) return Utf16ToUtf8(wide);
    return path;  // the writer replaces what is still no UTF-8
}

// Broadcast text as a UTF-8 console shows it: symbols as their characters.
std::string TextOf(const std::string& cp932) {
    std::string text = Cp932TextForUtf8(cp932.data(), cp932.size());
    ReplaceSymbolEscapes(text);
    return text;
}

Json Iso8601(const std::optional<DateTime>& time) {
    if (!time) return nullptr;
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u+09:00", time->year, time->month, time->day,
                  time->hour, time->minute, time->second);
    return text;
}

template <typename T>
Json OrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json PidObject(const PidReport& pid) {
    return Json{{"pid", pid.pid},
                {"kind", pid.kind},
                {"packets", pid.packets},
                {"drops", pid.drops},
                {"counted", pid.counted},
                {"scrambled", pid.scrambled},
                {"transport_errors", pid.transportErrors}};
}

Json TablesOf(const JobReport& job, Json& events) {
    Json services = Json::array();
    for (const ServiceReport& service : job.services) {
        services.push_back({{"service_id", service.serviceId}, {"name", TextOf(service.name)}});
    }
    for (const EventReport& event : job.events) {
        events.push_back({{"service_id", event.serviceId},
                          {"event_id", event.eventId},
                          {"start", Iso8601(event.start)},
                          {"duration_s", OrNull(event.durationSeconds)},
                          {"name", TextOf(event.name)}});
    }
    return services;
}

Json JobObject(const JobReport& job) {
    Json pids = Json::array();
    for (const PidReport& pid : job.pids)
        pids.push_back(PidObject(pid));
    Json events = Json::array();
    Json services = TablesOf(job, events);
    return Json{
        {"input", PathText(job.input)},
        {"start_offset", job.startOffset},
        {"output", job.output ? Json(PathText(*job.output)) : Json(nullptr)},
        {"result", ResultName(job.result)},
        {"bytes_read", job.bytesRead},
        {"packet_size", job.packetSize != 0 ? Json(job.packetSize) : Json(nullptr)},
        {"packets", job.packets},
        {"packets_written", job.packetsWritten},
        {"drops", job.drops},
        {"drops_not_counted", job.dropsNotCounted},
        {"pids", std::move(pids)},
        {"pcr", {{"first", OrNull(job.firstPcr)}, {"last", OrNull(job.lastPcr)}, {"elapsed_ms", job.pcrElapsedMs}}},
        {"broadcast_time", {{"first", Iso8601(job.firstBroadcastTime)}, {"last", Iso8601(job.lastBroadcastTime)}}},
        {"services", std::move(services)},
        {"events", std::move(events)},
        {"captions", job.captions},
        {"wrap_around", Iso8601(job.wrapAround)}};
}

}  // namespace

std::string FormatRunReport(const RunReport& report) {
    Json jobs = Json::array();
    for (const JobReport& job : report.jobs)
        jobs.push_back(JobObject(job));
    const Json document{{"program", "trelvan"},
                        {"version", TRELVAN_VERSION_TEXT},
                        {"exit_status", report.exitStatus},
                        {"stopped", report.stopped},
                        {"jobs", std::move(jobs)}};
    // A text that is still no UTF-8 after its conversion is mended rather
    // than left to make the whole document unreadable.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool WriteRunReport(const char* path, const std::string& document) {
    const std::string temporary = std::string(path) + "." + std::to_string(platform::ProcessId()) + ".tmp";
    // A name that is taken may be a link or someone's file: it is left alone.
    const platform::FileHandle file = platform::CreateNewFile(temporary.c_str());
    if (file == platform::kInvalidFile) return false;
    bool written = true;
    for (std::size_t done = 0; written && done < document.size();) {
        uint32_t count = 0;
        written = platform::WriteFile(file, document.data() + done,
                                      static_cast<uint32_t>(std::min<std::size_t>(document.size() - done, 1u << 20)),
                                      count) &&
                  count > 0;
        done += count;
    }
    platform::CloseFile(file);
    if (written && platform::RenameReplacing(temporary.c_str(), path)) return true;
    platform::RemoveFile(temporary.c_str());
    return false;
}
