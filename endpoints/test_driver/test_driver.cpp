// A tuner driver for tests and demonstrations. It serves a stream through
// GetTsStream in chunks and is steered by environment variables:
//   BON_TEST_STREAM     file to serve once (else a generated stream)
//   BON_TEST_PACKETS    packets of the generated stream (0 or unset: endless)
//   BON_TEST_CHUNK      bytes per GetTsStream (default 18800)
//   BON_TEST_MEMORY     "1": the stream file is read into memory first and
//                       handed over from there, as fast as it is asked for
//   BON_TEST_LOG        file that receives one line per driver call
//   BON_TEST_FAIL_OPEN  "1": OpenTuner fails
//   BON_TEST_PLAIN      "1": the object is an IBonDriver only
//   BON_TEST_NULL       "1": CreateBonDriver returns null
//   BON_TEST_HANG_CLOSE "1": CloseTuner never returns (a stuck driver)
//   BON_TEST_INTERVAL_MS one chunk per this many milliseconds (live pace);
//                       each hand-over is logged with its time
// The generated stream is PID 0x0100 with running continuity counters; each
// payload starts with the packet's 32-bit big-endian index.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "endpoints/bon_driver.h"

#if defined(_WIN32)
#define DRIVER_EXPORT extern "C" __declspec(dllexport)
#else
#define DRIVER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

bool Flag(const char* name) {
    return Env(name) == "1";
}

