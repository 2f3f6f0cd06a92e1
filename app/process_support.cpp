// Start-up, shut-down, the console control handler and directory search.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/find_files.h"
#include "app/run_settings.h"
#include "common/process_state.h"
#include "common/text.h"
#include "report/reporter.h"

namespace {

constexpr uint32_t kBackgroundPeriodMs = 100;

uint32_t BackgroundThread(void* argument) {
    static_cast<platform::Event*>(argument)->Set();
    while (StopRequested.load() == 0) {
        platform::PumpMessages();
        platform::SleepMs(kBackgroundPeriodMs);
    }
    return 1;
}

// Time the orderly stop gets after the second request before the process
// ends itself, and the status it ends with then.
constexpr uint32_t kForcedEndDelayMs = 3000;
constexpr int kForcedEndExitCode = 255;
// Longest wait for the console and log text to go out before the process
// ends: a console or log that nobody reads must not keep it alive.
constexpr uint32_t kLastWordsMs = 500;

std::atomic<uint32_t> stopRequestCount{0};

// Text that is handed on before the process ends, when it can be.
struct LastWords {
    Reporter* reporter = nullptr;
    const char* notice = nullptr;
    platform::Event done{false};
};

using SharedLastWords = std::shared_ptr<LastWords>;

uint32_t WriteLastWords(void* argument) {
    // The thread's own share: the record lives as long as either side needs it.
    const std::unique_ptr<SharedLastWords> share(static_cast<SharedLastWords*>(argument));
    LastWords& words = **share;
    // Console text already written is handed on; the stream's own staging
    // is not touched, since the stuck thread may be using it.
    words.reporter->FlushStdout();
    if (words.notice != nullptr && words.reporter->ConsoleOn()) {
        words.reporter->WriteStdout(words.notice, std::strlen(words.notice));
        words.reporter->FlushStdout();
    }
    words.done.Set();
    return 0;
}

// Every write may block (a pipe nobody reads, a stalled terminal): they run
// on a thread of their own that the caller waits for a short while only. The
// record is shared, so that neither side frees it while the other still
// uses it.
void HandOnLastWords(Reporter& reporter, const char* notice) {
    const SharedLastWords words(new (std::nothrow) LastWords);
    if (!words || !words->done.Valid()) return;
    words->reporter = &reporter;
    words->notice = notice;
    auto* share = new (std::nothrow) SharedLastWords(words);
    if (share == nullptr) return;
    platform::ThreadHandle writer = platform::StartThread(WriteLastWords, share);
    if (!writer) {
        delete share;
        return;
    }
    platform::DetachThread(writer);
    words->done.WaitFor(kLastWordsMs);
}

// A second stop request means the user is waiting: when the orderly stop is
// stuck (a tuner driver that never returns from closing, a write nobody
// takes), the process must still end rather than leave only a kill to the
// user.
uint32_t ForcedEndWatch(void* argument) {
    Reporter& reporter = *static_cast<Reporter*>(argument);
    platform::SleepMs(kForcedEndDelayMs);
    // The program never withdraws a stop request; an embedding test does,
    // and then nothing is stuck.
    if (StopRequested.load() == 0) {
        stopRequestCount.store(0);
        return 0;
    }
    HandOnLastWords(reporter, "－ 終了処理が応答しないため強制終了します\n");
    platform::EndProcessNow(kForcedEndExitCode);
}

void WatchForStuckStop(Reporter& reporter) {
    if (stopRequestCount.fetch_add(1) != 1) return;
    platform::ThreadHandle watch = platform::StartThread(ForcedEndWatch, &reporter);
    if (watch) platform::DetachThread(watch);
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The directory without its trailing separators, joined with one separator.
std::string JoinPath(const std::string& directory, const char* name) {
    std::string joined = directory;
    while (joined.size() > 1 && IsSeparator(joined.back()))
        joined.pop_back();
    joined.push_back(platform::PathSeparator());
    joined += name;
    return joined;
}

std::vector<std::string> SplitPatterns(const char* patterns) {
    std::vector<std::string> result;
    const char* start = patterns;
    for (;;) {
        const char* end = std::strchr(start, ';');
        std::string pattern = end != nullptr ? std::string(start, end) : std::string(start);
        if (!pattern.empty()) result.push_back(std::move(pattern));
        if (end == nullptr) break;
        start = end + 1;
    }
    return result;
}

}  // namespace

void FindFiles(const char* directory, const char* patterns, CFindFileInfo*& result, bool recurse,
               bool includeDirectories) {
    if (directory == nullptr || patterns == nullptr || *directory == '\0' || *patterns == '\0') return;
    const std::size_t dirLength = std::strlen(directory);
    const std::size_t patternLength = std::strlen(patterns);
    if (dirLength >= kMaxPath || patternLength >= kMaxPath || dirLength + patternLength >= kMaxPath) return;

    std::vector<std::string> work{directory};
    if (recurse) {
        // Depth first, the most recently found subdirectory next.
        std::vector<std::string> pending{directory};
        work.clear();
        while (!pending.empty()) {
            std::string current = std::move(pending.back());
            pending.pop_back();
            for (const platform::DirEntry& entry : platform::ListDirectory(current.c_str(), "*")) {
                if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
                pending.push_back(JoinPath(current, entry.name.c_str()));
            }
            work.push_back(std::move(current));
        }
    }

    const std::vector<std::string> patternList = SplitPatterns(patterns);
    for (const std::string& dir : work) {
        for (const std::string& pattern : patternList) {
            for (const platform::DirEntry& entry : platform::ListDirectory(dir.c_str(), pattern.c_str())) {
                if (entry.name == "." || entry.name == "..") continue;
                if (entry.isDirectory && !includeDirectories) continue;
                const std::string path = JoinPath(dir, entry.name.c_str());
                // A cut path could name another file, which the caller may
                // then delete: an entry that does not fit is left out.
                if (path.size() >= kMaxPath) continue;
                auto* info = new (std::nothrow) CFindFileInfo;
                if (info == nullptr) continue;
                CopyText(info->path, sizeof info->path, path.c_str());
                info->lastWriteTime = entry.lastWriteTime;
                info->size = entry.size;
                info->next = result;
                result = info;
            }
        }
    }
}

void FreeFindList(CFindFileInfo*& list) {
    while (list != nullptr) {
        CFindFileInfo* next = list->next;
        delete list;
        list = next;
    }
}

void StartUp(Reporter& reporter) {
    std::string temp = platform::TemporaryDirectory();
    if (!temp.empty() && !IsSeparator(temp.back())) temp.push_back(platform::PathSeparator());
    if (!CopyText(TempDir, sizeof TempDir, temp.c_str())) TempDir[0] = '\0';

    PathParts parts;
    const std::string executable = platform::ExecutablePath();
    if (!SplitPath(executable.c_str(), parts) || !CopyText(ProgramName, sizeof ProgramName, parts.name.c_str())) {
        ProgramName[0] = '\0';
    }

    if (StopRequested.load() != 0) return;
    platform::Event started(false);
    platform::ThreadHandle thread = platform::StartThread(BackgroundThread, &started);
    if (!thread) {
        reporter.PrintMessage(0, "[ Main ] スレッド起動失敗 : %d .\n", static_cast<int>(platform::LastError()));
        return;
    }
    started.Wait();
    // Nobody waits for it: it ends with ShutDown or with the process.
    platform::DetachThread(thread);
}

bool ConsoleControlHandler(Reporter& reporter, uint32_t event) {
    const char* notice = nullptr;
    if (event == 0) {
        StopReason.store(1);
        notice = "－ CTRL+Cが押されました\n";
    } else if (event == 2) {
        StopReason.store(2);
        notice = "－ 閉じられます\n";
    } else {
        // The process ends as without a handler: gathered lines go first,
        // as far as they can.
        HandOnLastWords(reporter, nullptr);
        return false;
    }
    StopRequested.store(1);
    WatchForStuckStop(reporter);
    if (reporter.ProgressShown()) {
        reporter.WriteStdout(notice, std::strlen(notice));
        reporter.FlushStdout();
        reporter.MarkConsoleLineClosed(true);
    }
    return true;
}

namespace {

// The operating system calls the handler without arguments.
std::atomic<Reporter*> controlReporter{nullptr};

bool RouteControlEvent(uint32_t event) {
    Reporter* reporter = controlReporter.load();
    return reporter != nullptr && ConsoleControlHandler(*reporter, event);
}

}  // namespace

void InstallControlHandler(Reporter& reporter) {
    controlReporter.store(&reporter);
    platform::SetControlHandler(RouteControlEvent);
}

void ShutDown() {
    StopRequested.store(1);
    CFindFileInfo* list = nullptr;
    const std::string pattern = FormatString("%s????.tmp*", "QMV");
    FindFiles(TempDir, pattern.c_str(), list, false, false);
    for (CFindFileInfo* entry = list; entry != nullptr; entry = entry->next) {
        // The directory is shared: only plain files of the running user go,
        // never another user's file or a link's target.
        if (platform::IsOwnPlainFile(entry->path)) platform::RemoveFile(entry->path);
    }
    FreeFindList(list);
}
