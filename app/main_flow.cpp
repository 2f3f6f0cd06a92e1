// The program's entry: command line, passes over the inputs, end sequence.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_internal.h"
#include "app/job_report.h"
#include "app/run_settings.h"
#include "common/process_state.h"
#include "common/text.h"
#include "endpoints/endpoint_path.h"
#include "endpoints/endpoints.h"
#include "engine/stream_job.h"
#include "report/reporter.h"

RunSettingsRecord RunSettings;
int32_t FailedJobs = 0;
int32_t ServedJobs = 0;
const ByteBuffer* CommandLineInputs = nullptr;

namespace {
std::vector<JobReport> KeptJobReports;
}  // namespace

void KeepJobReport(JobReport report) {
    if (RunSettings.jsonpath[0] != '\0') KeptJobReports.push_back(std::move(report));
}

namespace {

const char* const kUsageLines[] = {
    "引数\n",
    "　%s.exe[ -srcpath] 入力tsファイルパス[ -throughpath 出力tsファイルパス][ -log][ -logpath ログファイルパス ][ "
    "-sync][ -detail][ -pause][ -pid][ -wraparound]\n",
    "説明\n",
    "　入力tsパケットをそのまま出力する\n",
    "　-srcpath 入力tsファイルパス\n",
    "　　ファイルパス, 標準入力 \"CON\", パイプ \"\\\\.\\pipe\\SendTSTCP_ポート番号_親プロセスID\", BonDriver "
    "\"\\\\.\\bondriver\\チューナー空間番号\\BonDriver内部チャンネル番号\\BonDriverdllパス\" いずれかを指定する\n",
    "　-throughpath 出力tsファイルパス　(省略時 入力tsファイルパス＋'.%s'＋拡張子)\n",
    "　　ファイルパス, 標準出力 \"CON\", SendTSTcp.dll送信先 "
    "\"\\\\.\\sendtstcp\\送信先:ポート番号\\SendTSTcp.dllパス\"  いずれかを指定する\n",
    "　-log\n",
    "　　ログ出力する\n",
    "　-logpath ログファイルパス\n",
    "　　ログファイルパスを指定する\n",
    "　　-log時のみ有効です\n",
    "　　ログファイルにtsファイル指定したらログ出力は無効です\n",
    "　-sync\n",
    "　　等速処理する\n",
    "　-detail\n",
    "　　詳細出力する\n",
    "　-pause\n",
    "　　開始前にキー入力待ちする\n",
    "　-pid\n",
    "　　プロセスIDを表示する\n",
    "　-wraparound\n",
    "　　PCR Wrap-around日時を表示する\n",
    "　-rwcntundrop PIDまたはcaption\n",
    "　　巡回カウンタをドロップしていないように書き換える\n",
    "　-rwcntdrop \"PID:秒;...;PID:秒\"\n",
    "　　巡回カウンタをドロップしているように書き換える\n",
};

enum class ArgState {
    Input,
    LogPath,
    OutputPath,
    BufferSize,
    Duration,
    PluginPath,
    UndropTarget,
    DropList,
    PatchTime,
    JsonPath,
    IgnoredValue,
};

enum class Effect {
    None,
    Log,
    Sync,
    Capstr,
    Detail,
    Sdt,
    Eit,
    Pause,
    Pid,
    Drop,
    Wraparound,
    NoProgress,
    Loop,
    Nodel,
};

struct Keyword {
    const char* text;
    ArgState state;  // state after the keyword (Input for switches)
    Effect effect;
};

// Every keyword is tried, in this order; the last match sets the state.
constexpr Keyword kKeywords[] = {
    {"srcpath", ArgState::Input, Effect::None},
    {"log", ArgState::Input, Effect::Log},
    {"logpath", ArgState::LogPath, Effect::None},
    {"sync", ArgState::Input, Effect::Sync},
    {"capstr", ArgState::Input, Effect::Capstr},
    {"detail", ArgState::Input, Effect::Detail},
    {"throughpath", ArgState::OutputPath, Effect::None},
    {"bufsize", ArgState::BufferSize, Effect::None},
    {"duration", ArgState::Duration, Effect::None},
    {"wsize", ArgState::IgnoredValue, Effect::None},
    {"wcaption", ArgState::IgnoredValue, Effect::None},
    {"tvtppath", ArgState::PluginPath, Effect::None},
    {"capmergepatch", ArgState::IgnoredValue, Effect::None},
    {"rwcntundrop", ArgState::UndropTarget, Effect::None},
    {"filterpath", ArgState::IgnoredValue, Effect::None},
    {"rwcntdrop", ArgState::DropList, Effect::None},
    {"dump", ArgState::IgnoredValue, Effect::None},
    {"piddef", ArgState::IgnoredValue, Effect::None},
    {"paramhex", ArgState::IgnoredValue, Effect::None},
    {"patchtime", ArgState::PatchTime, Effect::None},
    {"sdt", ArgState::Input, Effect::Sdt},
    {"eit", ArgState::Input, Effect::Eit},
    {"pause", ArgState::Input, Effect::Pause},
    {"pid", ArgState::Input, Effect::Pid},
    {"drop", ArgState::Input, Effect::Drop},
    {"wraparound", ArgState::Input, Effect::Wraparound},
    {"noprogress", ArgState::Input, Effect::NoProgress},
    {"loop", ArgState::Input, Effect::Loop},
    {"nodel", ArgState::Input, Effect::Nodel},
    {"jsonpath", ArgState::JsonPath, Effect::None},
};

int32_t ToInt32(long long value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

void ApplyEffect(Reporter& reporter, Effect effect, const char* option, std::size_t keywordLength) {
    switch (effect) {
        case Effect::None:
            break;
        case Effect::Log:
            RunSettings.log = true;
            break;
        case Effect::Sync:
            RunSettings.sync = true;
            break;
        case Effect::Capstr:
            RunSettings.capstr = true;
            break;
        case Effect::Detail:
            RunSettings.detail = true;
            break;
        case Effect::Sdt:
            RunSettings.sdt = true;
            break;
        case Effect::Eit:
            RunSettings.eit = true;
            break;
        case Effect::Pause:
            RunSettings.pause = true;
            break;
        case Effect::Pid:
            RunSettings.pid = true;
            break;
        case Effect::Drop:
            RunSettings.drop = true;
            break;
        case Effect::Wraparound:
            RunSettings.wraparound = true;
            break;
        case Effect::NoProgress:
            reporter.SetProgressOn(false);
            break;
        case Effect::Loop:
            RunSettings.loop = true;
            if (option[keywordLength] != '\0') RunSettings.loopCount = ToInt32(ParseDecimal(option + keywordLength));
            break;
        case Effect::Nodel:
            RunSettings.nodel = true;
            break;
    }
}

bool MatchesKeyword(const char* option, const Keyword& keyword) {
    const std::size_t keywordLength = std::strlen(keyword.text);
    return std::strlen(option) >= keywordLength && EqualsIgnoreCaseN(option, keyword.text, keywordLength);
}

// The state an option leaves the reader in, without its effects.
ArgState StateAfterOption(const char* option) {
    ArgState state = ArgState::Input;
    for (const Keyword& keyword : kKeywords) {
        if (MatchesKeyword(option, keyword)) state = keyword.state;
    }
    return state;
}

ArgState ReadOption(Reporter& reporter, const char* argument) {
    const char* option = argument + 1;
    bool matched = false;
    for (const Keyword& keyword : kKeywords) {
        if (!MatchesKeyword(option, keyword)) continue;
        ApplyEffect(reporter, keyword.effect, option, std::strlen(keyword.text));
        matched = true;
    }
    // A mistyped option would otherwise switch nothing on without a word.
    if (!matched) {
        reporter.PrintMessage(static_cast<int32_t>(std::strlen(argument)) + 260, "－ 不明なオプションです %s\n",
                              argument);
    }
    return StateAfterOption(option);
}

void NotePidNotANumber(Reporter& reporter, const std::string& text) {
    reporter.PrintMessage(static_cast<int32_t>(text.size()) + 260, "－ PIDが数値ではありません %s\n", text.c_str());
}

// An entry whose PID is no number never fires; the user hears of it once,
// here, instead of finding the stream unchanged afterwards.
void CheckDropListPids(Reporter& reporter, const std::string& list) {
    std::size_t begin = 0;
    while (begin <= list.size()) {
        std::size_t end = list.find_first_of(kDropListSeparators, begin);
        if (end == std::string::npos) end = list.size();
        const std::string entry = list.substr(begin, end - begin);
        uint16_t pid = 0;
        if (!entry.empty() && !ParsePidText(entry.substr(0, entry.find(':')), pid)) NotePidNotANumber(reporter, entry);
        begin = end + 1;
    }
}

void RefusePath(Reporter& reporter, const char* value) {
    reporter.PrintMessage(static_cast<int32_t>(std::strlen(value)) + 260, kPathTooLongNotice, value);
}

// A value that would silently become 0 (an empty window, a default buffer)
// refuses the run instead.
bool RefuseUnlessNumber(Reporter& reporter, const char* value) {
    if (IsDecimalNumber(value)) return true;
    reporter.PrintMessage(static_cast<int32_t>(std::strlen(value)) + 260, "－ 数値ではありません %s\n", value);
    return false;
}

// Returns false when the value was refused.
bool ReadValue(Reporter& reporter, ArgState state, const char* value, ByteBuffer& inputList) {
    switch (state) {
        case ArgState::Input:
            if (*value == '\0') return true;
            // Every input is copied into a fixed field before its job.
            if (std::strlen(value) >= kMaxPath) {
                RefusePath(reporter, value);
                return false;
            }
            inputList.Append(value, static_cast<int32_t>(std::strlen(value) + 1), kTextSlack);
            return true;
        case ArgState::LogPath:
            if (!CopyText(RunSettings.logpath, sizeof RunSettings.logpath, value)) {
                RefusePath(reporter, value);
                return false;
            }
            return true;
        case ArgState::OutputPath:
            if (!CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, value)) {
                RefusePath(reporter, value);
                return false;
            }
            return true;
        case ArgState::BufferSize:
            if (!RefuseUnlessNumber(reporter, value)) return false;
            RunSettings.bufsize = static_cast<uint32_t>(ToInt32(ParseDecimal(value)));
            return true;
        case ArgState::Duration:
            if (!IsDurationList(value)) {
                reporter.PrintMessage(static_cast<int32_t>(std::strlen(value)) + 260,
                                      "－ 時間の指定が正しくありません %s\n", value);
                return false;
            }
            RunSettings.duration = std::string(value);
            return true;
        case ArgState::PluginPath:
            AddPluginPath(value);
            return true;
        case ArgState::UndropTarget:
            if (EqualsIgnoreCaseN(value, "caption", 7)) {
                RunSettings.rwcntundrop |= kUndropCaption;
            } else {
                uint16_t pid = 0;
                if (!ParsePidText(value, pid)) {
                    NotePidNotANumber(reporter, value);
                    return true;
                }
                RunSettings.rwcntundrop = (RunSettings.rwcntundrop & ~0xFFFFu) | pid;
            }
            return true;
        case ArgState::DropList:
            CheckDropListPids(reporter, value);
            RunSettings.rwcntdrop = std::string(value);
            RunSettings.rwcntdropCursor = 0;
            return true;
        case ArgState::PatchTime:
            if (!RefuseUnlessNumber(reporter, value)) return false;
            RunSettings.patchtime = ToInt32(ParseDecimal(value));
            return true;
        case ArgState::JsonPath:
            if (!CopyText(RunSettings.jsonpath, sizeof RunSettings.jsonpath, value)) {
                RefusePath(reporter, value);
                return false;
            }
            return true;
        case ArgState::IgnoredValue:
            return true;
    }
    return true;
}

void WriteText(Reporter& reporter, const std::string& text) {
    reporter.WriteStdout(text.data(), text.size());
}

constexpr uint32_t kIdlePassWaitMs = 1000;
constexpr uint32_t kStopPollMs = 50;

// A pass in which no job carried a packet (every input refused or failing)
// would otherwise repeat at once, for ever, at full speed.
void WaitAfterIdlePass() {
    const uint32_t start = platform::TickCount();
    while (StopRequested.load() == 0 && platform::TickCount() - start < kIdlePassWaitMs) {
        platform::SleepMs(kStopPollMs);
    }
}

}  // namespace

