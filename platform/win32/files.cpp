// Files, standard handles, named pipes and directory search on Windows.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/whole_writes.h"

namespace platform {

namespace {

HANDLE ToHandle(FileHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

FileHandle FromHandle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE || handle == nullptr ? kInvalidFile : reinterpret_cast<FileHandle>(handle);
}

FileHandle Open(const char* path, DWORD access, DWORD share, DWORD disposition) {
    if (path == nullptr || *path == '\0') return kInvalidFile;
    return FromHandle(::CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Standard handles the process was started without.
bool inputClosedAtStart = false;
bool outputClosedAtStart = false;

FileHandle Duplicate(DWORD which) {
    if ((which == STD_INPUT_HANDLE && inputClosedAtStart) || (which == STD_OUTPUT_HANDLE && outputClosedAtStart)) {
        return kInvalidFile;
    }
    HANDLE source = ::GetStdHandle(which);
    if (source == INVALID_HANDLE_VALUE || source == nullptr) return kInvalidFile;
    // A duplicate, so that closing it at the end of a job leaves the
    // process's own handle for the next job.
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return kInvalidFile;
    }
    return FromHandle(copy);
}

constexpr DWORD kPipePeekStepMs = 10;

// An anonymous or named pipe offers no handle to wait on: look at it in
// short steps. A broken pipe counts as readable, the read then reports it.
bool WaitPipeReadable(HANDLE pipe, DWORD milliseconds) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
        const DWORD waited = ::GetTickCount() - start;
        if (waited >= milliseconds) return false;
        ::Sleep(milliseconds - waited < kPipePeekStepMs ? milliseconds - waited : kPipePeekStepMs);
    }
}

// Whether the console input holds a key press. Focus, mouse and size events
// signal the handle too but give a read nothing: they are taken off, so that
// the wait does not return at once for them again.
bool ConsoleHasKeyPress(HANDLE console) {
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!::PeekConsoleInputA(console, records, 64, &count)) return true;
    for (DWORD i = 0; i < count; ++i) {
        if (records[i].EventType == KEY_EVENT && records[i].Event.KeyEvent.bKeyDown) return true;
    }
    if (count > 0) ::ReadConsoleInputA(console, records, count, &count);
    return false;
}

bool WaitConsoleReadable(HANDLE console, DWORD milliseconds) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD waited = ::GetTickCount() - start;
        if (waited >= milliseconds) return false;
        const DWORD result = ::WaitForSingleObject(console, milliseconds - waited);
        if (result == WAIT_TIMEOUT) return false;
        if (result != WAIT_OBJECT_0 || ConsoleHasKeyPress(console)) return true;
    }
}

}  // namespace

FileHandle OpenRead(const char* path) {
    return Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
}

FileHandle CreateWrite(const char* path) {
    return Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
}

FileHandle OpenAppendExclusive(const char* path) {
    return Open(path, GENERIC_WRITE, 0, OPEN_ALWAYS);
}

FileHandle CreateWriteExclusive(const char* path) {
    return Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
}

FileHandle CreateNewFile(const char* path) {
    return Open(path, GENERIC_WRITE, 0, CREATE_NEW);
}

FileHandle OpenPipeRead(const char* pipePath) {
    static const char kPrefix[] = "\\\\.\\pipe\\";
    if (pipePath == nullptr || std::strncmp(pipePath, kPrefix, sizeof kPrefix - 1) != 0) return kInvalidFile;
    return Open(pipePath, GENERIC_READ, 0, OPEN_EXISTING);
}

void GuardStandardHandles() {
    for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE current = ::GetStdHandle(which);
        if (current != nullptr && current != INVALID_HANDLE_VALUE) continue;
        if (which == STD_INPUT_HANDLE) inputClosedAtStart = true;
        if (which == STD_OUTPUT_HANDLE) outputClosedAtStart = true;
        const DWORD access = which == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE;
        const HANDLE null = ::CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (null != INVALID_HANDLE_VALUE) ::SetStdHandle(which, null);
    }
}

FileHandle StandardInput() {
    return Duplicate(STD_INPUT_HANDLE);
}

FileHandle StandardOutput() {
    return Duplicate(STD_OUTPUT_HANDLE);
}

ReadResult ReadFile(FileHandle handle, void* buffer, uint32_t size, uint32_t& bytesRead) {
    bytesRead = 0;
    if (handle == kInvalidFile || (buffer == nullptr && size > 0)) return ReadResult::Error;
    if (size == 0) return ReadResult::Ok;
    DWORD done = 0;
    if (!::ReadFile(ToHandle(handle), buffer, size, &done, nullptr)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) return ReadResult::BrokenPipe;
        if (error == ERROR_HANDLE_EOF) return ReadResult::EndOfFile;
        return ReadResult::Error;
    }
    if (done == 0) return ReadResult::EndOfFile;
    bytesRead = done;
    return ReadResult::Ok;
}

