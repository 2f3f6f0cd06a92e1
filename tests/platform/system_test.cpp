// Threads, events, time, local time, text conversion, libraries and the
// process services.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"

TEST(Events, ManualResetStaysSignalledUntilReset) {
    platform::Event event(false);
    ASSERT_TRUE(event.Valid());
    EXPECT_FALSE(event.WaitFor(20));
    event.Set();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_TRUE(event.WaitFor(0));
    event.Wait();
    event.Reset();
    EXPECT_FALSE(event.WaitFor(10));
    platform::Event initially(true);
    EXPECT_TRUE(initially.WaitFor(0));
}

TEST(Events, WaitForTimesOutAfterAboutTheGivenTime) {
    platform::Event event(false);
    const uint32_t start = platform::TickCount();
    EXPECT_FALSE(event.WaitFor(120));
    const uint32_t elapsed = platform::TickCount() - start;
    EXPECT_GE(elapsed, 110u);
    EXPECT_LT(elapsed, 2000u);
}

namespace {

struct ThreadProbe {
    platform::Event go;
    std::atomic<int> value{0};
};

uint32_t ProbeThread(void* argument) {
    auto* probe = static_cast<ThreadProbe*>(argument);
    probe->go.Wait();
    probe->value = 42;
    return 0;
}

}  // namespace

TEST(Threads, JoinWaitsForTheThreadToFinish) {
    ThreadProbe probe;
    platform::ThreadHandle thread = platform::StartThread(ProbeThread, &probe);
    ASSERT_TRUE(thread);
    platform::SleepMs(20);
    EXPECT_EQ(probe.value.load(), 0);
    probe.go.Set();
    platform::JoinThread(thread);
    EXPECT_FALSE(thread);
    EXPECT_EQ(probe.value.load(), 42);
    EXPECT_FALSE(platform::StartThread(nullptr, nullptr));
}

TEST(Time, SleepAdvancesTheTickCount) {
    const uint32_t start = platform::TickCount();
    platform::SleepMs(60);
    const uint32_t elapsed = platform::TickCount() - start;
    EXPECT_GE(elapsed, 55u);
    EXPECT_LT(elapsed, 2000u);
}

// The test runner sets TZ=Asia/Tokyo (UTC+9, no daylight saving).
TEST(LocalTime, TokyoDateTimesConvertToEpochSeconds) {
    int64_t seconds = 0;
    ASSERT_TRUE(platform::LocalDateTimeToSeconds(DateTime{1970, 1, 0, 1, 9, 0, 0, 0}, seconds));
    EXPECT_EQ(seconds, 0);
    ASSERT_TRUE(platform::LocalDateTimeToSeconds(DateTime{2024, 1, 0, 1, 9, 0, 0, 0}, seconds));
    EXPECT_EQ(seconds, 1704067200);
    // Past 2038: 64-bit seconds.
    ASSERT_TRUE(platform::LocalDateTimeToSeconds(DateTime{2040, 1, 0, 1, 0, 0, 0, 0}, seconds));
    EXPECT_EQ(seconds, 2208956400LL);
    ASSERT_TRUE(platform::LocalDateTimeToSeconds(DateTime{1970, 1, 0, 1, 8, 59, 59, 0}, seconds));
    EXPECT_EQ(seconds, -1);
    ASSERT_TRUE(platform::LocalDateTimeToSeconds(DateTime{2024, 2, 0, 29, 23, 59, 59, 999}, seconds));
    EXPECT_EQ(seconds, 1709218799);
}

TEST(LocalTime, OutOfRangeDateTimesAreRejected) {
    int64_t seconds = 123;
    EXPECT_FALSE(platform::LocalDateTimeToSeconds(DateTime{2024, 1, 0, 1, 24, 0, 0, 0}, seconds));
    EXPECT_FALSE(platform::LocalDateTimeToSeconds(DateTime{2024, 1, 0, 1, 0, 60, 0, 0}, seconds));
    EXPECT_FALSE(platform::LocalDateTimeToSeconds(DateTime{2023, 2, 0, 29, 0, 0, 0, 0}, seconds));
    EXPECT_FALSE(platform::LocalDateTimeToSeconds(DateTime{2024, 13, 0, 1, 0, 0, 0, 0}, seconds));
    EXPECT_FALSE(platform::LocalDateTimeToSeconds(DateTime{2024, 0, 0, 1, 0, 0, 0, 0}, seconds));
    EXPECT_FALSE(platform::LocalDateTimeToSeconds(DateTime{0, 0, 0, 0, 0, 0, 0, 0}, seconds));
    EXPECT_EQ(seconds, 123);
}

