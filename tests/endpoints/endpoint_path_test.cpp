// Source and sink path recognition: every kind, the parts each one needs, and
// names that only look like a device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "endpoints/endpoint_path.h"
#include "endpoints/endpoints.h"
#include "platform/platform.h"

namespace {

TEST(SourcePath, EmptyIsUnusable) {
    const SourcePath source = ParseSourcePath("");
    EXPECT_EQ(source.kind, SourceKind::Unusable);
    EXPECT_EQ(source.path, "");
    EXPECT_FALSE(source.deviceLike);
    // Only an offset is no path either.
    const SourcePath offsetOnly = ParseSourcePath(";100");
    EXPECT_EQ(offsetOnly.kind, SourceKind::Unusable);
    EXPECT_EQ(offsetOnly.offsetText, "100");
}

TEST(SourcePath, ExactlyConIsTheConsole) {
    EXPECT_EQ(ParseSourcePath("CON").kind, SourceKind::Console);
    EXPECT_TRUE(ParseSourcePath("CON").deviceLike);
    // An offset after the console name is cut off like any other.
    const SourcePath withOffset = ParseSourcePath("CON;5");
    EXPECT_EQ(withOffset.kind, SourceKind::Console);
    EXPECT_EQ(withOffset.path, "CON");
    EXPECT_EQ(withOffset.offsetText, "5");
}

TEST(SourcePath, NamesThatOnlyBeginLikeTheConsoleAreFiles) {
    for (const char* name : {"CONTENT.ts", "CON.ts", "CON\\x"}) {
        const SourcePath source = ParseSourcePath(name);
        EXPECT_EQ(source.kind, SourceKind::File) << name;
        // The job skips its file checks for them all the same.
        EXPECT_TRUE(source.deviceLike) << name;
    }
    const SourcePath lower = ParseSourcePath("con");
    EXPECT_EQ(lower.kind, SourceKind::File);
    EXPECT_FALSE(lower.deviceLike);
}

TEST(SourcePath, FileWithStartOffsets) {
    const SourcePath positive = ParseSourcePath("/rec/a.ts;1880");
    EXPECT_EQ(positive.kind, SourceKind::File);
    EXPECT_EQ(positive.path, "/rec/a.ts");
    EXPECT_EQ(positive.offsetText, "1880");
    EXPECT_FALSE(positive.deviceLike);
    // Only the first ";" separates; the rest is offset text as it stands.
    const SourcePath two = ParseSourcePath("a.ts;-189;7");
    EXPECT_EQ(two.path, "a.ts");
    EXPECT_EQ(two.offsetText, "-189;7");
    const SourcePath bare = ParseSourcePath("a.ts;");
    EXPECT_EQ(bare.path, "a.ts");
    EXPECT_EQ(bare.offsetText, "");
    EXPECT_EQ(ParseSourcePath("a.ts").offsetText, "");
}

TEST(SourcePath, PipeKeepsItsWholeName) {
    const SourcePath pipe = ParseSourcePath("\\\\.\\pipe\\feed;12");
    EXPECT_EQ(pipe.kind, SourceKind::Pipe);
    EXPECT_EQ(pipe.path, "\\\\.\\pipe\\feed");
    EXPECT_EQ(pipe.offsetText, "12");
    EXPECT_TRUE(pipe.deviceLike);
    // The prefix alone still names a pipe (one that will not open).
    EXPECT_EQ(ParseSourcePath("\\\\.\\pipe\\").kind, SourceKind::Pipe);
    // Without its closing backslash it is no prefix: a file.
    EXPECT_EQ(ParseSourcePath("\\\\.\\pipe").kind, SourceKind::File);
}

TEST(SourcePath, TunerFieldsSplitAtTheFirstTwoBackslashes) {
    const SourcePath tuner = ParseSourcePath("\\\\.\\bondriver\\1\\23\\C:\\drivers\\tuner.dll");
    EXPECT_EQ(tuner.kind, SourceKind::Tuner);
    EXPECT_EQ(tuner.spaceText, "1");
    EXPECT_EQ(tuner.channelText, "23");
    EXPECT_EQ(tuner.driver, "C:\\drivers\\tuner.dll");
    EXPECT_TRUE(tuner.deviceLike);
}

TEST(SourcePath, TunerWithMissingFields) {
    const SourcePath noSpace = ParseSourcePath("\\\\.\\bondriver\\\\1\\x.dll");
    EXPECT_EQ(noSpace.spaceText, "");
    EXPECT_EQ(noSpace.channelText, "1");
    EXPECT_EQ(noSpace.driver, "x.dll");
    const SourcePath spaceOnly = ParseSourcePath("\\\\.\\bondriver\\7");
    EXPECT_EQ(spaceOnly.kind, SourceKind::Tuner);
    EXPECT_EQ(spaceOnly.spaceText, "7");
    EXPECT_EQ(spaceOnly.channelText, "");
    EXPECT_EQ(spaceOnly.driver, "");
    const SourcePath noDriver = ParseSourcePath("\\\\.\\bondriver\\7\\8");
    EXPECT_EQ(noDriver.channelText, "8");
    EXPECT_EQ(noDriver.driver, "");
    const SourcePath emptyDriver = ParseSourcePath("\\\\.\\bondriver\\7\\8\\");
    EXPECT_EQ(emptyDriver.channelText, "8");
    EXPECT_EQ(emptyDriver.driver, "");
    // A ";" ends the tuner path as it ends any other.
    const SourcePath cut = ParseSourcePath("\\\\.\\bondriver\\7\\8\\d.dll;3");
    EXPECT_EQ(cut.driver, "d.dll");
    EXPECT_EQ(cut.offsetText, "3");
}

TEST(SourcePath, FileNamedLikeAPrefixInAFolder) {
    // The prefixes count only at the start of the path.
    const SourcePath file = ParseSourcePath("/tmp/\\\\.\\bondriver\\1\\2\\x");
    EXPECT_EQ(file.kind, SourceKind::File);
    EXPECT_FALSE(file.deviceLike);
    EXPECT_EQ(file.spaceText, "");
}

TEST(SinkPath, EveryKind) {
    EXPECT_EQ(ParseSinkPath("").kind, SinkKind::None);
    EXPECT_EQ(ParseSinkPath("CON").kind, SinkKind::Console);
    EXPECT_EQ(ParseSinkPath("CONTENT.ts").kind, SinkKind::File);
    EXPECT_EQ(ParseSinkPath("con").kind, SinkKind::File);
    EXPECT_EQ(ParseSinkPath("out.ts;5").path, "out.ts;5");
    EXPECT_EQ(ParseSinkPath("\\\\.\\pipe\\x").kind, SinkKind::File);
    EXPECT_EQ(ParseSinkPath("\\\\.\\sendtstcp").kind, SinkKind::File);
}

TEST(SinkPath, SenderAddressAndLibrary) {
    const SinkPath sender = ParseSinkPath("\\\\.\\sendtstcp\\127.0.0.1:1234\\C:\\lib\\Sender.dll");
    EXPECT_EQ(sender.kind, SinkKind::Sender);
    EXPECT_EQ(sender.address, "127.0.0.1:1234");
    EXPECT_EQ(sender.library, "C:\\lib\\Sender.dll");
    const SinkPath noLibrary = ParseSinkPath("\\\\.\\sendtstcp\\[::1]:99");
    EXPECT_EQ(noLibrary.address, "[::1]:99");
    EXPECT_EQ(noLibrary.library, "");
    const SinkPath empty = ParseSinkPath("\\\\.\\sendtstcp\\");
    EXPECT_EQ(empty.kind, SinkKind::Sender);
    EXPECT_EQ(empty.address, "");
    EXPECT_EQ(empty.library, "");
    const SinkPath noAddress = ParseSinkPath("\\\\.\\sendtstcp\\\\lib.so");
    EXPECT_EQ(noAddress.address, "");
    EXPECT_EQ(noAddress.library, "lib.so");
}

// ---- The sender library a path names -------------------------------------------
// (On Windows the install puts it beside the program, and names take '\\'.)
#if !defined(_WIN32)

namespace fs = std::filesystem;

// A program folder and an install tree of their own, with empty files for
// the libraries; removed afterwards.
class SenderLibraryTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("trelvan_library_" + std::to_string(platform::ProcessId()));
        fs::remove_all(root_);
        for (const char* file :
             {"build/trelvan", "build/SendTSTCP.so", "prefix/bin/trelvan", "prefix/lib/trelvan/SendTSTCP.so",
              "both/bin/trelvan", "both/bin/SendTSTCP.so", "both/lib/trelvan/SendTSTCP.so"}) {
            fs::create_directories((root_ / file).parent_path());
            std::ofstream(root_ / file).put('x');
        }
    }
    void TearDown() override { fs::remove_all(root_); }
    std::string At(const char* relative) const { return (root_ / relative).string(); }
    fs::path root_;
};

