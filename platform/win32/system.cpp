// Threads, events, time, libraries, text conversion, process and console
// services on Windows.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/process_state.h"
#include "platform/platform.h"
#include "platform/whole_writes.h"

namespace platform {

namespace {

// A stream write to a file that the end waits for: ample for a block on a
// local disk, short enough that a stuck one does not hold the end.
constexpr uint32_t kWholeWriteGraceMs = 1000;

// Stream bytes and "\r\n" must pass standard input, output and error (which
// carries the console text while the stream owns standard output)
// unchanged; text mode would add or drop carriage returns. Set before main runs so
// that every user of the C runtime's streams sees binary mode.
struct BinaryStandardStreams {
    BinaryStandardStreams() {
        _setmode(_fileno(stdin), _O_BINARY);
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
    }
} binaryStandardStreams;

}  // namespace

// ---- Process and console ---------------------------------------------------------

uint32_t ProcessId() {
    return ::GetCurrentProcessId();
}

std::string ExecutablePath() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return std::string(path, length);
}

std::string TemporaryDirectory() {
    char path[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathA(MAX_PATH, path);
    if (length == 0 || length > MAX_PATH) return std::string();
    std::string result(path, length);
    if (result.back() != '\\') result.push_back('\\');
    return result;
}

void AllocConsole() {
    ::AllocConsole();
}

namespace {

constexpr DWORD kKeyPollMs = 100;

bool IsModifierKey(WORD key) {
    return key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU || key == VK_CAPITAL || key == VK_NUMLOCK ||
           key == VK_SCROLL || key == VK_LWIN || key == VK_RWIN;
}

}  // namespace

bool ReadKeyNoEcho() {
    // Standard input may carry the stream itself: the key comes from the
    // console, and a process without one does not wait.
    HANDLE input = ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    bool pressed = false;
    if (::GetConsoleMode(input, &mode)) {
        // Polled, so that Ctrl+C ends the wait as well.
        while (!pressed && StopRequested.load() == 0) {
            if (::WaitForSingleObject(input, kKeyPollMs) != WAIT_OBJECT_0) continue;
            INPUT_RECORD record{};
            DWORD count = 0;
            if (!::ReadConsoleInputA(input, &record, 1, &count)) break;
            pressed = count == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
                      !IsModifierKey(record.Event.KeyEvent.wVirtualKeyCode);
        }
    }
    ::CloseHandle(input);
    return pressed;
}

namespace {

ControlHandler controlHandler = nullptr;

BOOL WINAPI ControlTrampoline(DWORD event) {
    const ControlHandler handler = controlHandler;
    return handler != nullptr && handler(event) ? TRUE : FALSE;
}

}  // namespace

bool SetControlHandler(ControlHandler handler) {
    const bool first = controlHandler == nullptr;
    controlHandler = handler;
    if (!first) return true;
    return ::SetConsoleCtrlHandler(ControlTrampoline, TRUE) != FALSE;
}

std::string ReadVersionString(const char* executablePath, const char* entry) {
    if (executablePath == nullptr || entry == nullptr || !PathExists(executablePath)) return std::string();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(executablePath, &ignored);
    if (size == 0) return std::string();
    std::vector<char> block(size);
    if (!::GetFileVersionInfoA(executablePath, 0, size, block.data())) return std::string();
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translation = nullptr;
    UINT translationLength = 0;
    if (!::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                          &translationLength) ||
        translation == nullptr || translationLength < sizeof(Translation)) {
        return std::string();
    }
    char query[256];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation->language, translation->codePage,
                  entry);
    char* value = nullptr;
    UINT valueLength = 0;
    if (!::VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&value), &valueLength) || value == nullptr ||
        valueLength == 0) {
        return std::string();
    }
    // The length counts the terminator when there is one.
    std::string result(value, valueLength);
    const std::size_t end = result.find('\0');
    if (end != std::string::npos) result.resize(end);
    return result;
}

uint32_t LastError() {
    return ::GetLastError();
}

void EndProcessNow(int exitCode) {
    HoldWholeWrites(kWholeWriteGraceMs);
    // Not ExitProcess: it would run the libraries' detach code, and a stuck
    // driver library is the very reason for ending this way.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitCode));
    ::ExitProcess(static_cast<UINT>(exitCode));
}

