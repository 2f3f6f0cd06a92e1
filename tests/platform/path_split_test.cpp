// Paths split in the code page they are written in: on Windows the system's
// ANSI code page, whatever it is; on POSIX UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "platform/platform.h"

namespace {

struct SplitCase {
    const char* path;
    // Parts where the code page has double-byte characters (932) and where it
    // has none (1252, UTF-8 paths).
    PathParts doubleByte;
    PathParts singleByte;
};

TEST(SplitPath, BytesAboveAsciiAreLeadBytesOnlyInADoubleByteCodePage) {
    // 0x95 0x5C is one character in code page 932; 0xE9 is "é" in 1252 and a
    // lead byte in 932; "é" in UTF-8 (C3 A9) has no ASCII byte to hide.
    const SplitCase cases[] = {
        {"dir\\caf\xE9.ts", {"", "dir\\", "caf\xE9.ts", ""}, {"", "dir\\", "caf\xE9", ".ts"}},
        {"\xE9:\\a.ts", {"", "\xE9:\\", "a", ".ts"}, {"\xE9:", "\\", "a", ".ts"}},
        {"\x95\x5C.ts", {"", "", "\x95\x5C", ".ts"}, {"", "\x95\\", "", ".ts"}},
        {"d/caf\xC3\xA9.ts", {"", "d/", "caf\xC3\xA9", ".ts"}, {"", "d/", "caf\xC3\xA9", ".ts"}},
    };
    // The running system decides which column holds: 0x95 starts a
    // double-byte character in every such code page of Windows.
    const bool doubleByte = platform::IsPathLeadByte(0x95);
#ifndef _WIN32
    EXPECT_FALSE(doubleByte);
#endif
    for (const SplitCase& c : cases) {
        const PathParts& want = doubleByte ? c.doubleByte : c.singleByte;
        PathParts got;
        ASSERT_TRUE(SplitPath(c.path, got)) << c.path;
        EXPECT_EQ(got.drive, want.drive) << c.path;
        EXPECT_EQ(got.dir, want.dir) << c.path;
        EXPECT_EQ(got.name, want.name) << c.path;
        EXPECT_EQ(got.ext, want.ext) << c.path;
    }
}

}  // namespace
