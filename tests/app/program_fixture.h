#pragma once
// A scratch folder and the built program run in it as a user runs it, with
// its exit status and both output streams captured.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/app/program_under_test.h"
#include "tests/support/stream_builder.h"

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class ProgramFixture : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = ProgramUnderTest();
        if (exe_.empty()) GTEST_SKIP() << "TRELVAN_EXE not set";
        dir_ = FreshScratchFolder("trelvan_e2e_");
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    // Runs the program with the arguments (already quoted for the shell)
    // and an environment prefix; standard output is captured as bytes.
    // `input` is a file name in the directory for standard input; `launcher`
    // goes before the program (timeout, setsid).
    RunResult Run(const std::string& arguments, const std::string& environment = "",
                  const std::string& input = "/dev/null", const std::string& launcher = "") const {
        const std::filesystem::path out = dir_ / "stdout.bin";
        const std::filesystem::path err = dir_ / "stderr.bin";
        const std::string command = "cd '" + dir_.string() + "' && env -u TRELVAN_CHARSET TMPDIR='" + dir_.string() +
                                    "' " + environment + " " + launcher + " '" + exe_ + "' " + arguments + " > '" +
                                    out.string() + "' 2> '" + err.string() + "' < '" + input + "'";
        const int status = std::system(command.c_str());
        RunResult result;
        result.exitCode = (status >> 8) & 0xFF;
        result.out = ReadText(out);
        result.err = ReadText(err);
        std::filesystem::remove(out);
        std::filesystem::remove(err);
        return result;
    }
    static std::string ReadText(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // A stream of `count` packets on one PID, its counters in order.
    std::string WriteStream(const char* name, int count) const {
        tsb::StreamBuilder builder;
        for (int i = 0; i < count; ++i)
            builder.Packet(0x0100, tsb::Bytes(184, static_cast<uint8_t>(i)));
        EXPECT_TRUE(tsb::WriteFileBytes((dir_ / name).string(), builder.Data()));
        return std::string(builder.Data().begin(), builder.Data().end());
    }
    std::string exe_;
    std::filesystem::path dir_;
};
