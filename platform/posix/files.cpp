// Files, standard handles, named pipes and directory search on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/process_state.h"
#include "platform/platform.h"
#include "platform/whole_writes.h"
#include "platform/wildcard.h"

namespace platform {

namespace {

int Fd(FileHandle handle) {
    return static_cast<int>(handle);
}

// Opens without blocking (a FIFO would otherwise wait in open for its other
// end, deaf to every stop request), then makes the descriptor blocking.
int OpenNonBlocking(const char* path, int flags) {
    if (path == nullptr || *path == '\0') return -1;
    int fd;
    do {
        fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

FileHandle OpenWithFlags(const char* path, int flags) {
    const int fd = OpenNonBlocking(path, flags);
    return fd < 0 ? kInvalidFile : fd;
}

constexpr uint32_t kReaderRetryMs = 100;

// A FIFO output opens only once somebody reads it (ENXIO until then).
FileHandle OpenWriteWaitingForReader(const char* path, int flags) {
    for (;;) {
        const int fd = OpenNonBlocking(path, flags);
        if (fd >= 0) return fd;
        if (errno != ENXIO || StopRequested.load() != 0) return kInvalidFile;
        SleepMs(kReaderRetryMs);
    }
}

bool IsRegularFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// A byte taken from a FIFO while finding out whether its writer is there is
// handed out by the next read of that descriptor.
struct HeldByte {
    int fd = -1;
    unsigned char byte = 0;
};
struct HeldBytes {
    std::mutex lock;
    std::atomic<int> count{0};
    HeldByte slots[4];
} heldBytes;

bool HoldByte(int fd, unsigned char byte) {
    std::lock_guard<std::mutex> guard(heldBytes.lock);
    for (HeldByte& slot : heldBytes.slots) {
        if (slot.fd < 0) {
            slot.fd = fd;
            slot.byte = byte;
            heldBytes.count.fetch_add(1);
            return true;
        }
    }
    return false;
}

bool HasHeldByte(int fd) {
    if (heldBytes.count.load() == 0) return false;
    std::lock_guard<std::mutex> guard(heldBytes.lock);
    for (const HeldByte& slot : heldBytes.slots) {
        if (slot.fd == fd) return true;
    }
    return false;
}

bool TakeHeldByte(int fd, unsigned char& byte) {
    if (heldBytes.count.load() == 0) return false;
    std::lock_guard<std::mutex> guard(heldBytes.lock);
    for (HeldByte& slot : heldBytes.slots) {
        if (slot.fd == fd) {
            byte = slot.byte;
            slot.fd = -1;
            heldBytes.count.fetch_sub(1);
            return true;
        }
    }
    return false;
}

void DropHeldByte(int fd) {
    unsigned char ignored = 0;
    TakeHeldByte(fd, ignored);
}

bool IsPipePath(const char* path) {
    static const char kPrefix[] = "\\\\.\\pipe\\";
    return path != nullptr && std::strncmp(path, kPrefix, sizeof kPrefix - 1) == 0;
}

// A FIFO opened before its writer arrived is kept here between the caller's
// retries: closing it could hit a writer that connected in between but has
// not written yet, which would then fail with a broken pipe.
struct PendingPipe {
    std::mutex lock;
    std::string path;
    int fd = -1;
} pendingPipe;

// How long one open attempt waits for the writer's first data or its
// departure before reporting "not yet".
constexpr int kPipeProbeMs = 50;

// poll() for input on one descriptor, across interruptions: the count of
// ready descriptors (0 on time-out, -1 on error) and what happened.
int PollForInput(int fd, int timeoutMs, short& events) {
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    events = p.revents;
    return ready;
}

// Data (POLLIN) or a writer that came and went (POLLHUP) prove that a writer
// connected. A silent writer shows only in a read of the still non-blocking
// descriptor: it would block, where no writer at all reads as the end.
bool WriterConnected(int fd) {
    short events = 0;
    if (PollForInput(fd, kPipeProbeMs, events) > 0 && (events & (POLLIN | POLLHUP)) != 0) return true;
    unsigned char byte = 0;
    ssize_t n;
    do {
        n = ::read(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1) {
        // Data arrived just after the poll; it must not be lost.
        return HoldByte(fd, byte);
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace

FileHandle OpenRead(const char* path) {
    return OpenWithFlags(path, O_RDONLY);
}

FileHandle CreateWrite(const char* path) {
    return OpenWriteWaitingForReader(path, O_WRONLY | O_CREAT | O_TRUNC);
}

FileHandle OpenAppendExclusive(const char* path) {
    FileHandle handle = OpenWithFlags(path, O_WRONLY | O_CREAT | O_APPEND);
    if (handle == kInvalidFile) return kInvalidFile;
    // The lock stands in for a share mode of 0: a second holder, in this
    // process or another one, fails at once instead of waiting.
    if (::flock(Fd(handle), LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        ::close(Fd(handle));
        errno = saved;
        return kInvalidFile;
    }
    return handle;
}

FileHandle CreateWriteExclusive(const char* path) {
    // Truncation waits until the lock is held, so that a file in use by
    // another holder is left intact.
    FileHandle handle = OpenAppendExclusive(path);
    if (handle == kInvalidFile) return kInvalidFile;
    if (IsRegularFile(Fd(handle)) && ::ftruncate(Fd(handle), 0) != 0) {
        ::close(Fd(handle));
        return kInvalidFile;
    }
    return handle;
}

FileHandle CreateNewFile(const char* path) {
    return OpenWithFlags(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
}

FileHandle OpenPipeRead(const char* pipePath) {
    if (!IsPipePath(pipePath)) return kInvalidFile;
    const char* name = pipePath + std::strlen("\\\\.\\pipe\\");
    if (*name == '\0') return kInvalidFile;
    std::string dir = TempDir[0] != '\0' ? std::string(TempDir) : TemporaryDirectory();
    const std::string fifoPath = dir + name;

    std::lock_guard<std::mutex> guard(pendingPipe.lock);
    int fd = -1;
    if (pendingPipe.fd >= 0 && pendingPipe.path == fifoPath) {
        fd = pendingPipe.fd;
    } else {
        if (pendingPipe.fd >= 0) ::close(pendingPipe.fd);
        pendingPipe.fd = -1;
        pendingPipe.path.clear();
        // Non-blocking so that the open itself never waits for a writer.
        fd = ::open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return kInvalidFile;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            ::close(fd);
            return kInvalidFile;
        }
    }
    // Without a writer, an empty read would look like the end of the stream
    // although nothing has started yet.
    if (!WriterConnected(fd)) {
        pendingPipe.fd = fd;
        pendingPipe.path = fifoPath;
        return kInvalidFile;
    }
    pendingPipe.fd = -1;
    pendingPipe.path.clear();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

namespace {

// Standard descriptors the process was started without.
bool closedAtStart[3] = {false, false, false};

FileHandle DuplicateStandard(int fd) {
    if (closedAtStart[fd]) return kInvalidFile;
    // A duplicate, so that closing it at the end of a job leaves the
    // process's own descriptor for the next job.
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    return copy < 0 ? kInvalidFile : copy;
}

}  // namespace

void GuardStandardHandles() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closedAtStart[fd] = true;
        // The lower ones are open by now, so the null device takes this
        // number.
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

FileHandle StandardInput() {
    return DuplicateStandard(STDIN_FILENO);
}

FileHandle StandardOutput() {
    return DuplicateStandard(STDOUT_FILENO);
}

ReadResult ReadFile(FileHandle handle, void* buffer, uint32_t size, uint32_t& bytesRead) {
    bytesRead = 0;
    if (handle == kInvalidFile || (buffer == nullptr && size > 0)) return ReadResult::Error;
    if (size == 0) return ReadResult::Ok;
    unsigned char held = 0;
    if (TakeHeldByte(Fd(handle), held)) {
        *static_cast<unsigned char*>(buffer) = held;
        bytesRead = 1;
        return ReadResult::Ok;
    }
    ssize_t n;
    do {
        n = ::read(Fd(handle), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::Ok;
        if (errno == EPIPE || errno == ECONNRESET) return ReadResult::BrokenPipe;
        return ReadResult::Error;
    }
    if (n == 0) return ReadResult::EndOfFile;
    bytesRead = static_cast<uint32_t>(n);
    return ReadResult::Ok;
}

bool WaitReadable(FileHandle handle, uint32_t milliseconds) {
    if (handle == kInvalidFile || HasHeldByte(Fd(handle))) return true;
    const int timeout = milliseconds > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(milliseconds);
    short events = 0;
    // Data, the end, an error: the read that follows tells which.
    return PollForInput(Fd(handle), timeout, events) != 0;
}

bool WriteFile(FileHandle handle, const void* data, uint32_t size, uint32_t& bytesWritten) {
    bytesWritten = 0;
    if (handle == kInvalidFile || (data == nullptr && size > 0)) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (bytesWritten < size) {
        const ssize_t n = ::write(Fd(handle), bytes + bytesWritten, size - bytesWritten);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        bytesWritten += static_cast<uint32_t>(n);
    }
    return true;
}

bool WriteWholeUnits(FileHandle handle, const void* data, uint32_t size, uint32_t unit, uint32_t& bytesWritten) {
    bytesWritten = 0;
    if (handle == kInvalidFile || (data == nullptr && size > 0)) return false;
    struct stat st {};
    if (::fstat(Fd(handle), &st) == 0 && S_ISFIFO(st.st_mode)) {
        // A write no larger than PIPE_BUF goes into the pipe whole or not at
        // all, even when the process ends while it waits for room.
        const long atomic = ::fpathconf(Fd(handle), _PC_PIPE_BUF);
        return WriteInWholePieces(handle, data, size, unit, atomic > 0 ? static_cast<uint32_t>(atomic) : 512u,
                                  bytesWritten);
    }
    // A file write cut by the end of the process stops at a page border,
    // which is seldom a unit's.
    return WriteAsWhole(handle, data, size, bytesWritten);
}

int64_t Seek(FileHandle handle, int64_t offset, SeekFrom from) {
    if (handle == kInvalidFile) return -1;
    const int whence = from == SeekFrom::Begin ? SEEK_SET : from == SeekFrom::Current ? SEEK_CUR : SEEK_END;
    const off_t result = ::lseek(Fd(handle), static_cast<off_t>(offset), whence);
    return result < 0 ? -1 : static_cast<int64_t>(result);
}

int64_t FileSize(FileHandle handle) {
    if (handle == kInvalidFile) return -1;
    struct stat st {};
    if (::fstat(Fd(handle), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

void CloseFile(FileHandle handle) {
    if (handle == kInvalidFile) return;
    DropHeldByte(Fd(handle));
    ::close(Fd(handle));
}

bool PathExists(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    struct stat st {};
    return ::stat(path, &st) == 0;
}

bool RemoveFile(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    return ::unlink(path) == 0;
}

bool RenameReplacing(const char* from, const char* to) {
    if (from == nullptr || to == nullptr || *from == '\0' || *to == '\0') return false;
    return ::rename(from, to) == 0;
}

bool SetFileEnd(FileHandle handle, int64_t length) {
    if (handle == kInvalidFile || length < 0) return false;
    int result;
    do {
        result = ::ftruncate(Fd(handle), static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0 && ::lseek(Fd(handle), static_cast<off_t>(length), SEEK_SET) >= 0;
}

namespace {

bool SameIdentity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory part ("." when there is none) and the last part of a path.
void SplitLastPart(const std::string& path, std::string& directory, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        directory = ".";
        name = path;
        return;
    }
    directory = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
}

// A path that names nothing yet, its links followed to the name that a
// create would make.
std::string FollowLinksToMissing(const std::string& path) {
    constexpr int kMaxLinks = 40;
    std::string current = path;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size() - 1);
        if (n <= 0) break;
        target.resize(static_cast<std::size_t>(n));
        if (target.front() == '/') {
            current = target;
            continue;
        }
        std::string directory, name;
        SplitLastPart(current, directory, name);
        current = directory + "/" + target;
    }
    return current;
}

}  // namespace

bool SameFile(const char* first, const char* second) {
    if (first == nullptr || second == nullptr || *first == '\0' || *second == '\0') return false;
    struct stat a {};
    struct stat b {};
    const bool firstExists = ::stat(first, &a) == 0;
    const bool secondExists = ::stat(second, &b) == 0;
    if (firstExists || secondExists) return firstExists && secondExists && SameIdentity(a, b);
    // Neither exists yet: both would be created as the same entry of the
    // same directory, whatever links lead there.
    std::string firstDirectory, firstName, secondDirectory, secondName;
    SplitLastPart(FollowLinksToMissing(first), firstDirectory, firstName);
    SplitLastPart(FollowLinksToMissing(second), secondDirectory, secondName);
    if (firstName != secondName) return false;
    return ::stat(firstDirectory.c_str(), &a) == 0 && ::stat(secondDirectory.c_str(), &b) == 0 && SameIdentity(a, b);
}

bool NamesCharacterDevice(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

bool NamesDevice(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    struct stat st {};
    return ::stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool SameFileAsHandle(const char* path, FileHandle handle) {
    if (path == nullptr || *path == '\0' || handle == kInvalidFile) return false;
    struct stat a {};
    struct stat b {};
    return ::stat(path, &a) == 0 && ::fstat(Fd(handle), &b) == 0 && SameIdentity(a, b);
}

FileIdentity IdentifyFile(const char* path) {
    FileIdentity identity;
    if (path == nullptr || *path == '\0') return identity;
    struct stat st {};
    identity.link = ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
    if (::stat(path, &st) == 0) {
        identity.exists = true;
        identity.volume = static_cast<uint64_t>(st.st_dev);
        identity.index = static_cast<uint64_t>(st.st_ino);
    }
    return identity;
}

namespace {

// Opens for appending, without waiting for a FIFO's reader and without
// following a link unless the name was one.
int OpenForAppend(const char* path, const FileIdentity& identity, int extra) {
    const int flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC | (identity.link ? 0 : O_NOFOLLOW) | extra;
    int fd;
    do {
        fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

FileHandle OpenAppendChecked(const char* path, FileIdentity& identity, bool& replaced) {
    replaced = false;
    if (path == nullptr || *path == '\0') return kInvalidFile;
    int fd = identity.exists ? OpenForAppend(path, identity, 0) : -1;
    bool created = false;
    // A name that named nothing (or nothing any more) gets a file of its own;
    // one that somebody else put there meanwhile is not it. A link that named
    // nothing leads to the name that was checked through it.
    if (fd < 0 && (!identity.exists || errno == ENOENT)) {
        fd = OpenForAppend(path, identity, O_CREAT | (identity.link ? 0 : O_EXCL));
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) replaced = true;
    }
    if (fd < 0) {
        // A link where none was.
        if (errno == ELOOP) replaced = true;
        return kInvalidFile;
    }
    struct stat st {};
    const int status = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return kInvalidFile;
    }
    const bool same =
        static_cast<uint64_t>(st.st_dev) == identity.volume && static_cast<uint64_t>(st.st_ino) == identity.index;
    if (identity.exists && !created && !same) {
        ::close(fd);
        replaced = true;
        return kInvalidFile;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kInvalidFile;
    }
    identity.exists = true;
    identity.volume = static_cast<uint64_t>(st.st_dev);
    identity.index = static_cast<uint64_t>(st.st_ino);
    return fd;
}

bool IsOwnPlainFile(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    struct stat st {};
    return ::lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

std::vector<DirEntry> ListDirectory(const char* directory, const char* pattern) {
    std::vector<DirEntry> entries;
    if (directory == nullptr || pattern == nullptr) return entries;
    std::string dir = *directory != '\0' ? directory : ".";
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) return entries;
    if (dir.back() != '/') dir.push_back('/');
    while (const dirent* item = ::readdir(handle)) {
        if (!MatchesWildcard(pattern, item->d_name)) continue;
        DirEntry entry;
        entry.name = item->d_name;
        struct stat st {};
        if (::lstat((dir + entry.name).c_str(), &st) == 0) {
            entry.isDirectory = S_ISDIR(st.st_mode);
            entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
            // FILETIME counts 100 ns steps from 1601-01-01.
            constexpr int64_t kEpochDifference = 11644473600LL;
            const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + kEpochDifference;
            if (seconds > 0) {
                entry.lastWriteTime =
                    static_cast<uint64_t>(seconds) * 10000000ULL + static_cast<uint64_t>(st.st_mtim.tv_nsec / 100);
            }
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(handle);
    return entries;
}

char PathSeparator() {
    return '/';
}

bool IsPathLeadByte(unsigned char) {
    return false;
}

}  // namespace platform
