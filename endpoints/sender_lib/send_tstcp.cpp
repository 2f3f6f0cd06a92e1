// A network sender library with the eight entry points of the published
// sender interface, for users who have none: each instance sends the blocks
// handed to it over TCP to every destination added to it.
//
// Wire format per destination: each block becomes one frame of a 4-byte
// little-endian sequence number, a 4-byte little-endian payload size and the
// stream bytes. Ports 22000 to 22999, and port values with bit 16 set (the
// real port is then the low 16 bits), get the stream bytes alone.
//
// The caller's thread never waits on the network: blocks are copied into a
// bounded queue (kQueueLimitBytes; the oldest block is dropped when a new one
// does not fit). Every destination has a sending thread and a cursor of its
// own into that queue, so a destination that is slow, refuses or never
// answers holds up nobody but itself.
//   - Until its first connection it keeps every block still queued and gets
//     them all once it connects (a receiver that comes up late misses
//     nothing the queue still holds).
//   - A connection that breaks, or that takes no byte for kStallMs, is
//     closed; blocks falling due while it is down are skipped for it, and
//     after reconnecting it gets the blocks handed over from then on (the
//     sequence numbers show the gap).
//   - Connects are limited to kConnectTimeoutMs; after a failed attempt the
//     next one waits kFirstRetryMs, doubling up to kLongestRetryMs, counted
//     from the end of the attempt.
// StopSendDLL delivers what is still queued, for at most kStopDrainMs, and
// keeps trying to connect a destination that has not connected yet, since it
// still holds its blocks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "endpoints/sender_api.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#define SENDER_EXPORT extern "C" __declspec(dllexport)
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
#define SENDER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr std::size_t kQueueLimitBytes = 32u * 1024u * 1024u;
constexpr int kConnectTimeoutMs = 1000;
constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 2000;
constexpr int kStallMs = 5000;
constexpr int kStopDrainMs = 5000;
// Longest single wait of a sending thread, so that it notices the end of the
// delivery window and an instance being destroyed in good time.
constexpr int kWaitSliceMs = 100;

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

void CloseSocket(SocketHandle s) {
#if defined(_WIN32)
    closesocket(s);
#else
    close(s);
#endif
}

class Socket {
public:
    Socket() = default;
    explicit Socket(SocketHandle s) : s_(s) {}
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : s_(other.s_) { other.s_ = kNoSocket; }
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Close();
            s_ = other.s_;
            other.s_ = kNoSocket;
        }
        return *this;
    }
    SocketHandle Get() const { return s_; }
    bool Open() const { return s_ != kNoSocket; }
    void Close() {
        if (s_ != kNoSocket) CloseSocket(s_);
        s_ = kNoSocket;
    }

private:
    SocketHandle s_ = kNoSocket;
};

bool SetNonBlocking(SocketHandle s) {
#if defined(_WIN32)
    u_long mode = 1;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
#else
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

bool WouldBlock() {
#if defined(_WIN32)
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
    return errno == EINPROGRESS || errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR;
#endif
}

enum class Readiness { Ready, NotYet, Failed };

// Waits up to `ms` for the socket to take data (or finish connecting).
Readiness WaitWritable(SocketHandle s, int ms) {
#if defined(_WIN32)
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int rc = select(0, nullptr, &writable, &failed, &tv);
    if (rc < 0 || FD_ISSET(s, &failed)) return Readiness::Failed;
    return rc > 0 && FD_ISSET(s, &writable) ? Readiness::Ready : Readiness::NotYet;
#else
    pollfd p{s, POLLOUT, 0};
    int rc = poll(&p, 1, ms);
    if (rc < 0) return errno == EINTR ? Readiness::NotYet : Readiness::Failed;
    if (rc == 0) return Readiness::NotYet;
    return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0 ? Readiness::Failed
                                                                                           : Readiness::Ready;
#endif
}

bool ConnectFinished(SocketHandle s) {
    int error = 0;
#if defined(_WIN32)
    int len = sizeof error;
    return getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) == 0 && error == 0;
#else
    socklen_t len = sizeof error;
    return getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
#endif
}

