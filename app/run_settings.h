#pragma once
// The process-wide settings read from the command line, and the front end's
// entry points: start-up and shut-down, the command line, the stream job.
#include <cstdint>
#include <optional>
#include <string>

#include "common/byte_buffer.h"
#include "common/limits.h"
#include "engine/job_options.h"
#include "platform/platform.h"

class Reporter;

struct RunSettingsRecord {
    bool log = false;
    bool sync = false;
    bool capstr = false;
    bool detail = false;
    bool sdt = false;
    bool eit = false;
    bool pause = false;
    bool pid = false;
    bool drop = false;
    bool wraparound = false;
    bool loop = false;
    int32_t loopCount = 0;
    uint32_t bufsize = 0;
    uint32_t rwcntundrop = 0;                         // bits 0-15 a PID (0 none), bit 16 captions
    std::optional<std::string> duration;              // -duration value
    std::optional<std::string> rwcntdrop;             // -rwcntdrop value
    std::size_t rwcntdropCursor = std::string::npos;  // into rwcntdrop; npos: used up
    bool nodel = false;
    int32_t patchtime = 0;
    char currentInput[kMaxPath] = {};
    char logpath[kMaxPath] = {};
    char throughpath[kMaxPath] = {};
    char jsonpath[kMaxPath] = {};  // -jsonpath: the run's report; empty: none
};
extern RunSettingsRecord RunSettings;

// Jobs whose output or log path was refused, or whose output could not be
// created or written: any of them makes the run's exit status a failure.
extern int32_t FailedJobs;
// Every input of the command line (NUL-separated), while the passes run: a
// job's output must not overwrite a later job's input either.
extern const ByteBuffer* CommandLineInputs;
// The reports of the jobs run so far, kept while -jsonpath asks for them.
struct JobReport;
void KeepJobReport(JobReport report);

// Jobs that carried at least one packet; a -loop pass without one waits
// before the next pass instead of spinning.
extern int32_t ServedJobs;

// Process support.
void StartUp(Reporter& reporter);
void ShutDown();
// Ctrl+C (event 0) and closing (2) request the stop, with a notice on the
// console; other events are declined.
bool ConsoleControlHandler(Reporter& reporter, uint32_t event);
// Routes the process's control events to ConsoleControlHandler.
void InstallControlHandler(Reporter& reporter);

// Command line: fills RunSettings and appends the input paths (each with its
// NUL) to inputList. Returns false when a value was refused (the notice has
// been printed).
bool ParseCommandLine(Reporter& reporter, int argc, char** argv, ByteBuffer& inputList);
// The whole program; returns the exit code.
int32_t RunMain(Reporter& reporter, int argc, char** argv);

// Before the passes: names each regular file that two or more jobs would
// write, once; those jobs are then refused.
void FindSharedOutputs(Reporter& reporter, const ByteBuffer& inputList);
// One input (RunSettings.currentInput) as one job; returns its drop total.
int32_t RunJob(Reporter& reporter);
// What the engine reads of the settings, for one job.
JobOptions JobOptionsFromSettings();
bool IsTransportStreamFile(const char* path);
// 188, 192 or 0. Leaves the position just after the first packet on success.
int ProbePacketSize(platform::FileHandle file, int64_t offset, platform::SeekFrom from);