bool WaitReadable(FileHandle handle, uint32_t milliseconds) {
    if (handle == kInvalidFile) return true;
    const HANDLE h = ToHandle(handle);
    switch (::GetFileType(h)) {
        case FILE_TYPE_PIPE:
            return WaitPipeReadable(h, milliseconds);
        case FILE_TYPE_CHAR: {
            DWORD mode = 0;
            // Other character devices (NUL, a serial port) are read directly.
            return !::GetConsoleMode(h, &mode) || WaitConsoleReadable(h, milliseconds);
        }
        default:
            return true;
    }
}

bool WriteFile(FileHandle handle, const void* data, uint32_t size, uint32_t& bytesWritten) {
    bytesWritten = 0;
    if (handle == kInvalidFile || (data == nullptr && size > 0)) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (bytesWritten < size) {
        DWORD done = 0;
        if (!::WriteFile(ToHandle(handle), bytes + bytesWritten, size - bytesWritten, &done, nullptr)) return false;
        if (done == 0) return false;
        bytesWritten += done;
    }
    return true;
}

namespace {

// Writes of at most the default pipe buffer fit a pipe in one piece.
constexpr uint32_t kPipePieceLimit = 4096;

}  // namespace

bool WriteWholeUnits(FileHandle handle, const void* data, uint32_t size, uint32_t unit, uint32_t& bytesWritten) {
    bytesWritten = 0;
    if (handle == kInvalidFile || (data == nullptr && size > 0)) return false;
    if (::GetFileType(ToHandle(handle)) == FILE_TYPE_PIPE) {
        // A piece that fits the pipe's buffer goes in whole: when the process
        // ends while it waits, the reader is left no part of it.
        return WriteInWholePieces(handle, data, size, unit, kPipePieceLimit, bytesWritten);
    }
    return WriteAsWhole(handle, data, size, bytesWritten);
}

int64_t Seek(FileHandle handle, int64_t offset, SeekFrom from) {
    if (handle == kInvalidFile) return -1;
    const DWORD method = from == SeekFrom::Begin ? FILE_BEGIN : from == SeekFrom::Current ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(ToHandle(handle), distance, &position, method)) return -1;
    return position.QuadPart;
}

int64_t FileSize(FileHandle handle) {
    if (handle == kInvalidFile) return -1;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(ToHandle(handle), &size)) return -1;
    return size.QuadPart;
}

void CloseFile(FileHandle handle) {
    if (handle == kInvalidFile) return;
    ::CloseHandle(ToHandle(handle));
}