const char* const kPathTooLongNotice = "－ パスが長すぎます %s\n";

bool ParseCommandLine(Reporter& reporter, int argc, char** argv, ByteBuffer& inputList) {
    ArgState state = ArgState::Input;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) continue;
        if (IsOptionArgument(arg)) {
            state = ReadOption(reporter, arg);
            continue;
        }
        const ArgState current = state;
        state = ArgState::Input;
        if (!ReadValue(reporter, current, arg, inputList)) return false;
    }
    return true;
}

bool AnyOutputIsConsole(int argc, char** argv) {
    ArgState state = ArgState::Input;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        if (IsOptionArgument(argv[i])) {
            state = StateAfterOption(argv[i] + 1);
            continue;
        }
        if (state == ArgState::OutputPath && std::strcmp(argv[i], kConsolePath) == 0) return true;
        state = ArgState::Input;
    }
    return false;
}

bool IsOptionArgument(const char* argument) {
    if (argument == nullptr) return false;
    if (argument[0] == '-') return true;
#ifdef _WIN32
    return argument[0] == '/';
#else
    // '/' begins every absolute path here; taking it as an option would
    // drop such inputs silently.
    return false;
#endif
}

bool IsHelpArgument(const char* argument) {
    if (argument == nullptr) return false;
    static const char* const kHelpForms[] = {
        "-h", "-help", "--help", "-?",
#ifdef _WIN32
        "/?", "/h",    "/help",
#endif
    };
    for (const char* form : kHelpForms) {
        if (std::strlen(argument) == std::strlen(form) && EqualsIgnoreCaseN(argument, form, std::strlen(form))) {
            return true;
        }
    }
    return false;
}

