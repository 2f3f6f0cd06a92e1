// Files, exclusive opens, standard handles, directory search and wildcards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/wildcard.h"

namespace fs = std::filesystem;

namespace {

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("trelvan_pf_") + info->name() + "_" + std::to_string(platform::ProcessId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string PathOf(const char* name) const { return (dir_ / name).string(); }
    void Touch(const char* name, const std::string& contents = "") const {
        std::ofstream(dir_ / name, std::ios::binary) << contents;
    }
    fs::path dir_;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(Wildcard, TempFilePatternSelectsOnlyFourCharacterStems) {
    EXPECT_TRUE(platform::MatchesWildcard("QMV????.tmp*", "QMV1A2B.tmp"));
    EXPECT_TRUE(platform::MatchesWildcard("QMV????.tmp*", "QMV1A2B.tmp.bak"));
    EXPECT_TRUE(platform::MatchesWildcard("QMV????.tmp*", "qmv1a2b.TMP"));
    EXPECT_FALSE(platform::MatchesWildcard("QMV????.tmp*", "QMV1A2.tmp"));
    EXPECT_FALSE(platform::MatchesWildcard("QMV????.tmp*", "QMV1A2BC.tmp"));
    EXPECT_FALSE(platform::MatchesWildcard("QMV????.tmp*", "XQMV1A2B.tmp"));
    EXPECT_FALSE(platform::MatchesWildcard("QMV????.tmp*", "QMV1A2B.tm"));
}

TEST(Wildcard, StarsBacktrackAndStarDotStarTakesEverything) {
    EXPECT_TRUE(platform::MatchesWildcard("*.*", "noextension"));
    EXPECT_TRUE(platform::MatchesWildcard("*", ".hidden"));
    EXPECT_TRUE(platform::MatchesWildcard("a*b*c", "aXbYbZc"));
    EXPECT_FALSE(platform::MatchesWildcard("a*b*c", "aXbYbZ"));
    EXPECT_TRUE(platform::MatchesWildcard("*.ts", "x.y.ts"));
    EXPECT_FALSE(platform::MatchesWildcard("*.ts", "x.ts.bak"));
    EXPECT_FALSE(platform::MatchesWildcard("?", ""));
    EXPECT_TRUE(platform::MatchesWildcard("", ""));
    EXPECT_FALSE(platform::MatchesWildcard("", "a"));
}

TEST_F(ScratchDir, WriteSeekSizeAndReadToEndOfFile) {
    const std::string path = PathOf("data.bin");
    platform::FileHandle out = platform::CreateWrite(path.c_str());
    ASSERT_NE(out, platform::kInvalidFile);
    uint32_t written = 0;
    EXPECT_TRUE(platform::WriteFile(out, "0123456789", 10, written));
    EXPECT_EQ(written, 10u);
    EXPECT_EQ(platform::FileSize(out), 10);
    platform::CloseFile(out);

    platform::FileHandle in = platform::OpenRead(path.c_str());
    ASSERT_NE(in, platform::kInvalidFile);
    EXPECT_EQ(platform::Seek(in, 4, platform::SeekFrom::Begin), 4);
    EXPECT_EQ(platform::Seek(in, 2, platform::SeekFrom::Current), 6);
    char buffer[16] = {};
    uint32_t got = 0;
    EXPECT_EQ(platform::ReadFile(in, buffer, sizeof buffer, got), platform::ReadResult::Ok);
    EXPECT_EQ(std::string(buffer, got), "6789");
    EXPECT_EQ(platform::ReadFile(in, buffer, sizeof buffer, got), platform::ReadResult::EndOfFile);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(platform::Seek(in, -3, platform::SeekFrom::End), 7);
    platform::CloseFile(in);

    // Creating again truncates.
    out = platform::CreateWrite(path.c_str());
    ASSERT_NE(out, platform::kInvalidFile);
    EXPECT_EQ(platform::FileSize(out), 0);
    platform::CloseFile(out);
}

TEST_F(ScratchDir, MissingFilesAndEmptyPathsAreNeutral) {
    const std::string missing = PathOf("missing.ts");
    EXPECT_EQ(platform::OpenRead(missing.c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::OpenRead(""), platform::kInvalidFile);
    EXPECT_FALSE(platform::PathExists(missing.c_str()));
    EXPECT_FALSE(platform::RemoveFile(missing.c_str()));
    EXPECT_EQ(platform::FileSize(platform::kInvalidFile), -1);
    EXPECT_EQ(platform::Seek(platform::kInvalidFile, 0, platform::SeekFrom::Begin), -1);
    uint32_t got = 1;
    char byte;
    EXPECT_EQ(platform::ReadFile(platform::kInvalidFile, &byte, 1, got), platform::ReadResult::Error);
    EXPECT_EQ(got, 0u);
}

TEST_F(ScratchDir, ExclusiveAppendFailsAtOnceWhileHeldAndAppendsAfterwards) {
    const std::string path = PathOf("log.txt");
    Touch("log.txt", "old\n");
    platform::FileHandle first = platform::OpenAppendExclusive(path.c_str());
    ASSERT_NE(first, platform::kInvalidFile);
    const uint32_t before = platform::TickCount();
    EXPECT_EQ(platform::OpenAppendExclusive(path.c_str()), platform::kInvalidFile);
    EXPECT_EQ(platform::CreateWriteExclusive(path.c_str()), platform::kInvalidFile);
    EXPECT_LT(platform::TickCount() - before, 500u);
    uint32_t written = 0;
    EXPECT_TRUE(platform::WriteFile(first, "new\n", 4, written));
    platform::CloseFile(first);
    // The refused exclusive create must not have truncated the holder's file.
    EXPECT_EQ(ReadAll(path), "old\nnew\n");

    platform::FileHandle second = platform::OpenAppendExclusive(path.c_str());
    ASSERT_NE(second, platform::kInvalidFile);
    EXPECT_TRUE(platform::WriteFile(second, "more\n", 5, written));
    platform::CloseFile(second);
    EXPECT_EQ(ReadAll(path), "old\nnew\nmore\n");
}

TEST_F(ScratchDir, RemoveFileDeletesAndPathExistsSeesDirectories) {
    Touch("a.tmp");
    EXPECT_TRUE(platform::PathExists(PathOf("a.tmp").c_str()));
    EXPECT_TRUE(platform::PathExists(dir_.string().c_str()));
    EXPECT_TRUE(platform::RemoveFile(PathOf("a.tmp").c_str()));
    EXPECT_FALSE(platform::PathExists(PathOf("a.tmp").c_str()));
}

TEST_F(ScratchDir, ListDirectoryMatchesNamesAndReportsKindAndSize) {
    Touch("QMV1A2B.tmp", "12345");
    Touch("QMV1A2B.tmp.bak");
    Touch("other.txt");
    fs::create_directory(dir_ / "QMVDIRS.tmp");
    auto entries = platform::ListDirectory(dir_.string().c_str(), "QMV????.tmp*");
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "QMV1A2B.tmp");
    EXPECT_EQ(entries[0].size, 5u);
    EXPECT_FALSE(entries[0].isDirectory);
    // Some time after 2001 in FILETIME units.
    EXPECT_GT(entries[0].lastWriteTime, 126227808000000000ull);
    EXPECT_EQ(entries[1].name, "QMV1A2B.tmp.bak");
    EXPECT_EQ(entries[2].name, "QMVDIRS.tmp");
    EXPECT_TRUE(entries[2].isDirectory);

    const auto all = platform::ListDirectory(dir_.string().c_str(), "*");
    EXPECT_EQ(all.size(), 6u);  // the four names plus "." and ".."
    EXPECT_TRUE(platform::ListDirectory(PathOf("nothere").c_str(), "*").empty());
}

TEST_F(ScratchDir, SetFileEndCutsBackAndWritingGoesOnThere) {
    platform::FileHandle file = platform::CreateWrite(PathOf("cut.bin").c_str());
    ASSERT_NE(file, platform::kInvalidFile);
    uint32_t written = 0;
    ASSERT_TRUE(platform::WriteFile(file, "0123456789", 10, written));
    EXPECT_TRUE(platform::SetFileEnd(file, 4));
    EXPECT_EQ(platform::FileSize(file), 4);
    ASSERT_TRUE(platform::WriteFile(file, "ab", 2, written));
    EXPECT_FALSE(platform::SetFileEnd(file, -1));
    EXPECT_FALSE(platform::SetFileEnd(platform::kInvalidFile, 0));
    platform::CloseFile(file);
    EXPECT_EQ(ReadAll(PathOf("cut.bin")), "0123ab");
}

TEST_F(ScratchDir, SameFileComparesIdentitiesNotSpellings) {
    Touch("a.ts", "a");
    Touch("b.ts", "a");  // equal bytes, another file
    fs::create_directory(dir_ / "sub");
    const std::string a = PathOf("a.ts");
    EXPECT_TRUE(platform::SameFile(a.c_str(), a.c_str()));
    EXPECT_TRUE(platform::SameFile(a.c_str(), (dir_ / "sub" / ".." / "a.ts").string().c_str()));
    EXPECT_FALSE(platform::SameFile(a.c_str(), PathOf("b.ts").c_str()));
    // An existing file and a path that names nothing yet never collide.
    EXPECT_FALSE(platform::SameFile(a.c_str(), PathOf("new.ts").c_str()));
    // Two names of one file that does not exist yet do.
    EXPECT_TRUE(platform::SameFile(PathOf("new.ts").c_str(), (dir_ / "sub" / ".." / "new.ts").string().c_str()));
    EXPECT_FALSE(platform::SameFile(PathOf("new.ts").c_str(), PathOf("new2.ts").c_str()));
    EXPECT_FALSE(platform::SameFile(PathOf("new.ts").c_str(), (dir_ / "sub" / "new.ts").string().c_str()));
    EXPECT_FALSE(platform::SameFile(PathOf("nodir/x.ts").c_str(), PathOf("nodir/x.ts").c_str()));
    EXPECT_FALSE(platform::SameFile("", a.c_str()));
    EXPECT_FALSE(platform::SameFile(a.c_str(), nullptr));
}

TEST(StandardHandles, ClosingAHandedOutHandleLeavesTheNextOneUsable) {
    platform::FileHandle first = platform::StandardOutput();
    ASSERT_NE(first, platform::kInvalidFile);
    platform::CloseFile(first);
    platform::FileHandle second = platform::StandardOutput();
    ASSERT_NE(second, platform::kInvalidFile);
    uint32_t written = 0;
    EXPECT_TRUE(platform::WriteFile(second, "", 0, written));
    platform::CloseFile(second);

    platform::FileHandle in = platform::StandardInput();
    ASSERT_NE(in, platform::kInvalidFile);
    platform::CloseFile(in);
    in = platform::StandardInput();
    EXPECT_NE(in, platform::kInvalidFile);
    platform::CloseFile(in);
}