void PumpMessages() {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

// ---- Threads, events, time -----------------------------------------------------------

namespace {

struct ThreadStart {
    ThreadFunction function;
    void* argument;
};

unsigned __stdcall ThreadEntry(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    return start.function(start.argument);
}

}  // namespace

ThreadHandle StartThread(ThreadFunction function, void* argument) {
    ThreadHandle handle;
    if (function == nullptr) return handle;
    auto* start = new (std::nothrow) ThreadStart{function, argument};
    if (start == nullptr) return handle;
    const uintptr_t thread = _beginthreadex(nullptr, 0, ThreadEntry, start, 0, nullptr);
    if (thread == 0) {
        delete start;
        return handle;
    }
    handle.impl = reinterpret_cast<void*>(thread);
    return handle;
}

void JoinThread(ThreadHandle& thread) {
    if (!thread) return;
    ::WaitForSingleObject(static_cast<HANDLE>(thread.impl), INFINITE);
    ::CloseHandle(static_cast<HANDLE>(thread.impl));
    thread.impl = nullptr;
}

void DetachThread(ThreadHandle& thread) {
    if (!thread) return;
    ::CloseHandle(static_cast<HANDLE>(thread.impl));
    thread.impl = nullptr;
}

Event::Event(bool signalled) {
    impl_ = ::CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr);
}

Event::~Event() {
    if (impl_ != nullptr) ::CloseHandle(static_cast<HANDLE>(impl_));
}

void Event::Set() {
    if (impl_ != nullptr) ::SetEvent(static_cast<HANDLE>(impl_));
}

void Event::Reset() {
    if (impl_ != nullptr) ::ResetEvent(static_cast<HANDLE>(impl_));
}

void Event::Wait() {
    if (impl_ != nullptr) ::WaitForSingleObject(static_cast<HANDLE>(impl_), INFINITE);
}

bool Event::WaitFor(uint32_t milliseconds) {
    if (impl_ == nullptr) return false;
    return ::WaitForSingleObject(static_cast<HANDLE>(impl_), milliseconds) == WAIT_OBJECT_0;
}

uint32_t TickCount() {
    return ::GetTickCount();
}

// GetTickCount is cheap already.
uint32_t CoarseTickCount() {
    return ::GetTickCount();
}

void SleepMs(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

// ---- Local time ----------------------------------------------------------------------------

namespace {

constexpr int64_t kEpochDifference = 11644473600LL;  // 1601-01-01 to 1970-01-01, seconds
constexpr int64_t kTicksPerSecond = 10000000LL;      // FILETIME steps of 100 ns

}  // namespace

bool LocalDateTimeToSeconds(const DateTime& local, int64_t& seconds) {
    SYSTEMTIME time{};
    time.wYear = local.year;
    time.wMonth = local.month;
    time.wDayOfWeek = local.dayOfWeek;
    time.wDay = local.day;
    time.wHour = local.hour;
    time.wMinute = local.minute;
    time.wSecond = local.second;
    time.wMilliseconds = local.millisecond;
    FILETIME localTime{};
    FILETIME utc{};
    if (!::SystemTimeToFileTime(&time, &localTime) || !::LocalFileTimeToFileTime(&localTime, &utc)) return false;
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime);
    seconds = ticks / kTicksPerSecond - kEpochDifference;
    return true;
}

bool SecondsToLocalDateTime(int64_t seconds, DateTime& local) {
    if (seconds < -kEpochDifference || seconds > INT64_MAX / kTicksPerSecond - kEpochDifference) return false;
    const uint64_t ticks = static_cast<uint64_t>(seconds + kEpochDifference) * static_cast<uint64_t>(kTicksPerSecond);
    FILETIME utc{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
    FILETIME localTime{};
    SYSTEMTIME time{};
    if (!::FileTimeToLocalFileTime(&utc, &localTime) || !::FileTimeToSystemTime(&localTime, &time)) return false;
    local.year = time.wYear;
    local.month = time.wMonth;
    local.dayOfWeek = time.wDayOfWeek;
    local.day = time.wDay;
    local.hour = time.wHour;
    local.minute = time.wMinute;
    local.second = time.wSecond;
    local.millisecond = time.wMilliseconds;
    return true;
}

// ---- Dynamic libraries ---------------------------------------------------------------------

void* OpenLibrary(const char* path) {
    if (path == nullptr || *path == '\0') return nullptr;
    return ::LoadLibraryA(path);
}

void* FindSymbol(void* library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    const FARPROC symbol = ::GetProcAddress(static_cast<HMODULE>(library), name);
    void* result = nullptr;
    static_assert(sizeof result == sizeof symbol);
    std::memcpy(&result, &symbol, sizeof result);
    return result;
}

void CloseLibrary(void* library) {
    if (library != nullptr) ::FreeLibrary(static_cast<HMODULE>(library));
}

// ---- Text conversion -------------------------------------------------------------------------

namespace {

bool ToWide(UINT codePage, const std::string& text, std::u16string& wide) {
    wide.clear();
    if (text.empty()) return true;
    const int length =
        ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return false;
    std::wstring buffer(static_cast<std::size_t>(length), L'\0');
    if (::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), buffer.data(),
                              length) != length) {
        return false;
    }
    wide.assign(buffer.begin(), buffer.end());
    return true;
}