namespace {

bool AsksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (IsHelpArgument(argv[i])) return true;
    }
    return false;
}

}  // namespace

void PrintUsage(Reporter& reporter) {
    for (const char* line : kUsageLines) {
        // Only lines 2 and 7 carry "%s": the program's own name.
        WriteText(reporter, std::strstr(line, "%s") != nullptr ? FormatString(line, ProgramName) : std::string(line));
    }
    const std::string executable = platform::ExecutablePath();
    const std::string company = platform::ReadVersionString(executable.c_str(), "CompanyName");
    const std::string comments = platform::ReadVersionString(executable.c_str(), "Comments");
    if (!company.empty() || !comments.empty()) {
        WriteText(reporter, "連絡先他\n");
        if (!company.empty()) WriteText(reporter, FormatString("　%s\n", company.c_str()));
        if (!comments.empty()) WriteText(reporter, FormatString("　%s\n", comments.c_str()));
    }
    reporter.FlushStdout();
}

int32_t ExitStatus(int32_t sum) {
#ifdef _WIN32
    return sum;
#else
    // An exit status keeps 8 bits: 256 drops would read as success.
    if (sum < 0 || sum > 255) return 255;
    return sum;
#endif
}

int32_t RunPasses(Reporter& reporter, const ByteBuffer& inputList, int32_t (*job)(Reporter&)) {
    int32_t sum = 0;
    if (inputList.used <= 0) return sum;
    const int32_t initialCount = RunSettings.loopCount;
    CommandLineInputs = &inputList;
    for (;;) {
        const int32_t servedBefore = ServedJobs;
        const int32_t failedBefore = FailedJobs;
        int32_t jobsInPass = 0;
        const char* path = inputList.Text();
        const char* end = reinterpret_cast<const char*>(inputList.data) + inputList.used;
        while (path < end) {
            if (StopRequested.load() != 0) break;
            const ConsoleSwitches savedConsole = reporter.Console();
            char savedLog[kMaxPath];
            char savedThrough[kMaxPath];
            std::memcpy(savedLog, RunSettings.logpath, sizeof savedLog);
            std::memcpy(savedThrough, RunSettings.throughpath, sizeof savedThrough);
            CopyText(RunSettings.currentInput, sizeof RunSettings.currentInput, path);
            sum += job(reporter);
            ++jobsInPass;
            // The end of a job, and the next pass may wait.
            reporter.FlushStdout();
            std::memcpy(RunSettings.logpath, savedLog, sizeof savedLog);
            std::memcpy(RunSettings.throughpath, savedThrough, sizeof savedThrough);
            reporter.RestoreConsole(savedConsole);
            path += std::strlen(path) + 1;
        }
        if (RunSettings.loopCount > 0) --RunSettings.loopCount;
        if (!RunSettings.loop || StopRequested.load() != 0) break;
        if (initialCount > 0 && RunSettings.loopCount <= 0) break;
        // A pass in which every job failed (an output that cannot be
        // created, say) would otherwise read the inputs again at once.
        if (ServedJobs == servedBefore || FailedJobs - failedBefore >= jobsInPass) WaitAfterIdlePass();
    }
    CommandLineInputs = nullptr;
    return sum;
}