TEST(LocalTime, EpochSecondsConvertToTokyoDateTimeWithWeekday) {
    DateTime local;
    ASSERT_TRUE(platform::SecondsToLocalDateTime(0, local));
    EXPECT_EQ(local.year, 1970);
    EXPECT_EQ(local.month, 1);
    EXPECT_EQ(local.day, 1);
    EXPECT_EQ(local.dayOfWeek, 4);  // Thursday
    EXPECT_EQ(local.hour, 9);
    EXPECT_EQ(local.minute, 0);
    EXPECT_EQ(local.millisecond, 0);
    ASSERT_TRUE(platform::SecondsToLocalDateTime(2208956400LL + 3661, local));
    EXPECT_EQ(local.year, 2040);
    EXPECT_EQ(local.month, 1);
    EXPECT_EQ(local.day, 1);
    EXPECT_EQ(local.dayOfWeek, 0);  // Sunday
    EXPECT_EQ(local.hour, 1);
    EXPECT_EQ(local.minute, 1);
    EXPECT_EQ(local.second, 1);
    // Before 1601 there is no FILETIME.
    EXPECT_FALSE(platform::SecondsToLocalDateTime(-11644473600LL - 86400, local));
}

TEST(TextConversion, Cp932RoundTripsThroughUtf16) {
    std::u16string wide;
    ASSERT_TRUE(
        platform::AnsiToUtf16("\x82\xa0"
                              "A\xb1\x81\x7c",
                              wide));
    EXPECT_EQ(wide, u"\u3042A\uff71\uff0d");
    std::string ansi;
    ASSERT_TRUE(platform::Utf16ToAnsi(u"\u3042A\uff71\uff0d", ansi));
    EXPECT_EQ(ansi,
              "\x82\xa0"
              "A\xb1\x81\x7c");
    EXPECT_TRUE(platform::AnsiToUtf16("", wide));
    EXPECT_TRUE(wide.empty());
}

TEST(TextConversion, InvalidInputIsRefused) {
    std::u16string wide;
    EXPECT_FALSE(platform::AnsiToUtf16("ab\x82", wide));  // lead byte without its trail
    std::string text;
    EXPECT_FALSE(platform::Utf16ToAnsi(u"\U0001F600", text));  // not in code page 932
    EXPECT_FALSE(platform::Cp932ToUtf8("\x82", text));
}

TEST(TextConversion, Cp932ToUtf8) {
    std::string utf8;
    ASSERT_TRUE(platform::Cp932ToUtf8("\x81\x7c \x88\xf8\x90\x94\r\n", utf8));
    EXPECT_EQ(utf8, "\xef\xbc\x8d \xe5\xbc\x95\xe6\x95\xb0\r\n");
}

namespace {

// Code page 932 characters whose mapping differs from plain Shift_JIS, a
// half-width katakana, NEC and IBM extensions, and the two ASCII bytes
// Shift_JIS would turn into yen and overline.
constexpr const char* kCp932Mix = "\x81\x7c\x81\x60\x81\x61\x81\xca\xb1\x87\x40\xfa\x40\x5c\x7e";
constexpr const char* kUtf8Mix =
    "\xef\xbc\x8d\xef\xbd\x9e\xe2\x88\xa5\xef\xbf\xa2\xef\xbd\xb1\xe2\x91\xa0\xe2\x85\xb0\x5c\x7e";

}  // namespace

TEST(TextConversion, Cp932ToUtf8MapsLikeTheWindowsCodePage) {
    std::string utf8;
    ASSERT_TRUE(platform::Cp932ToUtf8(kCp932Mix, utf8));
    EXPECT_EQ(utf8, kUtf8Mix);
    EXPECT_TRUE(platform::Cp932ToUtf8("", utf8));
    EXPECT_EQ(utf8, "");
}

