#pragma once
// Where the end-to-end tests find the built program, and the scratch folder
// each of them runs it in.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

// TRELVAN_EXE names the program; without it the path the build compiled in.
// Empty when neither names an existing file.
inline std::string ProgramUnderTest() {
    const char* exe = std::getenv("TRELVAN_EXE");
#ifdef TRELVAN_BUILT_EXE
    if (exe == nullptr || *exe == '\0') exe = TRELVAN_BUILT_EXE;
#endif
    if (exe == nullptr || *exe == '\0' || !platform::PathExists(exe)) return std::string();
    return exe;
}

// An empty folder named after the running test, the prefix and the process.
inline std::filesystem::path FreshScratchFolder(const char* prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (std::string(prefix) + info->name() + "_" + std::to_string(platform::ProcessId()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}
