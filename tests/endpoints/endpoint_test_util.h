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

#if !defined(_WIN32)
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "report/reporter.h"
#include "tests/support/recording_output.h"

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

// Messages go to a recorded log only; the console stays quiet.
class MessageCapture {
public:
    explicit MessageCapture(bool noProgress = false) : reporter_(output_) {
        reporter_.SetProgressOn(!noProgress);
        reporter_.SetLog(true, kLogPath);
    }
    ::Reporter& Reporter() { return reporter_; }
    // The log as it stands after the next flush point.
    std::string Text() {
        reporter_.FlushStdout();
        return output_.Log(kLogPath);
    }

private:
    static constexpr const char* kLogPath = "messages.log";
    RecordingOutput output_;
    ::Reporter reporter_;
};

#if !defined(_WIN32)
// A loopback port that was free a moment ago: nothing listens there.
inline uint16_t UnusedLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(probe);
    return bound ? ntohs(address.sin_port) : 0;
}
#endif

}  // namespace endpoint_test