// Converters are kept from one call to the next: a refused text must leave
// nothing behind for the next one, in either direction.
TEST(TextConversion, RefusedTextLeavesTheNextConversionWhole) {
    std::string text;
    std::u16string wide;
    for (const char* refused : {"\x82", "ab\x82\x20", "\x85\x40", "x\x82\x7f"}) {
        EXPECT_FALSE(platform::Cp932ToUtf8(refused, text)) << refused;
        ASSERT_TRUE(platform::Cp932ToUtf8(kCp932Mix, text));
        EXPECT_EQ(text, kUtf8Mix);
        EXPECT_FALSE(platform::AnsiToUtf16(refused, wide)) << refused;
        ASSERT_TRUE(platform::AnsiToUtf16("\x82\xa0", wide));
        EXPECT_EQ(wide, u"\u3042");
    }
    EXPECT_FALSE(platform::Utf16ToAnsi(u"a\U0001F600", text));
    ASSERT_TRUE(platform::Utf16ToAnsi(u"\u3042", text));
    EXPECT_EQ(text, "\x82\xa0");
}

TEST(TextConversion, ThreadsConvertingAtOnceEachGetTheirOwnText) {
    constexpr int kRounds = 2000;
    auto convert = [](bool mix, int& wrong) {
        std::string utf8;
        for (int i = 0; i < kRounds; ++i) {
            const bool ok = mix ? platform::Cp932ToUtf8(kCp932Mix, utf8) : platform::Cp932ToUtf8("\x82\xa0", utf8);
            if (!ok || utf8 != (mix ? std::string(kUtf8Mix) : std::string("\xe3\x81\x82"))) ++wrong;
        }
    };
    int wrong[2] = {0, 0};
    std::thread first(convert, true, std::ref(wrong[0]));
    std::thread second(convert, false, std::ref(wrong[1]));
    first.join();
    second.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}

TEST(Libraries, MissingLibraryAndSymbolAreNull) {
    EXPECT_EQ(platform::OpenLibrary("no_such_library_trelvan.dll"), nullptr);
    EXPECT_EQ(platform::OpenLibrary(""), nullptr);
    EXPECT_EQ(platform::FindSymbol(nullptr, "x"), nullptr);
}

#ifndef _WIN32
TEST(Libraries, SymbolsOfALoadedLibraryAreFound) {
    void* library = platform::OpenLibrary("libm.so.6");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(platform::FindSymbol(library, "cos"), nullptr);
    EXPECT_EQ(platform::FindSymbol(library, "no_such_symbol_trelvan"), nullptr);
    platform::CloseLibrary(library);
}
#endif

TEST(Process, OwnPathTemporaryDirectoryAndVersionStrings) {
    const std::string executable = platform::ExecutablePath();
    ASSERT_FALSE(executable.empty());
    EXPECT_TRUE(platform::PathExists(executable.c_str()));
    const std::string temp = platform::TemporaryDirectory();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), platform::PathSeparator());
    EXPECT_TRUE(platform::PathExists(temp.c_str()));
    EXPECT_EQ(platform::ReadVersionString(executable.c_str(), "CompanyName"), "trelvan");
    EXPECT_EQ(platform::ReadVersionString(executable.c_str(), "Comments"),
              "trelvan transport stream pass-through; questions and bug reports: see README.md");
    EXPECT_EQ(platform::ReadVersionString(executable.c_str(), "ProductName"), "");
}

TEST(CoarseTickCount, FollowsTheTickWithinAFewMilliseconds) {
    // Both count from the same start; the coarse one may lag by its
    // granularity (a few milliseconds) but never leads or drifts.
    for (int i = 0; i < 5; ++i) {
        const uint32_t fine = platform::TickCount();
        const uint32_t coarse = platform::CoarseTickCount();
        const uint32_t fineAfter = platform::TickCount();
        EXPECT_LE(static_cast<int32_t>(coarse - fineAfter), 0);
        EXPECT_LT(static_cast<int32_t>(fine - coarse), 30);
        platform::SleepMs(20);
    }
}