void Log(const char* text) {
    std::string path = Env("BON_TEST_LOG");
    if (path.empty()) return;
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fputs(text, f);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

class StreamSource {
public:
    StreamSource() {
        std::string path = Env("BON_TEST_STREAM");
        if (!path.empty()) {
            fromFile_ = true;
            // Read as served, so that a stream of gigabytes neither waits
            // for nor occupies memory.
            file_ = std::fopen(path.c_str(), "rb");
        }
        packetLimit_ = std::strtoull(Env("BON_TEST_PACKETS").c_str(), nullptr, 10);
        chunk_ = static_cast<uint32_t>(std::strtoul(Env("BON_TEST_CHUNK").c_str(), nullptr, 10));
        if (chunk_ == 0) chunk_ = 18800;
        buffer_.resize(chunk_);
        if (file_ != nullptr && Flag("BON_TEST_MEMORY")) {
            std::fseek(file_, 0, SEEK_END);
            memory_.resize(static_cast<std::size_t>(std::max(0L, std::ftell(file_))));
            std::fseek(file_, 0, SEEK_SET);
            memory_.resize(std::fread(memory_.data(), 1, memory_.size(), file_));
            inMemory_ = true;
        }
    }

    ~StreamSource() {
        if (file_ != nullptr) std::fclose(file_);
    }
    StreamSource(const StreamSource&) = delete;
    StreamSource& operator=(const StreamSource&) = delete;

    // Fills the driver's buffer with the next chunk; its length (0 at the end).
    uint32_t Next() {
        if (inMemory_) {
            const std::size_t n = std::min<std::size_t>(chunk_, memory_.size() - served_);
            data_ = memory_.data() + served_;
            served_ += n;
            return static_cast<uint32_t>(n);
        }
        if (fromFile_) {
            return file_ != nullptr ? static_cast<uint32_t>(std::fread(buffer_.data(), 1, chunk_, file_)) : 0;
        }
        uint32_t filled = 0;
        while (filled + 188 <= chunk_ && (packetLimit_ == 0 || packetIndex_ < packetLimit_)) {
            uint8_t* p = buffer_.data() + filled;
            p[0] = 0x47;
            p[1] = 0x01;
            p[2] = 0x00;
            p[3] = static_cast<uint8_t>(0x10 | (packetIndex_ & 0x0F));
            for (int i = 0; i < 4; ++i)
                p[4 + i] = static_cast<uint8_t>(packetIndex_ >> (24 - 8 * i));
            std::memset(p + 8, static_cast<int>(packetIndex_ & 0xFF), 180);
            ++packetIndex_;
            filled += 188;
        }
        return filled;
    }
    uint8_t* Data() { return inMemory_ ? data_ : buffer_.data(); }

private:
    bool fromFile_ = false;
    FILE* file_ = nullptr;
    uint64_t packetLimit_ = 0;
    uint64_t packetIndex_ = 0;
    uint32_t chunk_ = 0;
    std::vector<uint8_t> buffer_;
    bool inMemory_ = false;
    std::vector<uint8_t> memory_;
    std::size_t served_ = 0;
    uint8_t* data_ = nullptr;
};

// One implementation serves both shapes; `Plain` exposes IBonDriver alone.
template <typename Interface>
class TestDriver : public Interface {
public:
    // The two-argument form of the second interface is defined by FullDriver.
    using Interface::SetChannel;

    BonBool OpenTuner() override {
        Log("OpenTuner");
        if (Flag("BON_TEST_FAIL_OPEN")) return 0;
        open_ = true;
        return 1;
    }
    void CloseTuner() override {
        Log("CloseTuner");
        while (Flag("BON_TEST_HANG_CLOSE"))
            std::this_thread::sleep_for(std::chrono::seconds(1));
        open_ = false;
    }
    BonBool SetChannel(const BonByte channel) override {
        Log(("SetChannel " + std::to_string(channel)).c_str());
        return 1;
    }
    float GetSignalLevel() override { return 20.0f; }
    BonDword WaitTsStream(const BonDword) override { return 0; }
    BonDword GetReadyCount() override { return 0; }
    BonBool GetTsStream(BonByte* dst, BonDword* size, BonDword* remain) override {
        BonByte* p = nullptr;
        if (!GetTsStream(&p, size, remain)) return 0;
        std::memcpy(dst, p, *size);
        return 1;
    }
    BonBool GetTsStream(BonByte** dst, BonDword* size, BonDword* remain) override {
        if (!open_) return 0;
        if (!DueNow()) {
            *dst = nullptr;
            *size = 0;
            *remain = 0;
            return 0;
        }
        uint32_t n = source_.Next();
        *remain = 0;
        if (n == 0) {
            *dst = nullptr;
            *size = 0;
            return 0;
        }
        *dst = source_.Data();
        *size = n;
        return 1;
    }
    void PurgeTsStream() override {
        // The test stream is not a live signal: purging keeps the file
        // position, so a served file arrives whole. Runs of purges log once.
        if (!lastWasPurge_) Log("PurgeTsStream");
        lastWasPurge_ = true;
    }

protected:
    // With BON_TEST_INTERVAL_MS, one chunk per interval, as a live tuner
    // hands over; each hand-over is logged with its steady-clock time in
    // microseconds.
    bool DueNow() {
        if (intervalMs_ == 0) return true;
        const auto now = std::chrono::steady_clock::now();
        if (nextDue_ == std::chrono::steady_clock::time_point{}) nextDue_ = now;
        if (now < nextDue_) return false;
        nextDue_ += std::chrono::milliseconds(intervalMs_);
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
        Log(("GetTsStream " + std::to_string(us)).c_str());
        return true;
    }

    bool open_ = false;
    uint32_t intervalMs_ = static_cast<uint32_t>(std::strtoul(Env("BON_TEST_INTERVAL_MS").c_str(), nullptr, 10));
    std::chrono::steady_clock::time_point nextDue_{};
    bool lastWasPurge_ = false;
    StreamSource source_;
};

class PlainDriver final : public TestDriver<IBonDriver> {
public:
    void Release() override {
        Log("Release");
        delete this;
    }
};

class FullDriver final : public TestDriver<IBonDriver2> {
public:
    const BonChar* GetTunerName() override {
        static const BonChar name[] = {'T', 'e', 's', 't', 0};
        return name;
    }
    BonBool IsTunerOpening() override { return open_ ? 1 : 0; }
    const BonChar* EnumTuningSpace(const BonDword) override { return nullptr; }
    const BonChar* EnumChannelName(const BonDword, const BonDword) override { return nullptr; }
    using TestDriver<IBonDriver2>::SetChannel;
    BonBool SetChannel(const BonDword space, const BonDword channel) override {
        lastWasPurge_ = false;
        Log(("SetChannel " + std::to_string(space) + " " + std::to_string(channel)).c_str());
        space_ = space;
        channel_ = channel;
        return 1;
    }
    BonDword GetCurTuningSpace() override { return space_; }
    BonDword GetCurChannel() override { return channel_; }
    void Release() override {
        Log("Release");
        delete this;
    }

private:
    BonDword space_ = 0;
    BonDword channel_ = 0;
};

}  // namespace

#if !defined(TEST_DRIVER_NO_EXPORT)
DRIVER_EXPORT IBonDriver* CreateBonDriver() {
    if (Flag("BON_TEST_NULL")) return nullptr;
    if (Flag("BON_TEST_PLAIN")) return new PlainDriver;
    return new FullDriver;
}
#else
// Something to export, so the library is an ordinary one without the factory.
DRIVER_EXPORT int TestDriverVersion() {
    return 1;
}
#endif
