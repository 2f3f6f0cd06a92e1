#pragma once
// The machine-readable report of a run (-jsonpath): what each job found,
// gathered after the job, written as one JSON document when the run ends.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/date_time.h"

struct StreamSlot;

enum class JobResult { Ok, Stopped, InputMissing, NotTs, InputFailed, TunerFailed, OutputFailed, Refused };

struct PidReport {
    uint16_t pid = 0;
    std::string kind;
    int64_t packets = 0;
    int64_t drops = 0;
    bool counted = true;
    int64_t scrambled = 0;
    int64_t transportErrors = 0;
};

struct ServiceReport {
    uint16_t serviceId = 0;
    std::string name;  // code page 932
};

struct EventReport {
    uint16_t serviceId = 0;
    uint16_t eventId = 0;
    std::optional<DateTime> start;
    std::optional<int64_t> durationSeconds;
    std::string name;  // code page 932
};

struct JobReport {
    std::string input;  // as given, without ";offset"
    int64_t startOffset = 0;
    std::optional<std::string> output;
    JobResult result = JobResult::Ok;
    int64_t bytesRead = 0;
    int32_t packetSize = 0;  // 0: none was found
    int64_t packets = 0;
    int64_t packetsWritten = 0;
    int64_t drops = 0;
    int64_t dropsNotCounted = 0;
    std::vector<PidReport> pids;
    std::optional<uint64_t> firstPcr;
    std::optional<uint64_t> lastPcr;
    int64_t pcrElapsedMs = 0;
    std::optional<DateTime> firstBroadcastTime;
    std::optional<DateTime> lastBroadcastTime;
    std::optional<DateTime> wrapAround;
    std::vector<ServiceReport> services;
    std::vector<EventReport> events;
    int64_t captions = 0;
};

struct RunReport {
    int32_t exitStatus = 0;
    bool stopped = false;
    std::vector<JobReport> jobs;
};

// Whether a PID's drops stay out of the total and the exit code: a PCR-only
// PID, whose counter may repeat or skip, and the null PID, whose counter
// carries no meaning.
bool DropsNotCounted(const StreamSlot& slot, uint16_t pid);
// What the slot of a finished job holds, for its report; `input` and
// `output` as the job was given them.
JobReport ReportOfJob(const StreamSlot& slot, const std::string& input, const std::string& output);
// The document, UTF-8, ending in a line feed.
std::string FormatRunReport(const RunReport& report);
// Writes the document through a temporary file beside `path` and a rename,
// so that a reader never sees half of it. False when it could not.
bool WriteRunReport(const char* path, const std::string& document);
