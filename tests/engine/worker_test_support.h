#pragma once
// Runs the stream worker in-process on files and captures its messages
// through a log file of its own reporter, so that tests see the exact bytes
// printed.
#include <memory>
#include <string>

#include "app/run_settings.h"
#include "common/process_state.h"
#include "common/text.h"
#include "endpoints/endpoints.h"
#include "engine/stream_job.h"
#include "report/report.h"
#include "tests/support/stream_builder.h"

namespace worker_test {

// A reporter whose messages go to a fresh log file only; the console stays
// quiet.
struct CapturedRun {
    std::string log;
    ProcessConsole console;
    Reporter reporter{console};
    CapturedRun() {
        RunSettings = RunSettingsRecord{};
        log = tsb::TempPath("messages.log");
        platform::RemoveFile(log.c_str());
        reporter.SetLog(true, log.c_str());
        reporter.MarkConsoleLineClosed(true);
    }
    ~CapturedRun() {
        platform::RemoveFile(log.c_str());
        RunSettings = RunSettingsRecord{};
    }
    // The log as it stands after the next flush point.
    std::string Messages() {
        reporter.FlushStdout();
        const tsb::Bytes bytes = tsb::ReadFileBytes(log);
        return std::string(bytes.begin(), bytes.end());
    }
};

// The job takes its options from RunSettings, as the front end fills them.
struct WorkerRun {
    StreamJob job;
    uint32_t result = 0;

    // `plugins`: the job's plug-in list, which takes every packet the whole
    // way through the worker's steps; `tallied`: the job counts for a report.
    WorkerRun(Reporter& reporter, const std::string& input, const std::string& output, PluginEntry* plugins = nullptr,
              bool tallied = false) {
        job.reporter = &reporter;
        job.slot.inputPath = input;
        job.slot.outputPath = output;
        job.options = JobOptionsFromSettings();
        job.dropCursor = RunSettings.rwcntdropCursor;
        job.plugins = plugins;
        if (tallied) {
            job.slot.tally = std::make_unique<StreamTally>();
        }
        result = StreamWorker(&job);
    }
    const StreamContext* Context() const {
        return job.slot.contexts.empty() ? nullptr : job.slot.contexts.front().get();
    }
    const PidEntry* Entry(uint16_t pid) const { return Context() != nullptr ? Context()->pids.Find(pid) : nullptr; }
};

inline std::string Text(const char* literal) {
    return std::string(literal);
}

}  // namespace worker_test