TEST_F(SenderLibraryTree, BareNamesAreFoundBesideTheProgramThenInItsInstallTree) {
    const struct {
        std::string library;
        std::string program;
        std::string found;
    } cases[] = {
        {"SendTSTCP.so", At("build/trelvan"), At("build/SendTSTCP.so")},
        {"SendTSTCP.so", At("prefix/bin/trelvan"), At("prefix/bin") + "/../lib/trelvan/SendTSTCP.so"},
        {"SendTSTCP.so", At("both/bin/trelvan"), At("both/bin/SendTSTCP.so")},
        // Found nowhere, or named with a folder: the text as given.
        {"Other.so", At("prefix/bin/trelvan"), "Other.so"},
        {"./SendTSTCP.so", At("build/trelvan"), "./SendTSTCP.so"},
        {At("prefix/lib/trelvan/SendTSTCP.so"), At("build/trelvan"), At("prefix/lib/trelvan/SendTSTCP.so")},
        {"SendTSTCP.so", "trelvan", "SendTSTCP.so"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindSenderLibrary(c.library, c.program), c.found) << c.library << " for " << c.program;
    }
}

TEST(SenderLibrary, BareNameIsFoundBesideTheRunningProgram) {
    // The test program is built beside the project's sender library.
    EXPECT_EQ(FindSenderLibrary("SendTSTCP.so"), SENDER_LIBRARY_PATH);
}
#endif

}  // namespace
