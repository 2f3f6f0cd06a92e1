// The project's sender library under faults: destinations that never read,
// refuse or never answer beside a live one, a receiver that restarts, one
// that comes up late, an IPv6 destination, and slow receivers at the end of
// a run and on an interrupt. Everything on loopback and bounded in time.
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "endpoint_test_util.h"
#include "endpoints/endpoints.h"
#include "platform/platform.h"

using namespace endpoint_test;

namespace {

constexpr uint32_t kDeliveryWindowMs = 5000;

class Listener {
public:
    // Port 0 takes any free port.
    explicit Listener(bool v6 = false, uint16_t port = 0, int backlog = 4) {
        fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            a->sin6_port = htons(port);
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&storage);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a->sin_port = htons(port);
            length = sizeof *a;
        }
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(fd_, backlog) != 0) {
            Close();
            return;
        }
        getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length);
        port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    }
    ~Listener() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    uint16_t Port() const { return port_; }
    // The next connection within `ms`, or -1.
    int Accept(uint32_t ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(ms)) != 1) return -1;
        return accept(fd_, nullptr, nullptr);
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Reads a connection until the peer closes it or `ms` have passed (or
// `limit` bytes arrived); closes it.
std::vector<uint8_t> ReadConnection(int connection, uint32_t ms, std::size_t limit = SIZE_MAX) {
    std::vector<uint8_t> bytes;
    const uint32_t start = platform::TickCount();
    uint8_t buffer[65536];
    while (connection >= 0 && bytes.size() < limit && platform::TickCount() - start < ms) {
        pollfd q{connection, POLLIN, 0};
        if (poll(&q, 1, 50) <= 0) continue;
        const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    if (connection >= 0) close(connection);
    return bytes;
}

struct Frame {
    uint32_t sequence = 0;
    std::vector<uint8_t> payload;
};

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

// The complete frames of one connection; a frame cut off by the end of the
// connection is left out.
std::vector<Frame> ParseFrames(const std::vector<uint8_t>& bytes) {
    std::vector<Frame> frames;
    std::size_t pos = 0;
    while (pos + 8 <= bytes.size()) {
        const uint32_t size = Le32(&bytes[pos + 4]);
        if (pos + 8 + size > bytes.size()) break;
        frames.push_back(
            {Le32(&bytes[pos]), std::vector<uint8_t>(bytes.begin() + pos + 8, bytes.begin() + pos + 8 + size)});
        pos += 8 + size;
    }
    return frames;
}

// The bytes of block `index`: distinct for every block and position.
std::vector<uint8_t> BlockBytes(uint32_t index, uint32_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(index * 29 + i * 7 + (i >> 9));
    return bytes;
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::u16string Address(uint16_t port) {
    return Wide("127.0.0.1:" + std::to_string(port));
}

// A port nothing listens on (free a moment ago).
uint16_t RefusingPort() {
    Listener probe;
    return probe.Port();
}

// One sender instance through the sink, quiet.
class SenderRun {
public:
    explicit SenderRun(const std::u16string& address) : quiet_(true) {
        SetSenderLibraryPath(SENDER_LIBRARY_PATH);
        id_ = StartSender(quiet_.Reporter(), address);
    }
    ~SenderRun() {
        Stop();
        UnloadSender();
        SetSenderLibraryPath("");
    }
    int32_t Id() const { return id_; }
    void Send(uint32_t index, uint32_t size) {
        std::vector<uint8_t> bytes = BlockBytes(index, size);
        SenderSendData(id_, bytes.data(), size);
    }
    // Milliseconds the stop took.
    uint32_t Stop() {
        if (id_ == -1) return 0;
        const uint32_t start = platform::TickCount();
        StopSender(quiet_.Reporter(), id_);
        SenderUninitialize(id_);
        id_ = -1;
        return platform::TickCount() - start;
    }

private:
    MessageCapture quiet_;
    int32_t id_ = -1;
};

void ExpectFramesInOrder(const std::vector<Frame>& frames, uint32_t first, uint32_t count, uint32_t size) {
    ASSERT_EQ(frames.size(), count);
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(frames[i].sequence, first + i) << "frame " << i;
        ASSERT_TRUE(frames[i].payload == BlockBytes(first + i, size)) << "frame " << i;
    }
}

struct ReaderThread {
    const Listener* listener = nullptr;
    uint32_t acceptMs = 0;
    uint32_t readMs = 0;
    std::vector<uint8_t> bytes;
    platform::ThreadHandle thread;

    static uint32_t Main(void* self) {
        auto* r = static_cast<ReaderThread*>(self);
        r->bytes = ReadConnection(r->listener->Accept(r->acceptMs), r->readMs);
        return 0;
    }
    void Start(const Listener& from, uint32_t acceptWithinMs, uint32_t readForMs) {
        listener = &from;
        acceptMs = acceptWithinMs;
        readMs = readForMs;
        thread = platform::StartThread(&ReaderThread::Main, this);
    }
    const std::vector<uint8_t>& Join() {
        if (thread) platform::JoinThread(thread);
        return bytes;
    }
};

// A receiver behind a slow link: a small receive buffer, read at about
// `bytesPerSecond` until Hurry(), then at full speed (what the sender handed
// over before it closed only has to arrive), until the sender closes the
// connection or `ms` have passed in all.
class SlowReceiver {
public:
    SlowReceiver(uint32_t bytesPerSecond, uint32_t ms) : bytesPerSecond_(bytesPerSecond), ms_(ms) {
        const int size = 16384;
        setsockopt(listener_.Fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        if (listener_.Ok()) thread_ = platform::StartThread(&SlowReceiver::Main, this);
    }
    ~SlowReceiver() { Join(); }
    bool Ok() const { return listener_.Ok(); }
    uint16_t Port() const { return listener_.Port(); }
    void Hurry() { hurry_.store(true); }
    // Everything received; empty unless the sender closed the connection.
    const std::vector<uint8_t>& Join() {
        if (thread_) platform::JoinThread(thread_);
        return bytes_;
    }

private:
    static uint32_t Main(void* self) {
        static_cast<SlowReceiver*>(self)->Run();
        return 0;
    }
    void Run() {
        const uint32_t start = platform::TickCount();
        const int connection = listener_.Accept(5000);
        if (connection < 0) return;
        const uint32_t reading = platform::TickCount();
        std::vector<uint8_t> got;
        bool closed = false;
        uint8_t buffer[65536];
        while (!closed && platform::TickCount() - start < ms_) {
            std::size_t allowed = sizeof buffer;
            if (!hurry_.load()) {
                const uint64_t due = uint64_t{bytesPerSecond_} * (platform::TickCount() - reading) / 1000;
                allowed = due > got.size() ? std::min<std::size_t>(allowed, due - got.size()) : 0;
            }
            pollfd q{connection, POLLIN, 0};
            if (allowed == 0 || poll(&q, 1, 5) <= 0) {
                if (allowed == 0) platform::SleepMs(5);
                continue;
            }
            const ssize_t n = recv(connection, buffer, allowed, 0);
            closed = n <= 0;
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        close(connection);
        if (closed) bytes_ = std::move(got);
    }

    Listener listener_;
    uint32_t bytesPerSecond_;
    uint32_t ms_;
    std::atomic<bool> hurry_{false};
    std::vector<uint8_t> bytes_;
    platform::ThreadHandle thread_;
};

TEST(SenderDelivery, LiveReceiverGetsEveryFrameBesideStuckRefusingAndSilentDestinations) {
    Listener live;
    // Accepts the connection but never reads from it.
    Listener stuck;
    // A full accept queue that is never served: further SYNs are dropped.
    Listener silent(false, 0, 0);
    ASSERT_TRUE(live.Ok() && stuck.Ok() && silent.Ok());
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(silent.Port());
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(s);
    }
    platform::SleepMs(50);
    int stuckConnection = -1;
    ReaderThread reader;
    reader.Start(live, 5000, 15000);

    constexpr uint32_t kBlocks = 100;
    constexpr uint32_t kSize = 48128;
    uint32_t stopMs = 0;
    {
        SenderRun run(Address(silent.Port()) + u"\r\n" + Address(RefusingPort()) + u"\r\n" + Address(stuck.Port()) +
                      u"\r\n" + Address(live.Port()));
        ASSERT_NE(run.Id(), -1);
        stuckConnection = stuck.Accept(2000);
        for (uint32_t i = 0; i < kBlocks; ++i) {
            run.Send(i, kSize);
            platform::SleepMs(20);
        }
        stopMs = run.Stop();
    }
    std::vector<Frame> frames = ParseFrames(reader.Join());
    EXPECT_GE(stuckConnection, 0) << "the stuck destination was never connected";
    if (stuckConnection >= 0) close(stuckConnection);
    for (int s : fillers)
        close(s);
    ExpectFramesInOrder(frames, 0, kBlocks, kSize);
    // The window, the extra second a frame begun in it may take on the stuck
    // destination, and slack for a slow (sanitized) build.
    EXPECT_LE(stopMs, kDeliveryWindowMs + 2000);
}

TEST(SenderDelivery, RestartedReceiverGetsAContiguousStreamAgainWithTheGapInTheSequence) {
    auto listener = std::make_unique<Listener>();
    ASSERT_TRUE(listener->Ok());
    const uint16_t port = listener->Port();
    constexpr uint32_t kBlocks = 150;
    constexpr uint32_t kSize = 9400;
    std::vector<uint8_t> firstBytes;
    ReaderThread second;
    {
        SenderRun run(Address(port));
        ASSERT_NE(run.Id(), -1);
        int connection = listener->Accept(2000);
        ASSERT_GE(connection, 0);
        for (uint32_t i = 0; i < 40; ++i) {
            run.Send(i, kSize);
            platform::SleepMs(10);
        }
        // The receiver goes away, with what it has read, and comes back on
        // the same port a little later.
        firstBytes = ReadConnection(connection, 200, 20 * (8 + kSize));
        listener.reset();
        for (uint32_t i = 40; i < 70; ++i) {
            run.Send(i, kSize);
            platform::SleepMs(10);
        }
        listener = std::make_unique<Listener>(false, port);
        ASSERT_TRUE(listener->Ok());
        second.Start(*listener, 5000, 15000);
        for (uint32_t i = 70; i < kBlocks; ++i) {
            run.Send(i, kSize);
            platform::SleepMs(10);
        }
        run.Stop();
    }
    std::vector<Frame> before = ParseFrames(firstBytes);
    std::vector<Frame> after = ParseFrames(second.Join());
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    ExpectFramesInOrder(before, 0, static_cast<uint32_t>(before.size()), kSize);
    const uint32_t resumed = after.front().sequence;
    EXPECT_GT(resumed, before.back().sequence + 1);
    // From its reconnection on it misses nothing, up to the last block.
    ExpectFramesInOrder(after, resumed, kBlocks - resumed, kSize);
}

TEST(SenderDelivery, LateReceiverOnAShortRunGetsTheWholeStream) {
    const uint16_t port = RefusingPort();
    constexpr uint32_t kBlocks = 349;  // 16 MiB in full blocks
    constexpr uint32_t kSize = 48128;
    ReaderThread reader;
    std::unique_ptr<Listener> listener;
    {
        SenderRun run(Wide("127.0.0.1:" + std::to_string(0x10000u | port)));  // bare stream bytes
        ASSERT_NE(run.Id(), -1);
        for (uint32_t i = 0; i < kBlocks; ++i)
            run.Send(i, kSize);
        platform::SleepMs(300);
        listener = std::make_unique<Listener>(false, port);
        ASSERT_TRUE(listener->Ok());
        reader.Start(*listener, 5000, 15000);
        EXPECT_LE(run.Stop(), kDeliveryWindowMs + 500);
    }
    const std::vector<uint8_t>& got = reader.Join();
    ASSERT_EQ(got.size(), std::size_t{kBlocks} * kSize);
    for (uint32_t i = 0; i < kBlocks; ++i) {
        ASSERT_EQ(std::memcmp(got.data() + std::size_t{i} * kSize, BlockBytes(i, kSize).data(), kSize), 0) << i;
    }
}

TEST(SenderDelivery, BracketedIpv6DestinationReceivesTheFrames) {
    Listener listener(true);
    if (!listener.Ok()) GTEST_SKIP() << "no IPv6 loopback";
    ReaderThread reader;
    reader.Start(listener, 5000, 10000);
    {
        SenderRun run(Wide("[::1]:" + std::to_string(listener.Port())));
        ASSERT_NE(run.Id(), -1);
        for (uint32_t i = 0; i < 5; ++i)
            run.Send(i, 188 * (i + 1));
    }
    std::vector<Frame> frames = ParseFrames(reader.Join());
    ASSERT_EQ(frames.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(frames[i].sequence, i);
        EXPECT_TRUE(frames[i].payload == BlockBytes(i, 188 * (i + 1)));
    }
}

// More is queued than a slow link carries in the delivery window: when it
// closes, the framed receiver has whole frames only and the bare one whole
// packets, each a gapless start of the stream.
TEST(SenderEnding, SlowReceiversEndOnAFrameAndOnAPacketBoundaryWhenTheWindowCloses) {
    constexpr uint32_t kBlocks = 300;
    constexpr uint32_t kSize = 48128;
    SlowReceiver framed(1000000, 30000), bare(1000000, 30000);
    ASSERT_TRUE(framed.Ok() && bare.Ok());
    uint32_t stopMs = 0;
    {
        SenderRun run(Address(framed.Port()) + u"\r\n" + Wide("127.0.0.1:" + std::to_string(0x10000u | bare.Port())));
        ASSERT_NE(run.Id(), -1);
        for (uint32_t i = 0; i < kBlocks; ++i)
            run.Send(i, kSize);
        stopMs = run.Stop();
    }
    framed.Hurry();
    bare.Hurry();
    const std::vector<uint8_t>& framedBytes = framed.Join();
    const std::vector<uint8_t>& bareBytes = bare.Join();

    const std::vector<Frame> frames = ParseFrames(framedBytes);
    EXPECT_EQ(framedBytes.size(), frames.size() * (8 + kSize)) << "a frame cut off";
    ASSERT_GT(frames.size(), 0u);
    ASSERT_LT(frames.size(), kBlocks) << "the window did not close on this link";
    ExpectFramesInOrder(frames, 0, static_cast<uint32_t>(frames.size()), kSize);

    EXPECT_EQ(bareBytes.size() % 188, 0u) << bareBytes.size() << " bytes: a packet cut off";
    ASSERT_GT(bareBytes.size(), 0u);
    ASSERT_LT(bareBytes.size(), std::size_t{kBlocks} * kSize) << "the window did not close on this link";
    for (std::size_t at = 0; at < bareBytes.size(); at += kSize) {
        const uint32_t index = static_cast<uint32_t>(at / kSize);
        const std::size_t length = std::min<std::size_t>(kSize, bareBytes.size() - at);
        ASSERT_EQ(std::memcmp(bareBytes.data() + at, BlockBytes(index, kSize).data(), length), 0) << index;
    }
    EXPECT_LE(stopMs, kDeliveryWindowMs + 2000);
}

// A link so slow that one frame takes seconds: a frame the window has no
// time left for is not begun, rather than torn when the window closes.
TEST(SenderEnding, FrameTooLongForWhatIsLeftOfTheWindowIsNotBegun) {
    constexpr uint32_t kBlocks = 120;
    constexpr uint32_t kSize = 48128;
    SlowReceiver framed(16000, 30000);
    ASSERT_TRUE(framed.Ok());
    uint32_t stopMs = 0;
    {
        SenderRun run(Address(framed.Port()));
        ASSERT_NE(run.Id(), -1);
        for (uint32_t i = 0; i < kBlocks; ++i)
            run.Send(i, kSize);
        stopMs = run.Stop();
    }
    framed.Hurry();
    const std::vector<uint8_t>& bytes = framed.Join();
    const std::vector<Frame> frames = ParseFrames(bytes);
    EXPECT_EQ(bytes.size(), frames.size() * (8 + kSize)) << "a frame cut off";
    ASSERT_GT(frames.size(), 0u);
    ExpectFramesInOrder(frames, 0, static_cast<uint32_t>(frames.size()), kSize);
    // Well before the window and the extra second are over: the frame that
    // could not have finished was never begun.
    EXPECT_LE(stopMs, kDeliveryWindowMs + 600);
}

// Whether `bytes` are the first packets of the test tuner's generated stream,
// whole and without a gap (each payload begins with the packet's index).
::testing::AssertionResult GeneratedPacketsFromTheStart(const std::vector<uint8_t>& bytes) {
    if (bytes.size() % 188 != 0) return ::testing::AssertionFailure() << bytes.size() << " bytes: a packet cut off";
    for (std::size_t at = 0; at < bytes.size(); at += 188) {
        const uint32_t index = static_cast<uint32_t>(at / 188);
        const uint8_t* p = bytes.data() + at;
        const uint32_t carried = (uint32_t{p[4]} << 24) | (p[5] << 16) | (p[6] << 8) | p[7];
        if (p[0] != 0x47 || carried != index || p[187] != static_cast<uint8_t>(index)) {
            return ::testing::AssertionFailure() << "packet " << index << " carries " << carried;
        }
    }
    return ::testing::AssertionSuccess();
}

// The program fed by an endless tuner and interrupted while slow receivers
// are far behind: it ends with whole frames and whole packets on the wire.
TEST(SenderEnding, InterruptedProgramLeavesSlowReceiversWholeFramesAndPackets) {
    const char* exe = std::getenv("TRELVAN_EXE");
    if (exe == nullptr || *exe == 0) GTEST_SKIP() << "TRELVAN_EXE not set";
    SlowReceiver framed(1000000, 30000), bare(1000000, 30000);
    ASSERT_TRUE(framed.Ok() && bare.Ok());
    const std::string tuner = std::string("\\\\.\\bondriver\\0\\12\\") + TEST_DRIVER_PATH;
    const std::string sender = "\\\\.\\sendtstcp\\127.0.0.1:" + std::to_string(framed.Port()) +
                               "\n127.0.0.1:" + std::to_string(0x10000u | bare.Port()) + "\\" + SENDER_LIBRARY_PATH;
    const std::string console = TempPath("console.txt");
    SetEnv("BON_TEST_CHUNK", "48128");
    SetEnv("BON_TEST_INTERVAL_MS", "3");
    const pid_t child = fork();
    if (child == 0) {
        FILE* out = std::freopen(console.c_str(), "wb", stdout);
        (void)out;
        execl(exe, exe, tuner.c_str(), "-throughpath", sender.c_str(), "-noprogress", static_cast<char*>(nullptr));
        _exit(127);
    }
    SetEnv("BON_TEST_CHUNK", "");
    SetEnv("BON_TEST_INTERVAL_MS", "");
    platform::SleepMs(1000);
    kill(child, SIGINT);
    const uint32_t interrupted = platform::TickCount();
    int status = 0;
    bool ended = false;
    while (!ended && platform::TickCount() - interrupted < 10000) {
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) platform::SleepMs(20);
    }
    const uint32_t endedMs = platform::TickCount() - interrupted;
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    framed.Hurry();
    bare.Hurry();
    ASSERT_TRUE(ended) << ReadAll(console);
    EXPECT_LE(endedMs, kDeliveryWindowMs + 2000);

    const std::vector<uint8_t>& framedBytes = framed.Join();
    const std::vector<Frame> frames = ParseFrames(framedBytes);
    std::vector<uint8_t> payload;
    std::size_t framedTotal = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].sequence, i);
        payload.insert(payload.end(), frames[i].payload.begin(), frames[i].payload.end());
        framedTotal += 8 + frames[i].payload.size();
    }
    EXPECT_EQ(framedBytes.size(), framedTotal) << "a frame cut off";
    EXPECT_GT(payload.size(), 0u);
    EXPECT_TRUE(GeneratedPacketsFromTheStart(payload));

    const std::vector<uint8_t>& bareBytes = bare.Join();
    EXPECT_GT(bareBytes.size(), 0u);
    EXPECT_TRUE(GeneratedPacketsFromTheStart(bareBytes));
}

TEST(SenderDestination, SplitsHostAndPortOfNamesAndBracketedIpv6Literals) {
    struct Case {
        std::string line, host, port;
    };
    const std::vector<Case> cases{
        {"example:1234", "example", "1234"},
        {"127.0.0.1:65536", "127.0.0.1", "65536"},
        {"[::1]:1234", "::1", "1234"},
        {"[fe80::1%eth0]:22001", "fe80::1%eth0", "22001"},
        {"[::1]", "::1", ""},
        {"[::1]1234", "::1", ""},
        {"[::1:1234", "", ""},
        {"[]:1234", "", "1234"},
        {"::1:1234", "", ":1:1234"},
        {"host", "host", ""},
        {":1234", "", "1234"},
    };
    for (const Case& c : cases) {
        std::string host = "x", port = "y";
        SplitSenderDestination(c.line, host, port);
        EXPECT_EQ(host, c.host) << c.line;
        EXPECT_EQ(port, c.port) << c.line;
    }
}

}  // namespace
#endif
