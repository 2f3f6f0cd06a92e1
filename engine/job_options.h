#pragma once
// What one stream job is asked to do: the part of the command line the
// engine reads, handed over by the front end with each job.
#include <cstdint>
#include <optional>
#include <string>

constexpr uint32_t kUndropCaption = 0x10000u;
// Entries of -rwcntdrop are separated by either: the usage text shows ";",
// earlier command lines used ",".
constexpr char kDropListSeparators[] = ",;";

struct JobOptions {
    bool sync = false;
    bool capstr = false;
    bool sdt = false;
    bool eit = false;
    bool drop = false;
    bool wraparound = false;
    // Gather what the job's report needs: per-PID counts, services, events
    // and captions, also where their console lines are off.
    bool report = false;
    uint32_t bufsize = 0;
    uint32_t rwcntundrop = 0;              // bits 0-15 a PID (0 none), bit 16 captions
    int32_t patchtime = 0;                 // seconds; 0: no patch-time report
    std::optional<std::string> duration;   // -duration value
    std::optional<std::string> rwcntdrop;  // -rwcntdrop value
};