namespace {

// The report may replace only a file of its own: never an input, an output
// or a log of the run.
bool ReportPathIsFree(Reporter& reporter, const ByteBuffer& inputList) {
    const char* report = RunSettings.jsonpath;
    std::vector<std::string> taken;
    const char* path = inputList.Text();
    const char* end = reinterpret_cast<const char*>(inputList.data) + inputList.used;
    for (; inputList.used > 0 && path < end; path += std::strlen(path) + 1) {
        taken.push_back(ParseSourcePath(path).path);
    }
    for (const JobReport& job : KeptJobReports) {
        if (job.output) taken.push_back(*job.output);
    }
    if (reporter.LogOn() || !reporter.LogPath().empty()) taken.push_back(reporter.LogPath());
    for (const std::string& other : taken) {
        if (!other.empty() && platform::SameFile(other.c_str(), report)) {
            reporter.PrintMessage(static_cast<int32_t>(std::strlen(report)) + 260,
                                  "－ レポートファイルが入力・出力・ログファイルと同じです %s\n", report);
            return false;
        }
    }
    return true;
}

bool WriteReportAtEnd(Reporter& reporter, const ByteBuffer& inputList, int32_t status, bool stopped) {
    if (!ReportPathIsFree(reporter, inputList)) return false;
    RunReport report;
    report.exitStatus = status;
    report.stopped = stopped;
    report.jobs = KeptJobReports;
    if (WriteRunReport(RunSettings.jsonpath, FormatRunReport(report))) return true;
    reporter.PrintMessage(static_cast<int32_t>(std::strlen(RunSettings.jsonpath)) + 260,
                          "－ レポートファイルを書き込めません %s\n", RunSettings.jsonpath);
    return false;
}

}  // namespace

