#pragma once
// Helpers shared by the endpoint tests: environment, files, and message
// capture through the log file (which receives the exact message bytes).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "report/report.h"

namespace endpoint_test {

inline void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::string TempPath(const std::string& stem) {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        std::string(TRELVAN_BINARY_DIR) + "/endpoint_" + info->test_suite_name() + "_" + info->name() + "_" + stem;
    std::remove(name.c_str());
    return name;
}

// Messages go to a fresh log file only; the console stays quiet.
class MessageCapture {
public:
    explicit MessageCapture(bool noProgress = false) : path_(TempPath("messages.log")) {
        savedConsole_ = ConsoleFlags.load();
        savedLog_ = LogFlags.load();
        ConsoleFlags = noProgress ? kNoProgress : 0u;
        LogFlags = kLogOn;
        std::snprintf(LogFilePath, sizeof LogFilePath, "%s", path_.c_str());
    }
    ~MessageCapture() {
        ConsoleFlags = savedConsole_;
        LogFlags = savedLog_;
        LogFilePath[0] = 0;
    }
    std::string Text() const { return ReadAll(path_); }

private:
    std::string path_;
    uint32_t savedConsole_ = 0;
    uint32_t savedLog_ = 0;
};

}  // namespace endpoint_test
