// Threads, events, time, libraries, text conversion, process and console
// services on POSIX.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "platform/process_state.h"
#include "platform/platform.h"
#include "platform/version_strings.h"
#include "platform/whole_writes.h"

namespace platform {

namespace {

constexpr int kKeyPollMs = 100;
// A stream write to a file that the end waits for: ample for a block on a
// local disk, short enough that a stuck one does not hold the end.
constexpr uint32_t kWholeWriteGraceMs = 1000;

}  // namespace

// ---- Process and console -----------------------------------------------------

uint32_t ProcessId() {
    return static_cast<uint32_t>(::getpid());
}

std::string ExecutablePath() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return std::string();
    path.resize(static_cast<std::size_t>(n));
    return path;
}

std::string TemporaryDirectory() {
    const char* dir = std::getenv("TMPDIR");
    std::string result = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    if (result.back() != '/') result.push_back('/');
    return result;
}

void AllocConsole() {}

bool ReadKeyNoEcho() {
    // Standard input may carry the stream itself: the key comes from the
    // terminal, and a process without one does not wait.
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0) {
        ::close(fd);
        return false;
    }
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &raw);
    // Polled, so that Ctrl+C ends the wait as well.
    bool pressed = false;
    while (!pressed && StopRequested.load() == 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kKeyPollMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if ((p.revents & POLLIN) == 0) break;
        unsigned char key = 0;
        const ssize_t n = ::read(fd, &key, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pressed = true;
    }
    ::tcsetattr(fd, TCSANOW, &saved);
    ::close(fd);
    return pressed;
}

namespace {

// Signals are turned into console events on a thread of our own: the
// handler may do more than a signal handler safely can (print, set events),
// just as the system's own thread runs it on Windows.
ControlHandler controlHandler = nullptr;
int signalPipe[2] = {-1, -1};

void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void HandleEvent(int number) {
    const uint32_t event = number == SIGINT ? 0u : 2u;
    const ControlHandler handler = controlHandler;
    if (handler != nullptr && handler(event)) return;
    // Unhandled: the process ends as it would without a handler.
    ::signal(number, SIG_DFL);
    ::raise(number);
}

void* EventThread(void* argument) {
    HandleEvent(static_cast<int>(reinterpret_cast<intptr_t>(argument)));
    return nullptr;
}

// Each event runs on a thread of its own, as the system does it on Windows:
// a handler stuck in a write nobody takes must not keep the next Ctrl+C
// from being seen.
void* SignalThread(void*) {
    for (;;) {
        unsigned char number = 0;
        const ssize_t n = ::read(signalPipe[0], &number, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return nullptr;
        pthread_t thread;
        pthread_attr_t attr;
        ::pthread_attr_init(&attr);
        ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        const int rc = ::pthread_create(&thread, &attr, EventThread, reinterpret_cast<void*>(intptr_t{number}));
        ::pthread_attr_destroy(&attr);
        if (rc != 0) HandleEvent(number);
    }
}

}  // namespace

bool SetControlHandler(ControlHandler handler) {
    ::signal(SIGPIPE, SIG_IGN);
    // A file-size limit then fails the write, which the sink reports and
    // cuts back to whole packets, instead of killing the process mid-packet.
    ::signal(SIGXFSZ, SIG_IGN);
    if (signalPipe[0] < 0) {
        if (::pipe2(signalPipe, O_CLOEXEC) != 0) return false;
        pthread_t thread;
        pthread_attr_t attr;
        ::pthread_attr_init(&attr);
        ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        const int rc = ::pthread_create(&thread, &attr, SignalThread, nullptr);
        ::pthread_attr_destroy(&attr);
        if (rc != 0) {
            ::close(signalPipe[0]);
            ::close(signalPipe[1]);
            signalPipe[0] = signalPipe[1] = -1;
            return false;
        }
    }
    controlHandler = handler;
    struct sigaction action {};
    action.sa_handler = handler != nullptr ? OnSignal : SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int number : {SIGINT, SIGHUP, SIGTERM}) {
        ok = ::sigaction(number, &action, nullptr) == 0 && ok;
    }
    return ok;
}

std::string ReadVersionString(const char* executablePath, const char* entry) {
    (void)executablePath;
    if (entry == nullptr) return std::string();
    if (std::strcmp(entry, "CompanyName") == 0) return TRELVAN_COMPANY_NAME;
    if (std::strcmp(entry, "Comments") == 0) return TRELVAN_COMMENTS;
    return std::string();
}

uint32_t LastError() {
    return static_cast<uint32_t>(errno);
}

void PumpMessages() {}

void EndProcessNow(int exitCode) {
    HoldWholeWrites(kWholeWriteGraceMs);
    ::_exit(exitCode);
}

// ---- Threads, events, time -----------------------------------------------------