int32_t RunMain(Reporter& reporter, int argc, char** argv) {
    reporter.RestoreConsole(ConsoleSwitches{true, true});
    reporter.SetLogOn(false);
    StartUp(reporter);
    platform::AllocConsole();
    InstallControlHandler(reporter);

    if (argc <= 1 || AsksForHelp(argc, argv)) {
        PrintUsage(reporter);
        return 0;
    }

    ByteBuffer inputList;
    int32_t sum = 0;
    // The stream owns standard output from its first byte: what reading the
    // command line has to say must not go ahead of it.
    reporter.SendConsoleTextToStandardError(AnyOutputIsConsole(argc, argv) ||
                                            !HasStandardHandle(platform::StandardOutput()));
    if (!ParseCommandLine(reporter, argc, argv, inputList)) {
        // A refused value ends the run before any job; the exit code tells
        // that the run did not happen.
        sum = -1;
    } else {
        // The stream owns standard output: every text of the run goes to
        // standard error, also that of jobs before and after the stream.
        // The standard output under another name (/dev/stdout, the file it is
        // redirected to) is that too: the console text must not go there.
        if (ParseSinkPath(RunSettings.throughpath).kind == SinkKind::File &&
            NamesStandardHandle(RunSettings.throughpath, platform::StandardOutput())) {
            CopyText(RunSettings.throughpath, sizeof RunSettings.throughpath, "CON");
        }
        // So does it when the process was started without standard output.
        reporter.SendConsoleTextToStandardError(std::strcmp(RunSettings.throughpath, "CON") == 0 ||
                                                !HasStandardHandle(platform::StandardOutput()));
        if (RunSettings.pid) {
            WriteText(reporter, FormatString("－ プロセスID %d\r\n", static_cast<int>(platform::ProcessId())));
            reporter.FlushStdout();
            reporter.MarkConsoleLineClosed(true);
        }
        if (RunSettings.pause) {
            WriteText(reporter, "－ 続行するには何かキーを押してください . . .\r\n");
            reporter.FlushStdout();
            reporter.MarkConsoleLineClosed(true);
            // Without a terminal there is nobody to press a key.
            platform::ReadKeyNoEcho();
        }
        FindSharedOutputs(reporter, inputList);
        sum = RunPasses(reporter, inputList, RunJob);
    }

    // Shutting down raises the stop flag itself.
    const bool stopped = StopRequested.load() != 0;
    ReleasePlugins();
    RunSettings.duration.reset();
    RunSettings.rwcntdrop.reset();
    RunSettings.rwcntdropCursor = std::string::npos;
    ShutDown();
    // A job that failed or checked nothing must not read as success,
    // whatever the drop count of the others.
    int32_t status = ExitStatus(FailedJobs > 0 ? -1 : sum);
    if (RunSettings.jsonpath[0] != '\0' && !WriteReportAtEnd(reporter, inputList, status, stopped)) {
        status = ExitStatus(-1);
    }
    if (RunSettings.detail) reporter.PrintMessage(0, "－ 終了します. ( 戻り値 : %d )\n", status);
    reporter.FlushStdout();
    inputList.Free();
    KeptJobReports.clear();
    return status;
}
