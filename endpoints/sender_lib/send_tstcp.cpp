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
// does not fit) and a sending thread per instance delivers them. A
// destination that is down gets no data; it is reconnected at most once per
// kRetryMs, and blocks falling due while it is down are dropped for it (the
// sequence numbers then show the gap). StopSendDLL delivers what is still
// queued, for at most kStopDrainMs, before the thread ends.
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
#include <variant>
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
constexpr int kRetryMs = 1000;
constexpr int kConnectTimeoutMs = 1000;
constexpr int kSendTimeoutMs = 5000;
constexpr int kStopDrainMs = 5000;

using Clock = std::chrono::steady_clock;

void CloseSocket(SocketHandle s) {
#if defined(_WIN32)
    closesocket(s);
#else
    close(s);
#endif
}

bool SetBlocking(SocketHandle s, bool blocking) {
#if defined(_WIN32)
    u_long mode = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
#else
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(s, F_SETFL, flags) == 0;
#endif
}

// Connects with a time limit so that an unreachable host cannot hold the
// sending thread for the system's full connect time-out.
SocketHandle ConnectTo(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return kNoSocket;
    SocketHandle result = kNoSocket;
    for (addrinfo* ai = list; ai != nullptr && result == kNoSocket; ai = ai->ai_next) {
        SocketHandle s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == kNoSocket) continue;
        if (!SetBlocking(s, false)) {
            CloseSocket(s);
            continue;
        }
        int rc = connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen));
        bool connected = rc == 0;
        if (!connected) {
#if defined(_WIN32)
            bool pending = WSAGetLastError() == WSAEWOULDBLOCK;
            if (pending) {
                fd_set writable, failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                timeval tv{kConnectTimeoutMs / 1000, (kConnectTimeoutMs % 1000) * 1000};
                connected = select(0, nullptr, &writable, &failed, &tv) > 0 && FD_ISSET(s, &writable);
            }
#else
            if (errno == EINPROGRESS) {
                pollfd p{s, POLLOUT, 0};
                if (poll(&p, 1, kConnectTimeoutMs) == 1) {
                    int error = 0;
                    socklen_t len = sizeof error;
                    connected = getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
                }
            }
#endif
        }
        if (connected && SetBlocking(s, true)) {
#if defined(_WIN32)
            DWORD timeout = kSendTimeoutMs;
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
#else
            timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
#endif
            int one = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
            result = s;
        } else {
            CloseSocket(s);
        }
    }
    freeaddrinfo(list);
    return result;
}