namespace {

// Owned by the handle and by the running thread together: whichever lets go
// last frees it, so a detached thread leaves nothing behind.
struct ThreadRecord {
    pthread_t thread{};
    ThreadFunction function = nullptr;
    void* argument = nullptr;
    std::atomic<int> owners{2};
};

void Release(ThreadRecord* record) {
    if (record->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete record;
}

void* ThreadEntry(void* raw) {
    auto* record = static_cast<ThreadRecord*>(raw);
    const ThreadFunction function = record->function;
    void* const argument = record->argument;
    Release(record);
    function(argument);
    return nullptr;
}

struct EventRecord {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond{};
    bool signalled = false;
};

}  // namespace

ThreadHandle StartThread(ThreadFunction function, void* argument) {
    ThreadHandle handle;
    if (function == nullptr) return handle;
    auto* record = new (std::nothrow) ThreadRecord;
    if (record == nullptr) return handle;
    record->function = function;
    record->argument = argument;
    if (::pthread_create(&record->thread, nullptr, ThreadEntry, record) != 0) {
        delete record;
        return handle;
    }
    handle.impl = record;
    return handle;
}

void JoinThread(ThreadHandle& thread) {
    auto* record = static_cast<ThreadRecord*>(thread.impl);
    if (record == nullptr) return;
    ::pthread_join(record->thread, nullptr);
    Release(record);
    thread.impl = nullptr;
}

void DetachThread(ThreadHandle& thread) {
    auto* record = static_cast<ThreadRecord*>(thread.impl);
    if (record == nullptr) return;
    ::pthread_detach(record->thread);
    Release(record);
    thread.impl = nullptr;
}

Event::Event(bool signalled) {
    auto* record = new (std::nothrow) EventRecord;
    if (record == nullptr) return;
    pthread_condattr_t attr;
    ::pthread_condattr_init(&attr);
    // Timed waits must not jump with the wall clock.
    ::pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const int rc = ::pthread_cond_init(&record->cond, &attr);
    ::pthread_condattr_destroy(&attr);
    if (rc != 0) {
        delete record;
        return;
    }
    record->signalled = signalled;
    impl_ = record;
}

Event::~Event() {
    auto* record = static_cast<EventRecord*>(impl_);
    if (record == nullptr) return;
    ::pthread_cond_destroy(&record->cond);
    ::pthread_mutex_destroy(&record->mutex);
    delete record;
}

void Event::Set() {
    auto* record = static_cast<EventRecord*>(impl_);
    if (record == nullptr) return;
    ::pthread_mutex_lock(&record->mutex);
    record->signalled = true;
    ::pthread_cond_broadcast(&record->cond);
    ::pthread_mutex_unlock(&record->mutex);
}

void Event::Reset() {
    auto* record = static_cast<EventRecord*>(impl_);
    if (record == nullptr) return;
    ::pthread_mutex_lock(&record->mutex);
    record->signalled = false;
    ::pthread_mutex_unlock(&record->mutex);
}

void Event::Wait() {
    auto* record = static_cast<EventRecord*>(impl_);
    if (record == nullptr) return;
    ::pthread_mutex_lock(&record->mutex);
    while (!record->signalled)
        ::pthread_cond_wait(&record->cond, &record->mutex);
    ::pthread_mutex_unlock(&record->mutex);
}

bool Event::WaitFor(uint32_t milliseconds) {
    auto* record = static_cast<EventRecord*>(impl_);
    if (record == nullptr) return false;
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    ::pthread_mutex_lock(&record->mutex);
    while (!record->signalled) {
        if (::pthread_cond_timedwait(&record->cond, &record->mutex, &deadline) == ETIMEDOUT) break;
    }
    const bool result = record->signalled;
    ::pthread_mutex_unlock(&record->mutex);
    return result;
}

uint32_t TickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
    return static_cast<uint32_t>(ms);
}

uint32_t CoarseTickCount() {
    timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE
    if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0)
#endif
        ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000);
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {}
}

// ---- Local time --------------------------------------------------------------------

