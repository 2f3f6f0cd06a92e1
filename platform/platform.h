#pragma once
// The one door to the operating system. Everything the program takes from
// the system (files, console, threads, events, time, libraries, local time,
// directory search, text conversion) goes through these functions; only the
// files under platform/ include system headers. No function throws: a
// failure is a neutral result (-1, false, null, 0).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/date_time.h"

namespace platform {

// ---- Files and standard handles -------------------------------------------
using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

enum class ReadResult {
    Ok,          // bytes delivered (possibly 0 for a non-blocking source)
    EndOfFile,   // orderly end (0 bytes)
    BrokenPipe,  // the writer of a pipe went away
    Error,
};

// Open an existing file for reading; others may read and write it meanwhile.
// Never waits: a FIFO is opened whether or not a writer is there.
FileHandle OpenRead(const char* path);
// Create (truncate) a file for writing; others may write it meanwhile. A
// FIFO is waited on until a reader opens it or a stop is requested.
FileHandle CreateWrite(const char* path);
// Open (create when missing) for appending with exclusive access: fails at
// once while another handle or process holds the file, or when it is a FIFO
// that nobody reads.
FileHandle OpenAppendExclusive(const char* path);
// Create (truncate) a file for writing with exclusive access; fails at once
// while another handle or process holds the file.
FileHandle CreateWriteExclusive(const char* path);
// Create a file that does not exist yet, for writing; fails when the name is
// taken by anything, a link included (nothing is followed).
FileHandle CreateNewFile(const char* path);
// A named pipe "\\.\pipe\NAME": the Win32 pipe, or on POSIX the FIFO
// TempDir + NAME. Never blocks for long; -1 when the pipe cannot be opened
// yet, so the caller can retry. A writer that has connected counts even
// while it has written nothing yet.
FileHandle OpenPipeRead(const char* pipePath);

// Puts the null device on every standard handle the process was started
// without, so that nothing it opens later (a file, the signal channel) takes
// that place and is mistaken for it. Called first thing in main.
void GuardStandardHandles();
// The process's standard handles; kInvalidFile for one it was started
// without. Closing them through CloseFile leaves the process able to use
// them again in a later job.
FileHandle StandardInput();
FileHandle StandardOutput();

ReadResult ReadFile(FileHandle handle, void* buffer, uint32_t size, uint32_t& bytesRead);
// Waits at most `milliseconds` for data or the end of a pipe or console;
// true when a read will not block (a disk file always is). False only when
// the time ran out with nothing to read.
bool WaitReadable(FileHandle handle, uint32_t milliseconds);
// Returns false on failure; bytesWritten tells how much went out.
bool WriteFile(FileHandle handle, const void* data, uint32_t size, uint32_t& bytesWritten);
// Writes `size` bytes of whole `unit`-byte units so that however the
// process ends, a reader finds whole units only: to a pipe or FIFO in pieces
// the system writes at once (whole units, no larger than its atomic size),
// to anything else in one go that EndProcessNow lets finish. Once the
// process is ending, nothing more is written. False on failure;
// bytesWritten tells how much went out, which may end inside a unit then.
bool WriteWholeUnits(FileHandle handle, const void* data, uint32_t size, uint32_t unit, uint32_t& bytesWritten);
enum class SeekFrom { Begin, Current, End };
// Returns the new position, or -1 on failure.
int64_t Seek(FileHandle handle, int64_t offset, SeekFrom from);
// Size in bytes, or -1 on failure.
int64_t FileSize(FileHandle handle);
void CloseFile(FileHandle handle);

// GetFileAttributes succeeded: a file or directory of that name exists.
bool PathExists(const char* path);
bool RemoveFile(const char* path);
// Gives the file `from` the name `to` in one step, replacing a file of that
// name: a reader of `to` sees the old file or the new one, never a part.
// Both names must lie on one volume.
bool RenameReplacing(const char* from, const char* to);

// Cuts an open file back to `length` bytes (the position moves there).
bool SetFileEnd(FileHandle handle, int64_t length);
// Whether two paths name one file: the same device and inode on POSIX, the
// same volume serial and file index on Windows, links followed. Two paths
// that name no existing file yet are the same when they would be created as
// one entry: links (even ones leading to nothing yet) followed, their
// directories one directory and their last parts the same name. An existing
// file and a missing path never are.
bool SameFile(const char* first, const char* second);
// Whether the path names the file, pipe or device an open handle refers to.
bool SameFileAsHandle(const char* path, FileHandle handle);

// What a path named when it was checked, so that reopening it later can
// tell whether it still names that file.
struct FileIdentity {
    bool exists = false;  // it named a file (which `volume` and `index` tell)
    bool link = false;    // the name itself was a link
    uint64_t volume = 0;
    uint64_t index = 0;
};
FileIdentity IdentifyFile(const char* path);
// OpenAppendExclusive (a FIFO without reader or a held file fails at once),
// but only of the file `identity` describes: the same file, reached through
// a link only when the name was one. A name that named nothing gets a new
// file, created now, whose identity is recorded. `replaced` is set, and
// nothing opened, when the name leads elsewhere.
FileHandle OpenAppendChecked(const char* path, FileIdentity& identity, bool& replaced);
// A plain file (no link, directory or device) that the running user owns,
// so that removing it takes nothing of another user or outside the name.
// On Windows: a file that is no directory and no reparse point.
bool IsOwnPlainFile(const char* path);

// Whether the path names a device or a pipe rather than a file (/dev/null, a
// FIFO; NUL, COM1 or "\\.\..." on Windows): writing there twice overwrites
// nothing.
bool NamesDevice(const char* path);
// Whether the path names a character device (/dev/null, a terminal; NUL,
// CON, COM1 on Windows): what goes there is no file anybody reads back.
bool NamesCharacterDevice(const char* path);

// Directory search with the Windows wildcards '*' and '?' on the file name.
struct DirEntry {
    std::string name;  // file name without directory
    bool isDirectory = false;
    uint64_t lastWriteTime = 0;  // FILETIME units (100 ns since 1601)
    uint64_t size = 0;
};
// Entries of `directory` (no trailing separator needed) matching `pattern`,
// "." and ".." included when they match. Empty when it cannot be searched.
std::vector<DirEntry> ListDirectory(const char* directory, const char* pattern);
// The separator used when joining a directory and a name.
char PathSeparator();
// Whether the byte starts a double-byte character of the code page paths
// are written in, so that the byte after it is no separator or dot: the
// system's ANSI code page on Windows (932 on Japanese systems, none on most
// others); never on POSIX, whose UTF-8 paths hide no ASCII byte.
bool IsPathLeadByte(unsigned char byte);

// ---- Process and console ---------------------------------------------------
uint32_t ProcessId();
// Full path of the running executable; empty on failure.
std::string ExecutablePath();
// System temporary directory, ending in a separator.
std::string TemporaryDirectory();
// Gives the process a console when it has none (Windows); nothing elsewhere.
void AllocConsole();
// Waits for one key press on the terminal without echo: /dev/tty on POSIX,
// the console input on Windows, never a standard input that carries data.
// Returns false at once when the process has no terminal.
bool ReadKeyNoEcho();
// Console events delivered to the handler: 0 Ctrl+C, 1 Ctrl+Break,
// 2 console closing, 5 log-off, 6 shut-down. On POSIX: SIGINT is 0 and
// SIGHUP / SIGTERM are 2; SIGPIPE and SIGXFSZ are ignored. The handler
// returns whether it handled the event; an unhandled event ends the process.
using ControlHandler = bool (*)(uint32_t event);
bool SetControlHandler(ControlHandler handler);
// Version resource strings of the program ("CompanyName", "Comments"); empty
// when absent.
std::string ReadVersionString(const char* executablePath, const char* entry);
// Last system error code of the calling thread (GetLastError / errno).
uint32_t LastError();
// Drains the calling thread's window-message queue (Windows); no-op elsewhere.
void PumpMessages();
// Ends the process with the exit code: no handlers, no destructors, no
// waiting for other threads, except up to a second for a WriteWholeUnits in
// progress on a file.
[[noreturn]] void EndProcessNow(int exitCode);

// ---- Console text encoding -------------------------------------------------
enum class TextEncoding { Cp932, Utf8 };
// The encoding console and log text should reach the user in. The variable
// TRELVAN_CHARSET ("CP932" or "UTF-8") decides when set. Otherwise on POSIX
// the locale does (LC_ALL, then LC_CTYPE, then LANG): UTF-8 for a UTF-8
// locale, code page 932 for every other one (C, POSIX, Shift_JIS...); on
// Windows code page 932.
TextEncoding PreferredTextEncoding();
enum class StandardStream { Output, Error };
// Whether the stream is a console that takes UTF-16 text whatever its code
// page (a Windows console); false when redirected and on POSIX.
bool IsWideConsole(StandardStream stream);
// Writes code page 932 text to such a console as UTF-16. False when it could
// not (the caller then writes the bytes as they are).
bool WriteWideConsole(StandardStream stream, const std::string& cp932);

// ---- Threads, events, time -------------------------------------------------
struct ThreadHandle {
    void* impl = nullptr;
    explicit operator bool() const { return impl != nullptr; }
};
using ThreadFunction = uint32_t (*)(void* argument);
// Starts a thread at once with the default stack; empty handle on failure.
ThreadHandle StartThread(ThreadFunction function, void* argument);
// Waits without limit for the thread and releases the handle.
void JoinThread(ThreadHandle& thread);
// Lets the thread run on unwatched and releases the handle.
void DetachThread(ThreadHandle& thread);

// Manual-reset event.
class Event {
public:
    explicit Event(bool signalled = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    bool Valid() const { return impl_ != nullptr; }
    void Set();
    void Reset();
    void Wait();
    // Returns whether it was signalled within the time.
    bool WaitFor(uint32_t milliseconds);

private:
    void* impl_ = nullptr;
};

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();
// The same tick read more cheaply, a few milliseconds coarse: for spacing
// out work that runs once per packet.
uint32_t CoarseTickCount();
void SleepMs(uint32_t milliseconds);

// ---- Local time --------------------------------------------------------------
// The date-time taken as local time, as seconds since 1970-01-01 UTC. False
// when the system rejects the date-time.
bool LocalDateTimeToSeconds(const DateTime& local, int64_t& seconds);
// Seconds since 1970-01-01 UTC as local date and time (day of week and
// milliseconds filled). False when the system cannot convert it.
bool SecondsToLocalDateTime(int64_t seconds, DateTime& local);

// ---- Dynamic libraries -------------------------------------------------------
void* OpenLibrary(const char* path);
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

// ---- Text conversion ---------------------------------------------------------
// ANSI code page (932) to UTF-16 and back; false on invalid input.
bool AnsiToUtf16(const std::string& ansi, std::u16string& wide);
bool Utf16ToAnsi(const std::u16string& wide, std::string& ansi);
// Code page 932 to UTF-8 for a UTF-8 console; false on invalid input.
bool Cp932ToUtf8(const std::string& cp932, std::string& utf8);

}  // namespace platform