bool PathExists(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveFile(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    return ::DeleteFileA(path) != FALSE;
}

bool RenameReplacing(const char* from, const char* to) {
    if (from == nullptr || to == nullptr || *from == '\0' || *to == '\0') return false;
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool SetFileEnd(FileHandle handle, int64_t length) {
    if (handle == kInvalidFile || length < 0) return false;
    LARGE_INTEGER distance{};
    distance.QuadPart = length;
    return ::SetFilePointerEx(ToHandle(handle), distance, nullptr, FILE_BEGIN) && ::SetEndOfFile(ToHandle(handle));
}

namespace {

struct Identity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
};

// Opens without access rights (directories too) just to read the identity.
bool IdentityOf(const std::string& path, Identity& identity) {
    HANDLE handle = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(handle, &info) != FALSE;
    ::CloseHandle(handle);
    if (!ok) return false;
    identity.volume = info.dwVolumeSerialNumber;
    identity.indexHigh = info.nFileIndexHigh;
    identity.indexLow = info.nFileIndexLow;
    return true;
}

bool SameIdentity(const Identity& a, const Identity& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

// The directory part and the last part of an ANSI path; the second byte of
// a double-byte character is never a separator.
void SplitLastPart(const std::string& path, std::string& directory, std::string& name) {
    std::size_t nameStart = 0;
    if (path.size() >= 2 && path[1] == ':' && !::IsDBCSLeadByte(static_cast<BYTE>(path[0]))) nameStart = 2;
    for (std::size_t i = nameStart; i < path.size(); ++i) {
        if (::IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size()) {
            ++i;
        } else if (path[i] == '\\' || path[i] == '/') {
            nameStart = i + 1;
        }
    }
    directory = path.substr(0, nameStart);
    // "C:" alone means the drive's current directory, as does "C:.".
    if (directory.empty() || directory.back() == ':') directory += '.';
    name = path.substr(nameStart);
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    std::u16string wideA;
    std::u16string wideB;
    if (!AnsiToUtf16(a, wideA) || !AnsiToUtf16(b, wideB)) return a == b;
    const std::wstring left(wideA.begin(), wideA.end());
    const std::wstring right(wideB.begin(), wideB.end());
    return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                  static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool SameFile(const char* first, const char* second) {
    if (first == nullptr || second == nullptr || *first == '\0' || *second == '\0') return false;
    Identity a;
    Identity b;
    const bool firstExists = IdentityOf(first, a);
    const bool secondExists = IdentityOf(second, b);
    if (firstExists || secondExists) return firstExists && secondExists && SameIdentity(a, b);
    // Neither exists yet: both would be created as the same entry of the
    // same directory (names compare without case, as the file system does).
    std::string firstDirectory, firstName, secondDirectory, secondName;
    SplitLastPart(first, firstDirectory, firstName);
    SplitLastPart(second, secondDirectory, secondName);
    if (!SameNameIgnoringCase(firstName, secondName)) return false;
    return IdentityOf(firstDirectory, a) && IdentityOf(secondDirectory, b) && SameIdentity(a, b);
}

bool NamesDevice(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    return std::strncmp(path, "\\\\.\\", 4) == 0 || NamesCharacterDevice(path);
}

bool NamesCharacterDevice(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    // The reserved names are devices in every folder and with any extension.
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    }
    std::string stem;
    for (const char* p = name; *p != '\0' && *p != '.'; ++p) {
        stem.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    }
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (stem == device) return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

bool SameFileAsHandle(const char* path, FileHandle handle) {
    if (path == nullptr || *path == '\0' || handle == kInvalidFile) return false;
    Identity a;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!IdentityOf(path, a) || !::GetFileInformationByHandle(ToHandle(handle), &info)) return false;
    return a.volume == info.dwVolumeSerialNumber && a.indexHigh == info.nFileIndexHigh &&
           a.indexLow == info.nFileIndexLow;
}

namespace {

uint64_t IndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// Opens for appending with no sharing; a reparse point (a link) is opened
// as itself unless the name was one, so that its attributes tell.
HANDLE OpenForAppend(const char* path, const FileIdentity& identity, DWORD disposition) {
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (identity.link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return ::CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, 0, nullptr, disposition, flags, nullptr);
}

}  // namespace

FileIdentity IdentifyFile(const char* path) {
    FileIdentity identity;
    if (path == nullptr || *path == '\0') return identity;
    const DWORD attributes = ::GetFileAttributesA(path);
    identity.link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    HANDLE handle = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return identity;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(handle, &info)) {
        identity.exists = true;
        identity.volume = info.dwVolumeSerialNumber;
        identity.index = IndexOf(info);
    }
    ::CloseHandle(handle);
    return identity;
}

FileHandle OpenAppendChecked(const char* path, FileIdentity& identity, bool& replaced) {
    replaced = false;
    if (path == nullptr || *path == '\0') return kInvalidFile;
    HANDLE handle = identity.exists ? OpenForAppend(path, identity, OPEN_EXISTING) : INVALID_HANDLE_VALUE;
    bool created = false;
    if (handle == INVALID_HANDLE_VALUE && (!identity.exists || ::GetLastError() == ERROR_FILE_NOT_FOUND)) {
        handle = OpenForAppend(path, identity, identity.link ? OPEN_ALWAYS : CREATE_NEW);
        created = handle != INVALID_HANDLE_VALUE;
        if (!created && ::GetLastError() == ERROR_FILE_EXISTS) replaced = true;
    }
    if (handle == INVALID_HANDLE_VALUE) return kInvalidFile;
    // A device or pipe (NUL, a named pipe) has no file index to compare.
    if (::GetFileType(handle) != FILE_TYPE_DISK) return FromHandle(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        ::CloseHandle(handle);
        return kInvalidFile;
    }
    const bool linkNow = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !identity.link;
    const bool same = info.dwVolumeSerialNumber == identity.volume && IndexOf(info) == identity.index;
    if (linkNow || (identity.exists && !created && !same)) {
        ::CloseHandle(handle);
        replaced = true;
        return kInvalidFile;
    }
    identity.exists = true;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = IndexOf(info);
    return FromHandle(handle);
}

bool IsOwnPlainFile(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    const DWORD attributes = ::GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::vector<DirEntry> ListDirectory(const char* directory, const char* pattern) {
    std::vector<DirEntry> entries;
    if (directory == nullptr || pattern == nullptr) return entries;
    std::string query = directory;
    while (!query.empty() && (query.back() == '\\' || query.back() == '/'))
        query.pop_back();
    query.push_back('\\');
    query += pattern;
    WIN32_FIND_DATAA data{};
    HANDLE search = ::FindFirstFileA(query.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
        DirEntry entry;
        entry.name = data.cFileName;
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.lastWriteTime =
            (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
        entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        entries.push_back(std::move(entry));
    } while (::FindNextFileA(search, &data));
    ::FindClose(search);
    return entries;
}

char PathSeparator() {
    return '\\';
}

bool IsPathLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByteEx(CP_ACP, byte) != FALSE;
}

}  // namespace platform