namespace {

// The range a SYSTEMTIME/FILETIME pair can hold on Windows; both systems
// refuse the same date-times.
constexpr int64_t kFirstSecond = -11644473600LL;  // 1601-01-01 00:00:00 UTC
constexpr int kLastYear = 30827;

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool LocalDateTimeToSeconds(const DateTime& local, int64_t& seconds) {
    if (local.year < 1601 || local.year > kLastYear || local.month < 1 || local.month > 12 || local.day < 1 ||
        local.day > DaysInMonth(local.year, local.month) || local.hour > 23 || local.minute > 59 || local.second > 59 ||
        local.millisecond > 999) {
        return false;
    }
    tm fields{};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    fields.tm_isdst = -1;
    errno = 0;
    const time_t result = ::mktime(&fields);
    // -1 is also the valid instant 1969-12-31 23:59:59 UTC; errno tells.
    if (result == static_cast<time_t>(-1) && errno != 0) return false;
    if (static_cast<int64_t>(result) < kFirstSecond) return false;
    seconds = static_cast<int64_t>(result);
    return true;
}

bool SecondsToLocalDateTime(int64_t seconds, DateTime& local) {
    if (seconds < kFirstSecond) return false;
    const time_t value = static_cast<time_t>(seconds);
    tm fields{};
    if (::localtime_r(&value, &fields) == nullptr) return false;
    const int64_t year = static_cast<int64_t>(fields.tm_year) + 1900;
    if (year < 1601 || year > kLastYear) return false;
    local.year = static_cast<uint16_t>(year);
    local.month = static_cast<uint16_t>(fields.tm_mon + 1);
    local.dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
    local.day = static_cast<uint16_t>(fields.tm_mday);
    local.hour = static_cast<uint16_t>(fields.tm_hour);
    local.minute = static_cast<uint16_t>(fields.tm_min);
    local.second = static_cast<uint16_t>(fields.tm_sec);
    local.millisecond = 0;
    return true;
}

// ---- Dynamic libraries ---------------------------------------------------------------

void* OpenLibrary(const char* path) {
    if (path == nullptr || *path == '\0') return nullptr;
    return ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return ::dlsym(library, name);
}

void CloseLibrary(void* library) {
    if (library != nullptr) ::dlclose(library);
}

// ---- Text conversion ----------------------------------------------------------------------

namespace {

// An iconv descriptor opened once per thread and direction: opening one
// costs far more than converting a message line, and a descriptor keeps
// state, so threads never share one.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Converter() {
        if (Valid()) ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // False on invalid or incomplete input.
    bool Convert(const char* input, std::size_t inputSize, std::string& output);

private:
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    iconv_t cd_;
};

bool Converter::Convert(const char* input, std::size_t inputSize, std::string& output) {
    output.clear();
    if (inputSize == 0) return true;
    if (!Valid()) return false;
    // A conversion that failed halfway leaves nothing behind for this one.
    ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string result(inputSize * 4 + 16, '\0');
    char* in = const_cast<char*>(input);
    std::size_t inLeft = inputSize;
    char* out = result.data();
    std::size_t outLeft = result.size();
    while (inLeft > 0) {
        if (::iconv(cd_, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1)) continue;
        if (errno != E2BIG) return false;
        const std::size_t done = static_cast<std::size_t>(out - result.data());
        result.resize(result.size() * 2);
        out = result.data() + done;
        outLeft = result.size() - done;
    }
    result.resize(static_cast<std::size_t>(out - result.data()));
    output = std::move(result);
    return true;
}

Converter& Cp932ToUtf16Converter() {
    thread_local Converter converter("UTF-16LE", "CP932");
    return converter;
}

Converter& Utf16ToCp932Converter() {
    thread_local Converter converter("CP932", "UTF-16LE");
    return converter;
}

Converter& Cp932ToUtf8Converter() {
    thread_local Converter converter("UTF-8", "CP932");
    return converter;
}

}  // namespace

bool AnsiToUtf16(const std::string& ansi, std::u16string& wide) {
    std::string bytes;
    if (!Cp932ToUtf16Converter().Convert(ansi.data(), ansi.size(), bytes)) return false;
    wide.assign(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] =
            static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    }
    return true;
}

bool Utf16ToAnsi(const std::u16string& wide, std::string& ansi) {
    std::string bytes(wide.size() * 2, '\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = static_cast<char>(wide[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(wide[i] >> 8);
    }
    return Utf16ToCp932Converter().Convert(bytes.data(), bytes.size(), ansi);
}

bool Cp932ToUtf8(const std::string& cp932, std::string& utf8) {
    return Cp932ToUtf8Converter().Convert(cp932.data(), cp932.size(), utf8);
}

namespace {

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool NamesUtf8(const std::string& charset) {
    return EqualsIgnoringCase(charset, "UTF-8") || EqualsIgnoringCase(charset, "UTF8");
}

bool NamesCp932(const std::string& charset) {
    return EqualsIgnoringCase(charset, "CP932") || EqualsIgnoringCase(charset, "SJIS") ||
           EqualsIgnoringCase(charset, "Shift_JIS") || EqualsIgnoringCase(charset, "Shift-JIS") ||
           EqualsIgnoringCase(charset, "windows-31j");
}

// "ja_JP.UTF-8@modifier" -> "UTF-8"; the locale names are read as they
// stand, so a UTF-8 locale counts even where it is not generated.
std::string LocaleCharset(const char* locale) {
    std::string name(locale);
    const std::size_t at = name.find('@');
    if (at != std::string::npos) name.resize(at);
    const std::size_t dot = name.find('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

}  // namespace

TextEncoding PreferredTextEncoding() {
    if (const char* forced = std::getenv("TRELVAN_CHARSET"); forced != nullptr && *forced != '\0') {
        if (NamesUtf8(forced)) return TextEncoding::Utf8;
        if (NamesCp932(forced)) return TextEncoding::Cp932;
    }
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* locale = std::getenv(variable);
        if (locale == nullptr || *locale == '\0') continue;
        return NamesUtf8(LocaleCharset(locale)) ? TextEncoding::Utf8 : TextEncoding::Cp932;
    }
    return TextEncoding::Cp932;
}

bool IsWideConsole(StandardStream) {
    return false;
}

bool WriteWideConsole(StandardStream, const std::string&) {
    return false;
}

}  // namespace platform
