#pragma once
// The process's own console (standard output or standard error) and log
// files as a ReportOutput.
#include <string>

#include "platform/platform.h"
#include "report/reporter.h"

class ProcessConsole : public ReportOutput {
public:
    // Standard output and standard error get a large buffer on the first use.
    bool TakesUtf8() override;
    void WriteConsole(const char* text, std::size_t length) override;
    void FlushConsole() override;
    void SelectStandardError(bool toStandardError) override;
    void IdentifyLog(const char* path) override;
    void AppendLog(const char* path, const char* text, std::size_t length) override;
    bool LogReplaced() override { return logReplaced_; }
    uint32_t TickMs() override;

private:
    // Touched under the Reporter's log lock only.
    std::string logPath_;
    platform::FileIdentity logIdentity_;
    bool logReplaced_ = false;
};