bool SendAll(SocketHandle s, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
#if defined(_WIN32)
        int sent = send(s, reinterpret_cast<const char*>(data), chunk, 0);
#else
        ssize_t sent = send(s, data, static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
#endif
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
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

struct Destination {
    std::string host;
    uint16_t port = 0;
    bool raw = false;  // stream bytes without frame headers
    SocketHandle socket = kNoSocket;
    Clock::time_point lastAttempt{};
    bool attempted = false;
};

struct Block {
    uint32_t sequence = 0;
    std::vector<uint8_t> bytes;
};
struct AddAddress {
    std::string host;
    uint32_t port = 0;
};
struct ClearAddresses {};
// Address changes travel through the queue with the data, so that blocks
// queued before ClearSendAddrDLL still reach the destinations they were
// meant for.
using Command = std::variant<Block, AddAddress, ClearAddresses>;

class Instance {
public:
    ~Instance() {
        Stop();
        for (Destination& d : destinations_) Disconnect(d);
    }

    void Push(Command command) {
        std::lock_guard lock(mutex_);
        if (auto* block = std::get_if<Block>(&command)) {
            block->sequence = nextSequence_++;
            queuedBytes_ += block->bytes.size();
            // Keep the queue bounded: drop the oldest blocks, never an
            // address change.
            for (auto it = queue_.begin(); queuedBytes_ > kQueueLimitBytes && it != queue_.end();) {
                if (auto* old = std::get_if<Block>(&*it)) {
                    queuedBytes_ -= old->bytes.size();
                    it = queue_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        queue_.push_back(std::move(command));
        wake_.notify_one();
    }

    void ClearBlocks() {
        std::lock_guard lock(mutex_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (auto* old = std::get_if<Block>(&*it)) {
                queuedBytes_ -= old->bytes.size();
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void Start() {
        std::lock_guard lock(mutex_);
        if (thread_.joinable()) return;
        stopping_ = false;
        thread_ = std::thread([this] { Run(); });
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            if (!thread_.joinable()) return;
            stopping_ = true;
            stopDeadline_ = Clock::now() + std::chrono::milliseconds(kStopDrainMs);
            wake_.notify_one();
        }
        thread_.join();
    }

private:
    static void Disconnect(Destination& d) {
        if (d.socket != kNoSocket) CloseSocket(d.socket);
        d.socket = kNoSocket;
    }

    static void EnsureConnected(Destination& d) {
        if (d.socket != kNoSocket) return;
        Clock::time_point now = Clock::now();
        if (d.attempted && now - d.lastAttempt < std::chrono::milliseconds(kRetryMs)) return;
        d.attempted = true;
        d.lastAttempt = now;
        d.socket = ConnectTo(d.host, d.port);
    }

    void Deliver(const Block& block) {
        uint8_t header[8];
        uint32_t size = static_cast<uint32_t>(block.bytes.size());
        for (int i = 0; i < 4; ++i) {
            header[i] = static_cast<uint8_t>(block.sequence >> (8 * i));
            header[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        }
        for (Destination& d : destinations_) {
            EnsureConnected(d);
            if (d.socket == kNoSocket) continue;
            bool ok = (d.raw || SendAll(d.socket, header, sizeof header)) &&
                      SendAll(d.socket, block.bytes.data(), block.bytes.size());
            if (!ok) Disconnect(d);
        }
    }

    void Apply(Command& command) {
        if (auto* block = std::get_if<Block>(&command)) {
            Deliver(*block);
        } else if (auto* add = std::get_if<AddAddress>(&command)) {
            Destination d;
            d.host = add->host;
            d.raw = (add->port & 0x10000u) != 0 || (add->port >= 22000 && add->port <= 22999);
            d.port = static_cast<uint16_t>(add->port & 0xFFFFu);
            destinations_.push_back(std::move(d));
            EnsureConnected(destinations_.back());
        } else {
            for (Destination& d : destinations_) Disconnect(d);
            destinations_.clear();
        }
    }

    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping_ || !queue_.empty(); });
            if (stopping_ && (queue_.empty() || Clock::now() >= stopDeadline_)) break;
            if (queue_.empty()) continue;
            Command command = std::move(queue_.front());
            queue_.pop_front();
            if (auto* block = std::get_if<Block>(&command)) queuedBytes_ -= block->bytes.size();
            lock.unlock();
            Apply(command);
            lock.lock();
        }
        // Address changes left behind by a drain cut short still apply, so
        // the destination list matches what the caller asked for.
        while (!queue_.empty()) {
            Command command = std::move(queue_.front());
            queue_.pop_front();
            if (!std::holds_alternative<Block>(command)) Apply(command);
        }
        queuedBytes_ = 0;
        // Receivers see the end of the stream when sending stops; a later
        // start connects again.
        for (Destination& d : destinations_) {
            Disconnect(d);
            d.attempted = false;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Command> queue_;
    std::size_t queuedBytes_ = 0;
    uint32_t nextSequence_ = 0;
    bool stopping_ = false;
    Clock::time_point stopDeadline_{};
    std::thread thread_;
    std::vector<Destination> destinations_;  // sending thread only, or after it ended
};

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
    instance.reset();  // stops the thread and closes the connections
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL AddSendAddrDLL(int id, const SenderChar* host, SenderDword port) {
    auto instance = Find(id);
    if (!instance || host == nullptr || host[0] == 0) return kFailed;
    instance->Push(AddAddress{HostToUtf8(host), port});
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL ClearSendAddrDLL(int id) {
    auto instance = Find(id);
    if (!instance) return kFailed;
    instance->Push(ClearAddresses{});
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
    Block block;
    block.bytes.assign(data, data + size);  // the caller reuses its buffer at once
    instance->Push(std::move(block));
    return kOk;
}

SENDER_EXPORT SenderDword SENDER_CALL ClearSendBuffDLL(int id) {
    auto instance = Find(id);
    if (!instance) return kFailed;
    instance->ClearBlocks();
    return kOk;
}