// An IPv6 literal may come in brackets, as it is written beside a port.
std::string ResolverHost(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

// A non-blocking connection, or none after kConnectTimeoutMs per address.
Socket ConnectTo(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(ResolverHost(host).c_str(), service.c_str(), &hints, &list) != 0) return Socket();
    Socket result;
    for (addrinfo* ai = list; ai != nullptr && !result.Open(); ai = ai->ai_next) {
        Socket s(socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
        if (!s.Open() || !SetNonBlocking(s.Get())) continue;
        bool connected = connect(s.Get(), ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0;
        if (!connected && WouldBlock()) {
            connected = WaitWritable(s.Get(), kConnectTimeoutMs) == Readiness::Ready && ConnectFinished(s.Get());
        }
        if (!connected) continue;
        int one = 1;
        setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        result = std::move(s);
    }
    freeaddrinfo(list);
    return result;
}

// Hosts are plain names or numeric addresses; UTF-8 is what the resolver takes.
std::string HostToUtf8(const SenderChar* host) {
    std::string out;
    if (host == nullptr) return out;
    for (const SenderChar* p = host; *p != 0; ++p) {
        uint32_t c = static_cast<uint16_t>(*p);
        if (c >= 0xD800 && c <= 0xDBFF && (static_cast<uint16_t>(p[1]) & 0xFC00) == 0xDC00) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(p[1]) - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct Block {
    uint32_t sequence = 0;
    std::vector<uint8_t> bytes;
};

struct Destination {
    std::string host;
    uint16_t port = 0;
    bool raw = false;  // stream bytes without frame headers
    // Guarded by the instance's mutex:
    uint64_t cursor = 0;             // queue index of the next block for it
    uint64_t endIndex = UINT64_MAX;  // after ClearSendAddrDLL: deliver up to here, then end
    bool connected = false;
    bool everConnected = false;
    bool finished = false;  // its thread has ended
    std::thread thread;
};

class Instance {
public:
    ~Instance() { Stop(); }

    void AddDestination(const std::string& host, uint32_t port) {
        auto d = std::make_unique<Destination>();
        d->host = host;
        d->raw = (port & 0x10000u) != 0 || (port >= 22000 && port <= 22999);
        d->port = static_cast<uint16_t>(port & 0xFFFFu);
        std::lock_guard lock(mutex_);
        d->cursor = EndIndex();
        if (started_) StartThread(*d);
        destinations_.push_back(std::move(d));
    }

    // Each destination still gets the blocks queued before this call.
    void ClearDestinations() {
        std::lock_guard lock(mutex_);
        // Without sending threads there is nobody to deliver to.
        if (started_) {
            for (auto& d : destinations_) {
                d->endIndex = EndIndex();
                retired_.push_back(std::move(d));
            }
        }
        destinations_.clear();
        TrimDelivered();
        wake_.notify_all();
    }

    void Push(std::vector<uint8_t> bytes) {
        auto block = std::make_shared<Block>();
        block->bytes = std::move(bytes);
        std::lock_guard lock(mutex_);
        block->sequence = nextSequence_++;
        queuedBytes_ += block->bytes.size();
        blocks_.push_back(std::move(block));
        // Keep the queue bounded: destinations behind the dropped blocks
        // skip them.
        while (queuedBytes_ > kQueueLimitBytes && blocks_.size() > 1)
            PopFront();
        TrimDelivered();
        wake_.notify_all();
    }

    void ClearBlocks() {
        std::lock_guard lock(mutex_);
        while (!blocks_.empty())
            PopFront();
    }

    void Start() {
        std::lock_guard lock(mutex_);
        if (started_) return;
        started_ = true;
        stopping_ = false;
        for (auto& d : destinations_)
            StartThread(*d);
    }

    void Stop() {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            if (!started_) return;
            stopping_ = true;
            stopDeadline_ = Clock::now() + Milliseconds(kStopDrainMs);
            wake_.notify_all();
            for (auto* list : {&destinations_, &retired_}) {
                for (auto& d : *list) {
                    if (d->thread.joinable()) threads.push_back(std::move(d->thread));
                }
            }
        }
        for (std::thread& t : threads)
            t.join();
        std::lock_guard lock(mutex_);
        retired_.clear();
        while (!blocks_.empty())
            PopFront();
        // Receivers see the end of the stream when sending stops; a later
        // start connects again and begins with the blocks queued after it.
        for (auto& d : destinations_) {
            d->cursor = EndIndex();
            d->connected = false;
            d->everConnected = false;
            d->finished = false;
        }
        started_ = false;
        stopping_ = false;
    }

private:
    uint64_t EndIndex() const { return firstIndex_ + blocks_.size(); }

    void PopFront() {
        queuedBytes_ -= blocks_.front()->bytes.size();
        blocks_.pop_front();
        ++firstIndex_;
    }

    // A destination holds back the blocks it has yet to send while it is
    // connected or before its first connection.
    static bool Holds(const Destination& d) { return !d.finished && (d.connected || !d.everConnected); }

    // Drops the blocks every destination has sent or will skip.
    void TrimDelivered() {
        uint64_t keepFrom = EndIndex();
        for (auto* list : {&destinations_, &retired_}) {
            for (auto& d : *list) {
                if (Holds(*d)) keepFrom = std::min(keepFrom, std::min(d->cursor, d->endIndex));
            }
        }
        while (firstIndex_ < keepFrom && !blocks_.empty())
            PopFront();
    }

    void StartThread(Destination& d) {
        d.finished = false;
        d.thread = std::thread([this, &d] { Serve(d); });
    }

    bool PastDeadline() const { return stopping_ && Clock::now() >= stopDeadline_; }

    // Under the lock: whether the destination's thread is done.
    bool Done(const Destination& d) const {
        if (PastDeadline()) return true;
        const uint64_t end = std::min(EndIndex(), d.endIndex);
        const bool retiring = d.endIndex != UINT64_MAX;
        if (!stopping_ && !retiring) return false;
        // A destination that was connected before skips what it missed, so
        // there is nothing left to wait for once its connection is gone.
        return d.cursor >= end || (!d.connected && d.everConnected);
    }

    void Serve(Destination& d);
    bool SendBlock(Destination& d, const Socket& s, const Block& block);
    bool SendAll(const Socket& s, const uint8_t* data, std::size_t size);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<const Block>> blocks_;
    uint64_t firstIndex_ = 0;  // queue index of blocks_.front()
    std::size_t queuedBytes_ = 0;
    uint32_t nextSequence_ = 0;
    bool started_ = false;
    bool stopping_ = false;
    Clock::time_point stopDeadline_{};
    std::vector<std::unique_ptr<Destination>> destinations_;
    std::vector<std::unique_ptr<Destination>> retired_;  // cleared, still delivering
};

void Instance::Serve(Destination& d) {
    Socket socket;
    Clock::time_point nextAttempt = Clock::now();
    int retryMs = kFirstRetryMs;
    std::unique_lock lock(mutex_);
    while (!Done(d)) {
        if (!socket.Open()) {
            if (Clock::now() < nextAttempt) {
                wake_.wait_until(lock, std::min(nextAttempt, Clock::now() + Milliseconds(kWaitSliceMs)));
                continue;
            }
            lock.unlock();
            Socket fresh = ConnectTo(d.host, d.port);
            lock.lock();
            if (!fresh.Open()) {
                nextAttempt = Clock::now() + Milliseconds(retryMs);
                retryMs = std::min(retryMs * 2, kLongestRetryMs);
                continue;
            }
            socket = std::move(fresh);
            retryMs = kFirstRetryMs;
            // Back after a break: what fell due meanwhile is skipped.
            if (d.everConnected) d.cursor = std::max(d.cursor, EndIndex());
            d.connected = true;
            d.everConnected = true;
            continue;
        }
        d.cursor = std::max(d.cursor, firstIndex_);  // blocks dropped by the queue limit
        if (d.cursor >= std::min(EndIndex(), d.endIndex)) {
            wake_.wait_for(lock, Milliseconds(kWaitSliceMs));
            continue;
        }
        std::shared_ptr<const Block> block = blocks_[static_cast<std::size_t>(d.cursor - firstIndex_)];
        lock.unlock();
        const bool sent = SendBlock(d, socket, *block);
        lock.lock();
        if (sent) {
            ++d.cursor;
        } else {
            socket.Close();
            d.connected = false;
            nextAttempt = Clock::now() + Milliseconds(retryMs);
        }
        TrimDelivered();
    }
    d.connected = false;
    d.finished = true;
    TrimDelivered();
    lock.unlock();
    socket.Close();
}

bool Instance::SendBlock(Destination& d, const Socket& s, const Block& block) {
    if (!d.raw) {
        uint8_t header[8];
        const uint32_t size = static_cast<uint32_t>(block.bytes.size());
        for (int i = 0; i < 4; ++i) {
            header[i] = static_cast<uint8_t>(block.sequence >> (8 * i));
            header[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        }
        if (!SendAll(s, header, sizeof header)) return false;
    }
    return SendAll(s, block.bytes.data(), block.bytes.size());
}

// False when the connection broke, took nothing for kStallMs, or the
// delivery window ended.
bool Instance::SendAll(const Socket& s, const uint8_t* data, std::size_t size) {
    Clock::time_point lastProgress = Clock::now();
    while (size > 0) {
        const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
#if defined(_WIN32)
        const int sent = send(s.Get(), reinterpret_cast<const char*>(data), chunk, 0);
#else
        const ssize_t sent = send(s.Get(), data, static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
#endif
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
            lastProgress = Clock::now();
            continue;
        }
        if (sent == 0 || !WouldBlock()) return false;
        if (WaitWritable(s.Get(), kWaitSliceMs) == Readiness::Failed) return false;
        if (Clock::now() - lastProgress >= Milliseconds(kStallMs)) return false;
        std::lock_guard lock(mutex_);
        if (PastDeadline()) return false;
    }
    return true;
}

std::mutex registryMutex;
std::map<int, std::shared_ptr<Instance>> registry;
int nextId = 1;

std::shared_ptr<Instance> Find(int id) {
    std::lock_guard lock(registryMutex);
    auto it = registry.find(id);
    return it != registry.end() ? it->second : nullptr;
}

constexpr SenderDword kOk = 1;
constexpr SenderDword kFailed = 0;

}  // namespace

SENDER_EXPORT int SENDER_CALL InitializeDLL() {
#if defined(_WIN32)
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return -1;
#endif
    std::lock_guard lock(registryMutex);
    int id = nextId++;
    if (nextId < 0) nextId = 1;
    registry.emplace(id, std::make_shared<Instance>());
    return id;
}

SENDER_EXPORT SenderDword SENDER_CALL UnInitializeDLL(int id) {
    std::shared_ptr<Instance> instance;
    {
        std::lock_guard lock(registryMutex);
        auto it = registry.find(id);
        if (it == registry.end()) return kFailed;
        instance = std::move(it->second);
        registry.erase(it);
    }
    instance.reset();  // stops the threads and closes the connections
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL AddSendAddrDLL(int id, const SenderChar* host, SenderDword port) {
    auto instance = Find(id);
    if (!instance || host == nullptr || host[0] == 0) return kFailed;
    instance->AddDestination(HostToUtf8(host), port);
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL ClearSendAddrDLL(int id) {
    auto instance = Find(id);
    if (!instance) return kFailed;
    instance->ClearDestinations();
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL StartSendDLL(int id) {
    auto instance = Find(id);
    if (!instance) return kFailed;
    instance->Start();
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL StopSendDLL(int id) {
    auto instance = Find(id);
    if (!instance) return kFailed;
    instance->Stop();
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL AddSendDataDLL(int id, uint8_t* data, SenderDword size) {
    auto instance = Find(id);
    if (!instance || data == nullptr || size == 0) return kFailed;
    instance->Push(std::vector<uint8_t>(data, data + size));  // the caller reuses its buffer at once
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL ClearSendBuffDLL(int id) {
    auto instance = Find(id);
    if (!instance) return kFailed;
    instance->ClearBlocks();
    return kOk;
}