bool FromWide(UINT codePage, const std::u16string& wide, std::string& text) {
    text.clear();
    if (wide.empty()) return true;
    const std::wstring buffer(wide.begin(), wide.end());
    BOOL usedDefault = FALSE;
    // CP_UTF8 takes neither flags nor a default-character report.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* defaultReport = utf8 ? nullptr : &usedDefault;
    const int length = ::WideCharToMultiByte(codePage, flags, buffer.data(), static_cast<int>(buffer.size()), nullptr,
                                             0, nullptr, defaultReport);
    if (length <= 0 || usedDefault) return false;
    std::string result(static_cast<std::size_t>(length), '\0');
    if (::WideCharToMultiByte(codePage, flags, buffer.data(), static_cast<int>(buffer.size()), result.data(), length,
                              nullptr, defaultReport) != length ||
        usedDefault) {
        return false;
    }
    text = std::move(result);
    return true;
}

}  // namespace

bool AnsiToUtf16(const std::string& ansi, std::u16string& wide) {
    return ToWide(CP_ACP, ansi, wide);
}

bool Utf16ToAnsi(const std::u16string& wide, std::string& ansi) {
    return FromWide(CP_ACP, wide, ansi);
}

// The system's code page tables are always at hand: unlike iconv there is
// no converter to open for each message line.
bool Cp932ToUtf8(const std::string& cp932, std::string& utf8) {
    std::u16string wide;
    return ToWide(932, cp932, wide) && FromWide(CP_UTF8, wide, utf8);
}

namespace {

bool NamesCharset(const char* value, const char* name) {
    return _stricmp(value, name) == 0;
}

HANDLE StandardHandle(StandardStream stream) {
    return ::GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

TextEncoding PreferredTextEncoding() {
    const char* forced = std::getenv("TRELVAN_CHARSET");
    if (forced != nullptr && (NamesCharset(forced, "UTF-8") || NamesCharset(forced, "UTF8"))) {
        return TextEncoding::Utf8;
    }
    return TextEncoding::Cp932;
}

bool IsWideConsole(StandardStream stream) {
    DWORD mode = 0;
    const HANDLE handle = StandardHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

namespace {

// Appends text[from, to) read in the code page; no strict flag: a byte that
// is no text of it shows as a replacement character instead of hiding the
// whole line.
bool AppendWide(UINT codePage, const std::string& text, std::size_t from, std::size_t to, std::vector<wchar_t>& wide) {
    if (from == to) return true;
    const int count = static_cast<int>(to - from);
    const int length = ::MultiByteToWideChar(codePage, 0, text.data() + from, count, nullptr, 0);
    if (length <= 0) return false;
    const std::size_t at = wide.size();
    wide.resize(at + static_cast<std::size_t>(length));
    return ::MultiByteToWideChar(codePage, 0, text.data() + from, count, wide.data() + at, length) == length;
}

bool IsCp932TrailByte(unsigned char byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// Message text is code page 932, but a path in it is in the ANSI code page,
// which need not be 932: a byte that 932 reads as a lead byte without a trail
// byte after it (the "é" of "café.ts" in code page 1252, before the dot) is
// read alone in the ANSI code page, so that it does not swallow the dot.
bool MessageToWide(const std::string& text, std::vector<wchar_t>& wide) {
    std::size_t runStart = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!::IsDBCSLeadByteEx(932, static_cast<BYTE>(text[i]))) {
            ++i;
        } else if (i + 1 < text.size() && IsCp932TrailByte(static_cast<unsigned char>(text[i + 1]))) {
            i += 2;
        } else {
            if (!AppendWide(932, text, runStart, i, wide) || !AppendWide(CP_ACP, text, i, i + 1, wide)) return false;
            runStart = ++i;
        }
    }
    return AppendWide(932, text, runStart, text.size(), wide);
}

}  // namespace

bool WriteWideConsole(StandardStream stream, const std::string& cp932) {
    if (cp932.empty()) return true;
    std::vector<wchar_t> wide;
    if (!MessageToWide(cp932, wide)) return false;
    const HANDLE handle = StandardHandle(stream);
    std::size_t done = 0;
    while (done < wide.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 16384));
        if (!::WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace platform
