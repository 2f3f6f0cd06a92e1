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
//
// A connection ends only between frames, or between 188-byte packets when it
// carries the bare stream, so that its receiver never sees a torn unit: once
// the delivery window has closed no frame (no packet) is begun, and one
// already begun is finished. Within the window a frame is begun only when the
// pace at which the receiver has lately been taking bytes lets it be handed
// over before the window closes. A begun frame that still runs late (the
// receiver slowed down, or the frame was begun before the stop on a link
// too slow to carry it in the window) gets kFrameGraceMs more; after that the
// connection is closed within the frame, so that StopSendDLL returns within
// kStopDrainMs + kFrameGraceMs (and a connection attempt under way). A
// framed receiver can tell such a last frame by its size field and drop it,
// a bare one by its short last packet; it is the rare exception, not the way
// a slow link ends.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
constexpr int kFrameGraceMs = 1000;
constexpr double kPaceMemoryMs = 5000;
constexpr std::size_t kFrameHeaderBytes = 8;
constexpr std::size_t kPacketBytes = 188;
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

// Bytes the socket took at once; 0 or less when it took none (WouldBlock()
// tells whether it is only full).
long long SendSome(const Socket& s, const uint8_t* data, std::size_t size) {
    const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
#if defined(_WIN32)
    return send(s.Get(), reinterpret_cast<const char*>(data), chunk, 0);
#else
    return send(s.Get(), data, static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
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

// One connection of a destination's thread and what it has carried.
struct Connection {
    Socket socket;
    uint64_t bytesSent = 0;
    // The receiver's pace once it holds the sender back: from the first time
    // the socket refuses bytes (the kernel's buffers full) for as long as
    // blocks wait for it, the bytes it took and the milliseconds that took,
    // older ones weighing less; and the bytes per millisecond of the last
    // frame alone (0 when it went out at once).
    bool heldBack = false;
    double paceBytes = 0;
    double paceMs = 0;
    double lastFramePace = 0;

    // Bytes per millisecond, the lower of the two figures: the kernel grows
    // its buffers for a while after they first fill, which flatters the
    // running one, and a frame begun on a flattering figure may miss the
    // window. 0 while the receiver keeps up.
    double Pace() const {
        const double running = paceMs >= 1 ? paceBytes / paceMs : 0;
        return lastFramePace > 0 ? std::min(running, lastFramePace) : running;
    }
    void KeepsUp() {
        heldBack = false;
        paceBytes = paceMs = lastFramePace = 0;
    }
};

// Adds a frame that went out over `took` while the receiver set the pace.
// The kernel frees its buffers in lumps and a frame's tail may go out after a
// whole wait slice, so the running counts span frames, halved in weight
// every kPaceMemoryMs.
void NotePace(Connection& c, uint64_t bytes, Clock::duration took) {
    const double ms = std::chrono::duration<double, std::milli>(took).count();
    const double keep = std::exp2(-ms / kPaceMemoryMs);
    c.paceBytes = c.paceBytes * keep + static_cast<double>(bytes);
    c.paceMs = c.paceMs * keep + ms;
    c.lastFramePace = ms >= 1 ? static_cast<double>(bytes) / ms : 0;
}

// A frame either went out whole, or the connection broke, or the delivery
// window leaves no room for it (the connection ends there).
enum class FrameOutcome { Sent, Broken, WindowClosed };

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
    std::size_t order = 0;  // how many destinations the instance had before it
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
        d->order = reached_.size();
        reached_.push_back(false);
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

    // Whether the destination added `order`-th ever connected; empty when
    // there is no such destination.
    std::optional<bool> Reached(std::size_t order) {
        std::lock_guard lock(mutex_);
        if (order >= reached_.size()) return std::nullopt;
        return reached_[order];
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

    // The end of the delivery window, or none before the stop.
    std::optional<Clock::time_point> WindowEnd() {
        std::lock_guard lock(mutex_);
        if (!stopping_) return std::nullopt;
        return stopDeadline_;
    }

    void Serve(Destination& d);
    bool FitsInWindow(const Connection& c, std::size_t frameBytes);
    FrameOutcome SendFrame(const Destination& d, Connection& c, const Block& block);

    std::mutex mutex_;
    // By the order the destinations were added in: whether each ever
    // connected, kept after it was cleared and after Stop.
    std::vector<bool> reached_;
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
    Connection connection;
    Clock::time_point nextAttempt = Clock::now();
    int retryMs = kFirstRetryMs;
    std::unique_lock lock(mutex_);
    while (!Done(d)) {
        if (!connection.socket.Open()) {
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
            connection = Connection{};
            connection.socket = std::move(fresh);
            retryMs = kFirstRetryMs;
            // Back after a break: what fell due meanwhile is skipped.
            if (d.everConnected) d.cursor = std::max(d.cursor, EndIndex());
            d.connected = true;
            d.everConnected = true;
            reached_[d.order] = true;
            continue;
        }
        d.cursor = std::max(d.cursor, firstIndex_);  // blocks dropped by the queue limit
        if (d.cursor >= std::min(EndIndex(), d.endIndex)) {
            connection.KeepsUp();
            wake_.wait_for(lock, Milliseconds(kWaitSliceMs));
            continue;
        }
        std::shared_ptr<const Block> block = blocks_[static_cast<std::size_t>(d.cursor - firstIndex_)];
        lock.unlock();
        const FrameOutcome outcome = SendFrame(d, connection, *block);
        lock.lock();
        if (outcome == FrameOutcome::WindowClosed) break;
        if (outcome == FrameOutcome::Sent) {
            ++d.cursor;
        } else {
            connection.socket.Close();
            d.connected = false;
            nextAttempt = Clock::now() + Milliseconds(retryMs);
        }
        TrimDelivered();
    }
    d.connected = false;
    d.finished = true;
    TrimDelivered();
    lock.unlock();
    connection.socket.Close();
}

// Whether a frame can be handed over before the delivery window closes, at
// the pace the receiver has lately shown; a receiver that keeps up is taken
// to have room for it.
bool Instance::FitsInWindow(const Connection& c, std::size_t frameBytes) {
    const std::optional<Clock::time_point> windowEnd = WindowEnd();
    if (!windowEnd) return true;
    const std::chrono::duration<double, std::milli> left = *windowEnd - Clock::now();
    if (left.count() <= 0) return false;
    return c.Pace() <= 0 || static_cast<double>(frameBytes) / c.Pace() <= left.count();
}

// Hands a block over as one frame (as its bare bytes on a bare connection),
// whole or not at all, except when the connection breaks, takes no byte for
// kStallMs, or the window and the grace after it run out within the frame.
// A bare connection may end within the block, between two packets.
FrameOutcome Instance::SendFrame(const Destination& d, Connection& c, const Block& block) {
    uint8_t header[kFrameHeaderBytes];
    const uint32_t size = static_cast<uint32_t>(block.bytes.size());
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<uint8_t>(block.sequence >> (8 * i));
        header[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    const std::size_t headerBytes = d.raw ? 0 : kFrameHeaderBytes;
    const std::size_t frameBytes = headerBytes + block.bytes.size();
    if (!d.raw && !FitsInWindow(c, frameBytes)) return FrameOutcome::WindowClosed;
    std::size_t done = 0;
    Clock::time_point lastProgress = Clock::now();
    // Once the receiver holds the sender back, every frame counts towards its
    // pace, from its start or from the first refusal.
    std::optional<Clock::time_point> measuredFrom;
    if (c.heldBack) measuredFrom = Clock::now();
    uint64_t measuredAt = c.bytesSent;
    while (done < frameBytes) {
        const bool inHeader = done < headerBytes;
        const uint8_t* data = inHeader ? header + done : block.bytes.data() + (done - headerBytes);
        std::size_t chunk = inHeader ? headerBytes - done : frameBytes - done;
        const Clock::time_point now = Clock::now();
        const std::optional<Clock::time_point> windowEnd = WindowEnd();
        if (windowEnd && now >= *windowEnd) {
            const std::size_t intoUnit = d.raw ? static_cast<std::size_t>(c.bytesSent % kPacketBytes) : done;
            if (intoUnit == 0 || now - *windowEnd >= Milliseconds(kFrameGraceMs)) return FrameOutcome::WindowClosed;
            if (d.raw) chunk = std::min(chunk, kPacketBytes - intoUnit);
        }
        const long long sent = SendSome(c.socket, data, chunk);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            c.bytesSent += static_cast<uint64_t>(sent);
            lastProgress = Clock::now();
            continue;
        }
        if (sent == 0 || !WouldBlock()) return FrameOutcome::Broken;
        if (!measuredFrom) {
            c.heldBack = true;
            measuredFrom = now;
            measuredAt = c.bytesSent;
        }
        if (WaitWritable(c.socket.Get(), kWaitSliceMs) == Readiness::Failed) return FrameOutcome::Broken;
        if (Clock::now() - lastProgress >= Milliseconds(kStallMs)) return FrameOutcome::Broken;
    }
    if (measuredFrom) NotePace(c, c.bytesSent - measuredAt, Clock::now() - *measuredFrom);
    return FrameOutcome::Sent;
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

// Not one of the eight standard entry points, and looked up only where it is
// there: whether the destination added index-th (from 0) ever connected, so
// that a program can tell a run nobody received from a slow one. 1 yes, 0
// never, 0xFFFFFFFF when there is no such destination.
SENDER_EXPORT SenderDword SENDER_CALL ReachedSendAddrDLL(int id, SenderDword index) {
    auto instance = Find(id);
    const std::optional<bool> reached = instance ? instance->Reached(index) : std::nullopt;
    if (!reached) return 0xFFFFFFFFu;
    return *reached ? 1 : 0;
}

SENDER_EXPORT SenderDword SENDER_CALL ClearSendBuffDLL(int id) {
    auto instance = Find(id);
    if (!instance) return kFailed;
    instance->ClearBlocks();
    return kOk;
}
