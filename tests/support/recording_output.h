#pragma once
// A ReportOutput that keeps what a Reporter sends, for tests to read back.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "report/reporter.h"

class RecordingOutput : public ReportOutput {
public:
    explicit RecordingOutput(bool utf8 = false) : utf8_(utf8) {}

    bool TakesUtf8() override { return utf8_; }
    void WriteConsole(const char* text, std::size_t length) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        (toStandardError_ ? standardError_ : standardOutput_).append(text, length);
        unflushed_ += length;
    }
    void FlushConsole() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++flushes_;
        unflushed_ = 0;
    }
    void SelectStandardError(bool toStandardError) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        toStandardError_ = toStandardError;
    }
    void IdentifyLog(const char* path) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (replacedLog_ == path) replacedLog_.clear();
    }
    void AppendLog(const char* path, const char* text, std::size_t length) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++logWrites_;
        lastAppendReplaced_ = replacedLog_ == path;
        if (lockedLog_ == path || lastAppendReplaced_) return;
        logs_[path].append(text, length);
    }
    bool LogReplaced() override { return lastAppendReplaced_; }
    uint32_t TickMs() override { return tick_; }

    // Everything written to standard output / standard error so far.
    std::string StandardOutput() const { return standardOutput_; }
    std::string StandardError() const { return standardError_; }
    std::string Log(const std::string& path) const {
        const auto found = logs_.find(path);
        return found == logs_.end() ? std::string() : found->second;
    }
    bool HasLog(const std::string& path) const { return logs_.count(path) != 0; }
    int Flushes() const { return flushes_; }
    // How often a log was opened to be written, held or not.
    int LogWrites() const { return logWrites_; }
    // Console bytes written since the last flush.
    std::size_t Unflushed() const { return unflushed_; }

    void AdvanceTick(uint32_t ms) { tick_ += ms; }
    // Appends to this log are lost, as to a file someone else holds open.
    void LockLog(const std::string& path) { lockedLog_ = path; }
    void UnlockLog() { lockedLog_.clear(); }
    // The log's name leads to another file from now on, until identified
    // again.
    void ReplaceLog(const std::string& path) { replacedLog_ = path; }

private:
    bool utf8_;
    std::mutex mutex_;
    bool toStandardError_ = false;
    std::string standardOutput_;
    std::string standardError_;
    std::map<std::string, std::string> logs_;
    int flushes_ = 0;
    int logWrites_ = 0;
    std::size_t unflushed_ = 0;
    uint32_t tick_ = 0;
    std::string lockedLog_;
    std::string replacedLog_;
    bool lastAppendReplaced_ = false;
};

// A Reporter over its own recording, console on and progress shown, no log.
struct RecordingReporter {
    explicit RecordingReporter(bool utf8 = false) : output(utf8), reporter(output) { reporter.SetConsoleOn(true); }
    RecordingOutput output;
    Reporter reporter;
};
