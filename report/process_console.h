#pragma once
// The process's own console (standard output or standard error) and log
// files as a ReportOutput.
#include "report/reporter.h"

class ProcessConsole : public ReportOutput {
public:
    // Standard output and standard error get a large buffer on the first use.
    bool TakesUtf8() override;
    void WriteConsole(const char* text, std::size_t length) override;
    void FlushConsole() override;
    void SelectStandardError(bool toStandardError) override;
    void AppendLog(const char* path, const char* text, std::size_t length) override;
    uint32_t TickMs() override;
};
