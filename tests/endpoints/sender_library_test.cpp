// The project's sender library through the sink, with receivers on loopback.
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "endpoint_test_util.h"
#include "endpoints/endpoints.h"
#include "platform/platform.h"

using namespace endpoint_test;

namespace {

// Accepts one connection and reads until the sender closes it; bounded in
// time (10 s in all) so that a sender that never closes fails the test.
class Receiver {
public:
    explicit Receiver(uint16_t port = 0) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 4) != 0) {
            close(listener_);
            listener_ = -1;
            return;
        }
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = platform::StartThread(&Receiver::Main, this);
    }
    ~Receiver() {
        if (thread_) platform::JoinThread(thread_);
        if (listener_ >= 0) close(listener_);
    }
    bool Listening() const { return listener_ >= 0; }
    uint16_t Port() const { return port_; }
    // Waits for the end of the connection and returns everything received.
    const std::vector<uint8_t>& Received() {
        if (thread_) platform::JoinThread(thread_);
        thread_ = {};
        return bytes_;
    }

private:
    static uint32_t Main(void* self) {
        static_cast<Receiver*>(self)->Run();
        return 0;
    }
    void Run() {
        uint32_t start = platform::TickCount();
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0) return;
        uint8_t buffer[65536];
        while (platform::TickCount() - start < 10000) {
            pollfd q{connection, POLLIN, 0};
            if (poll(&q, 1, 200) <= 0) continue;
            ssize_t n = recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            bytes_.insert(bytes_.end(), buffer, buffer + n);
        }
        close(connection);
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    platform::ThreadHandle thread_;
    std::vector<uint8_t> bytes_;
};

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

class SenderLibraryTest : public testing::Test {
protected:
    void SetUp() override { SetSenderLibraryPath(SENDER_LIBRARY_PATH); }
    void TearDown() override {
        UnloadSender();
        SetSenderLibraryPath("");
    }

    // Runs one job's sender calls with blocks of the given sizes, all from
    // one reused buffer; returns the bytes handed over, in order.
    static std::vector<uint8_t> RunJob(const std::u16string& address, const std::vector<uint32_t>& sizes) {
        MessageCapture quiet(/*noProgress=*/true);
        std::vector<uint8_t> sent;
        int32_t id = StartSender(quiet.Reporter(), address);
        EXPECT_NE(id, -1);
        std::vector<uint8_t> staging(48128);
        for (std::size_t b = 0; b < sizes.size(); ++b) {
            for (uint32_t i = 0; i < sizes[b]; ++i)
                staging[i] = static_cast<uint8_t>(b * 31 + i * 13 + (i >> 8));
            SenderSendData(id, staging.data(), sizes[b]);
            sent.insert(sent.end(), staging.begin(), staging.begin() + sizes[b]);
            std::fill(staging.begin(), staging.end(), 0xEE);  // the library must have copied it
        }
        StopSender(quiet.Reporter(), id);
        SenderUninitialize(id);
        UnloadSender();
        return sent;
    }

    static std::u16string Address(uint32_t port) {
        std::string text = "127.0.0.1:" + std::to_string(port);
        return std::u16string(text.begin(), text.end());
    }
};

const std::vector<uint32_t> kSizes{48128, 48128, 188, 9400, 48128, 376};

TEST_F(SenderLibraryTest, FramesCarrySequenceSizeAndTheBlockBytes) {
    Receiver receiver;
    ASSERT_TRUE(receiver.Listening());
    std::vector<uint8_t> sent = RunJob(Address(receiver.Port()), kSizes);
    const std::vector<uint8_t>& got = receiver.Received();
    std::vector<uint8_t> payload;
    std::size_t pos = 0;
    for (uint32_t i = 0; i < kSizes.size(); ++i) {
        ASSERT_LE(pos + 8, got.size()) << "frame " << i;
        EXPECT_EQ(Le32(&got[pos]), i);
        ASSERT_EQ(Le32(&got[pos + 4]), kSizes[i]);
        payload.insert(payload.end(), got.begin() + pos + 8, got.begin() + pos + 8 + kSizes[i]);
        pos += 8 + kSizes[i];
    }
    EXPECT_EQ(pos, got.size());
    EXPECT_TRUE(payload == sent);
}

TEST_F(SenderLibraryTest, PortWithBit16SetSendsRawBytesToTheLowPort) {
    Receiver receiver;
    ASSERT_TRUE(receiver.Listening());
    std::vector<uint8_t> sent = RunJob(Address(0x10000u | receiver.Port()), kSizes);
    EXPECT_TRUE(receiver.Received() == sent);
}

TEST_F(SenderLibraryTest, PortsFrom22000To22999SendRawBytes) {
    std::unique_ptr<Receiver> receiver;
    for (uint16_t port = 22000; port <= 22999 && !receiver; ++port) {
        auto candidate = std::make_unique<Receiver>(port);
        if (candidate->Listening()) receiver = std::move(candidate);
    }
    ASSERT_TRUE(receiver) << "no free port in 22000-22999";
    std::vector<uint8_t> sent = RunJob(Address(receiver->Port()), kSizes);
    EXPECT_TRUE(receiver->Received() == sent);
}

TEST_F(SenderLibraryTest, DestinationThatIsDownNeitherBlocksNorStarvesTheOthers) {
    const uint16_t deadPort = UnusedLoopbackPort();
    ASSERT_NE(deadPort, 0);
    Receiver receiver;
    ASSERT_TRUE(receiver.Listening());
    std::u16string address = Address(0x10000u | deadPort) + u"\r\n" + Address(0x10000u | receiver.Port());
    uint32_t start = platform::TickCount();
    std::vector<uint8_t> sent = RunJob(address, kSizes);
    // The end of the run keeps trying the dead destination, which has not
    // had its blocks yet, for the five seconds of the delivery window only.
    EXPECT_LT(platform::TickCount() - start, 6000u);
    EXPECT_TRUE(receiver.Received() == sent);
}

}  // namespace
#endif
