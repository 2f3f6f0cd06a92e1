// The tuner source with the project's test driver.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "endpoint_test_util.h"
#include "endpoints/endpoints.h"
#include "endpoints/tuner_source.h"
#include "platform/platform.h"

using namespace endpoint_test;

namespace {

const std::string kDriver = TEST_DRIVER_PATH;
const std::string kStart = "－ BonDriverチューナー 開始";
const std::string kEnd = "－ BonDriverチューナー 終了 ";

uint32_t PacketIndex(const uint8_t* packet) {
    return (uint32_t{packet[4]} << 24) | (uint32_t{packet[5]} << 16) | (uint32_t{packet[6]} << 8) | packet[7];
}

class TunerTest : public testing::Test {
protected:
    void SetUp() override {
        driverLog_ = TempPath("driver.log");
        for (const char* name : {"BON_TEST_STREAM", "BON_TEST_PACKETS", "BON_TEST_CHUNK", "BON_TEST_FAIL_OPEN",
                                 "BON_TEST_PLAIN", "BON_TEST_NULL"}) {
            SetEnv(name, "");
        }
        SetEnv("BON_TEST_LOG", driverLog_);
    }
    void TearDown() override { SetEnv("BON_TEST_LOG", ""); }

    std::string DriverCalls() const { return ReadAll(driverLog_); }

    // Takes from the queue until `bytes` have arrived or two seconds pass.
    static std::vector<uint8_t> TakeAtLeast(TunerSource& tuner, std::size_t bytes) {
        std::vector<uint8_t> out;
        uint8_t buffer[4096];
        uint32_t start = platform::TickCount();
        while (out.size() < bytes && platform::TickCount() - start < 2000) {
            uint32_t n = TakeFromTuner(tuner, buffer, sizeof buffer);
            if (n == 0) platform::SleepMs(1);
            out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }

    // Waits (bounded) until the reader thread has finished its start.
    static void WaitForLog(const std::string& path, const std::string& text) {
        for (int i = 0; i < 200 && ReadAll(path).find(text) == std::string::npos; ++i) {
            platform::SleepMs(10);
        }
    }

    std::string driverLog_;
};

TEST_F(TunerTest, SpaceAndChannelReachTheDriverAndTheStreamArrivesInOrder) {
    SetEnv("BON_TEST_PACKETS", "1000");
    MessageCapture messages;
    TunerSource* tuner = CreateTunerSource(messages.Reporter());
    StartTuner(*tuner, 0, 12, kDriver.c_str(), 1u << 20);
    std::vector<uint8_t> data = TakeAtLeast(*tuner, 1000 * 188);
    StopTuner(*tuner);
    DestroyTunerSource(tuner);

    ASSERT_EQ(data.size(), 1000u * 188u);
    for (uint32_t i = 0; i < 1000; ++i) {
        const uint8_t* p = data.data() + i * 188;
        ASSERT_EQ(p[0], 0x47) << i;
        ASSERT_EQ(PacketIndex(p), i);
        ASSERT_EQ(p[3] & 0x0F, i & 0x0F);
    }
    EXPECT_EQ(DriverCalls(), "OpenTuner\nSetChannel 0 12\nPurgeTsStream\nCloseTuner\nRelease\n");
    EXPECT_EQ(messages.Text(), kStart + "成功 " + kDriver + "\n" + kEnd + kDriver + "\n");
}

TEST_F(TunerTest, LibraryWithoutTheFactoryFailsWithoutEndMessage) {
    MessageCapture messages;
    TunerSource tuner(messages.Reporter());
    tuner.dllPath = TEST_DRIVER_NOEXPORT_PATH;
    EXPECT_FALSE(tuner.Open());
    EXPECT_EQ(tuner.module, nullptr);
    tuner.Reset();
    EXPECT_EQ(messages.Text(), kStart + "失敗 " + TEST_DRIVER_NOEXPORT_PATH + "\n");
}

TEST_F(TunerTest, MissingOrEmptyDriverPathFails) {
    MessageCapture messages;
    TunerSource tuner(messages.Reporter());
    tuner.dllPath = "/nonexistent/BonDriver.so";
    EXPECT_FALSE(tuner.Open());
    tuner.dllPath.clear();
    EXPECT_FALSE(tuner.Open());
    EXPECT_EQ(messages.Text(), kStart + "失敗 /nonexistent/BonDriver.so\n" + kStart + "失敗 \n");
    EXPECT_EQ(DriverCalls(), "");
}

TEST_F(TunerTest, FailingOpenTunerPrintsEndBeforeASuccessfulStart) {
    SetEnv("BON_TEST_FAIL_OPEN", "1");
    MessageCapture messages;
    TunerSource* tuner = CreateTunerSource(messages.Reporter());
    StartTuner(*tuner, 1, 2, kDriver.c_str(), 1u << 20);
    WaitForLog(driverLog_, "Release");
    uint8_t buffer[188];
    EXPECT_EQ(TakeFromTuner(*tuner, buffer, sizeof buffer), 0u);
    // The worker learns that nothing will come, instead of waiting for ever.
    for (int i = 0; i < 200 && !TunerFailedToOpen(*tuner); ++i)
        platform::SleepMs(10);
    EXPECT_TRUE(TunerFailedToOpen(*tuner));
    StopTuner(*tuner);
    DestroyTunerSource(tuner);
    EXPECT_EQ(DriverCalls(), "OpenTuner\nRelease\n");
    EXPECT_EQ(messages.Text(), kEnd + kDriver + "\n" + kStart + "成功 " + kDriver + "\n" +
                                   "－ BonDriverチューナーを開けません " + kDriver + "\n");
}

TEST_F(TunerTest, DriverWithoutSecondInterfaceIsOpenedButNotRead) {
    SetEnv("BON_TEST_PLAIN", "1");
    MessageCapture messages;
    TunerSource tuner(messages.Reporter());
    tuner.dllPath = kDriver;
    EXPECT_TRUE(tuner.Open());
    EXPECT_TRUE(tuner.tunerOpen);
    EXPECT_NE(tuner.driver, nullptr);
    EXPECT_EQ(tuner.driver2, nullptr);
    tuner.Reset();
    EXPECT_EQ(DriverCalls(), "OpenTuner\nCloseTuner\nRelease\n");
    EXPECT_EQ(messages.Text(), kStart + "成功 " + kDriver + "\n" + kEnd + kDriver + "\n");
}

TEST_F(TunerTest, FactoryReturningNullStartsWithoutEndMessage) {
    SetEnv("BON_TEST_NULL", "1");
    MessageCapture messages;
    TunerSource tuner(messages.Reporter());
    tuner.dllPath = kDriver;
    EXPECT_TRUE(tuner.Open());
    EXPECT_EQ(tuner.driver, nullptr);
    tuner.Reset();
    EXPECT_EQ(messages.Text(), kStart + "成功 " + kDriver + "\n");
}

TEST_F(TunerTest, FullQueueDropsFetchedBlocksUntilTheWorkerTakes) {
    SetEnv("BON_TEST_CHUNK", "1880");  // ten packets per fetch, endless stream
    MessageCapture messages(/*noProgress=*/true);
    TunerSource tuner(messages.Reporter());
    StartTuner(tuner, 0, 0, kDriver.c_str(), 940);
    // Below the limit one whole block goes in; from then on every fetch is
    // thrown away, so the queue stays at exactly one block.
    for (int i = 0; i < 200 && tuner.QueuedBytes() == 0; ++i)
        platform::SleepMs(5);
    // Long enough for the reader to give up waiting for room a few times.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(tuner.QueuedBytes(), 1880);
        platform::SleepMs(40);
    }
    std::vector<uint8_t> first = TakeAtLeast(tuner, 1880);
    ASSERT_EQ(first.size(), 1880u);
    EXPECT_EQ(PacketIndex(first.data()), 0u);
    EXPECT_EQ(PacketIndex(first.data() + 1880 - 188), 9u);
    // After the take the next fetched block goes in; those in between were dropped.
    std::vector<uint8_t> next = TakeAtLeast(tuner, 188);
    ASSERT_GE(next.size(), 188u);
    EXPECT_GT(PacketIndex(next.data()), 10u);
    StopTuner(tuner);
    EXPECT_EQ(messages.Text(), "");
}

// A driver that hands over faster than the worker takes loses nothing
// while the worker keeps taking: the reader leaves the bytes in the driver
// until there is room, where it would otherwise throw them away.
TEST_F(TunerTest, WorkerThatKeepsTakingLosesNothingToAFasterDriver) {
    SetEnv("BON_TEST_CHUNK", "1880");
    SetEnv("BON_TEST_PACKETS", "5000");
    MessageCapture messages(/*noProgress=*/true);
    TunerSource tuner(messages.Reporter());
    StartTuner(tuner, 0, 0, kDriver.c_str(), 940);
    const std::vector<uint8_t> data = TakeAtLeast(tuner, 5000 * 188);
    StopTuner(tuner);
    ASSERT_EQ(data.size(), 5000u * 188u);
    for (uint32_t i = 0; i < 5000; ++i) {
        ASSERT_EQ(PacketIndex(data.data() + i * 188), i);
    }
}

TEST_F(TunerTest, QueueLimitIsReplacedAndRestoredByReset) {
    SetEnv("BON_TEST_PACKETS", "50");
    SetEnv("BON_TEST_CHUNK", "188");
    MessageCapture messages(/*noProgress=*/true);
    TunerSource tuner(messages.Reporter());
    EXPECT_EQ(tuner.queueLimit, 940u);
    StartTuner(tuner, 3, 4, kDriver.c_str(), 104857600);
    EXPECT_EQ(tuner.queueLimit, 104857600u);
    for (int i = 0; i < 200 && tuner.QueuedBytes() < 50 * 188; ++i)
        platform::SleepMs(5);
    EXPECT_EQ(tuner.QueuedBytes(), 50 * 188);
    StopTuner(tuner);
    EXPECT_EQ(tuner.queueLimit, 940u);
    EXPECT_EQ(tuner.QueuedBytes(), 0);
    EXPECT_EQ(tuner.module, nullptr);
    EXPECT_TRUE(tuner.dllPath.empty());
    EXPECT_FALSE(tuner.running);
    // Nothing to take once the reader has stopped, nor into no room.
    uint8_t buffer[188];
    EXPECT_EQ(tuner.Take(buffer, sizeof buffer), 0u);
    EXPECT_EQ(tuner.Take(nullptr, 188), 0u);
    EXPECT_EQ(messages.Text(), "");
    EXPECT_EQ(DriverCalls(), "OpenTuner\nSetChannel 3 4\nPurgeTsStream\nCloseTuner\nRelease\n");
}

TEST_F(TunerTest, TakeRespectsTheRoomAndKeepsTheRestInOrder) {
    SetEnv("BON_TEST_PACKETS", "20");
    MessageCapture messages(/*noProgress=*/true);
    TunerSource tuner(messages.Reporter());
    StartTuner(tuner, 0, 0, kDriver.c_str(), 1u << 20);
    for (int i = 0; i < 200 && tuner.QueuedBytes() < 20 * 188; ++i)
        platform::SleepMs(5);
    ASSERT_EQ(tuner.QueuedBytes(), 20 * 188);
    uint8_t buffer[20 * 188];
    EXPECT_EQ(tuner.Take(buffer, 100), 100u);
    EXPECT_EQ(tuner.QueuedBytes(), 20 * 188 - 100);
    EXPECT_EQ(tuner.Take(buffer + 100, sizeof buffer), 20u * 188u - 100u);
    for (uint32_t i = 0; i < 20; ++i)
        EXPECT_EQ(PacketIndex(buffer + i * 188), i);
    EXPECT_EQ(tuner.Take(buffer, sizeof buffer), 0u);
    StopTuner(tuner);
}

// A driver that hands over faster than the worker takes: the storage
// follows the backlog (no copies of it, no doubling beyond it) and is given
// back as the worker catches up, but for a few chunks kept for reuse.
TEST(TunerQueue, StorageFollowsTheBacklog) {
    TunerQueue queue;
    std::vector<uint8_t> chunk(18800);
    for (uint32_t i = 0; i < 1000; ++i) {
        for (uint32_t b = 0; b < chunk.size(); ++b)
            chunk[b] = static_cast<uint8_t>(i + b);
        ASSERT_TRUE(queue.Append(chunk.data(), static_cast<uint32_t>(chunk.size())));
        ASSERT_LE(queue.Capacity(), uint64_t{queue.Length()} + TunerQueue::kChunkBytes);
    }
    EXPECT_EQ(queue.Length(), 18800000u);
    std::vector<uint8_t> out(18800);
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(queue.TakeFront(out.data(), 18800), 18800u);
        ASSERT_EQ(out[0], static_cast<uint8_t>(i));
        ASSERT_EQ(out[18799], static_cast<uint8_t>(i + 18799));
    }
    EXPECT_EQ(queue.Length(), 0u);
    EXPECT_EQ(queue.Capacity(), uint64_t{TunerQueue::kSpareChunks + 1} * TunerQueue::kChunkBytes);
}

// Appends and takes of uneven sizes, through growth and compaction, give
// back exactly the bytes put in, in order.
TEST(TunerQueue, InterleavedAppendsAndTakesKeepTheByteOrder) {
    TunerQueue queue;
    std::deque<uint8_t> model;
    uint8_t next = 0;
    uint32_t seed = 12345;
    auto random = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    std::vector<uint8_t> buffer(70000);
    for (int step = 0; step < 1500; ++step) {
        if (random(3) != 0) {
            const uint32_t n = random(60000) + 1;
            for (uint32_t i = 0; i < n; ++i)
                buffer[i] = next++;
            ASSERT_TRUE(queue.Append(buffer.data(), n));
            model.insert(model.end(), buffer.begin(), buffer.begin() + n);
        } else {
            const uint32_t room = random(70000) + 1;
            const uint32_t moved = queue.TakeFront(buffer.data(), room);
            ASSERT_EQ(moved, std::min<std::size_t>(room, model.size()));
            for (uint32_t i = 0; i < moved; ++i) {
                ASSERT_EQ(buffer[i], model.front()) << "step " << step << " byte " << i;
                model.pop_front();
            }
        }
        ASSERT_EQ(queue.Length(), model.size());
    }
    EXPECT_EQ(queue.TakeFront(buffer.data(), 0), 0u);
    queue.Free();
    EXPECT_EQ(queue.Length(), 0u);
    EXPECT_EQ(queue.TakeFront(buffer.data(), 100), 0u);
}

// The worker copies from where the bytes lie, without the lock: the spans
// must name the queued bytes in order, across a chunk boundary, and stop at
// the room or the span count given.
TEST(TunerQueue, FrontSpansNameTheQueuedBytesInPlace) {
    constexpr uint32_t kChunk = TunerQueue::kChunkBytes;
    TunerQueue queue;
    std::vector<uint8_t> bytes(kChunk + 1000);
    for (uint32_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    ASSERT_TRUE(queue.Append(bytes.data(), static_cast<uint32_t>(bytes.size())));
    std::vector<uint8_t> out(500);
    ASSERT_EQ(queue.TakeFront(out.data(), 500), 500u);

    struct Case {
        uint32_t room;
        std::size_t maxSpans;
        std::vector<uint32_t> sizes;
    };
    const Case cases[] = {
        {UINT32_MAX, 8, {kChunk - 500, 1000}},
        {kChunk, 8, {kChunk - 500, 500}},
        {UINT32_MAX, 1, {kChunk - 500}},
        {100, 8, {100}},
        {0, 8, {}},
    };
    for (const Case& c : cases) {
        TunerQueue::Span spans[8];
        const uint32_t covered = queue.FrontSpans(c.room, spans, c.maxSpans);
        uint32_t offset = 500;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            ASSERT_EQ(spans[i].size, c.sizes[i]) << "room " << c.room << " span " << i;
            ASSERT_EQ(std::vector<uint8_t>(spans[i].data, spans[i].data + spans[i].size),
                      std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + c.sizes[i]));
            offset += c.sizes[i];
        }
        EXPECT_EQ(covered, offset - 500) << "room " << c.room;
        EXPECT_EQ(queue.Length(), kChunk + 500);  // looking takes nothing
    }

    queue.DropFront(kChunk - 490);  // into the second chunk
    EXPECT_EQ(queue.Length(), 990u);
    EXPECT_EQ(queue.Capacity(), uint64_t{2} * kChunk);  // the first chunk kept for reuse
    ASSERT_EQ(queue.TakeFront(out.data(), 500), 500u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()),
              std::vector<uint8_t>(bytes.begin() + kChunk + 10, bytes.begin() + kChunk + 510));
}

// The worker reads the queued bytes where the reader thread put them: a
// lend within a chunk continues right behind the kept bytes, a lend from
// the next chunk carries them over in front, and a chunk lent out whole
// comes back with the following lend.
TEST(TunerQueue, LendsInPlaceAndCarriesTheKeptBytesAcrossChunks) {
    constexpr uint32_t kChunk = TunerQueue::kChunkBytes;
    TunerQueue queue;
    std::vector<uint8_t> bytes(kChunk + 3000);
    for (uint32_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + i / 256);
    const auto expect = [&bytes](const uint8_t* data, uint32_t length, uint32_t from) {
        ASSERT_EQ(std::vector<uint8_t>(data, data + length),
                  std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + length));
    };
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    EXPECT_FALSE(queue.Lend(nullptr, 0, data, length));

    ASSERT_TRUE(queue.Append(bytes.data(), 1000));
    ASSERT_TRUE(queue.Lend(nullptr, 0, data, length));
    EXPECT_EQ(length, 1000u);
    expect(data, length, 0);
    EXPECT_EQ(queue.Length(), 0u);
    EXPECT_FALSE(queue.Lend(data + 900, 100, data, length));  // nothing new: the loan stays

    ASSERT_TRUE(queue.Append(bytes.data() + 1000, kChunk + 2000));
    const uint8_t* first = data;
    ASSERT_TRUE(queue.Lend(data + 900, 100, data, length));  // the rest of the first chunk
    EXPECT_EQ(data, first + 900);                            // no copy
    EXPECT_EQ(length, 100u + kChunk - 1000);
    expect(data, length, 900);

    ASSERT_TRUE(queue.Lend(data + length - 150, 150, data, length));  // the second chunk
    EXPECT_EQ(length, 150u + 3000);
    expect(data, length, kChunk - 150);
    EXPECT_EQ(queue.Length(), 0u);
    EXPECT_EQ(queue.Capacity(), uint64_t{2} * kChunk);  // the first chunk back for reuse
}

TEST_F(TunerTest, WorkerWaitEndsWhenDataArrivesAndTimesOutWhenIdle) {
    SetEnv("BON_TEST_PACKETS", "10");
    MessageCapture messages(/*noProgress=*/true);
    TunerSource tuner(messages.Reporter());
    StartTuner(tuner, 0, 0, kDriver.c_str(), 1u << 20);
    const uint32_t start = platform::TickCount();
    EXPECT_TRUE(WaitForTunerData(tuner, 5000));
    EXPECT_LT(platform::TickCount() - start, 2000u);
    std::vector<uint8_t> all = TakeAtLeast(tuner, 10 * 188);
    ASSERT_EQ(all.size(), 10u * 188u);
    // The driver has nothing more: the wait lasts its time and says so.
    const uint32_t idleStart = platform::TickCount();
    EXPECT_FALSE(WaitForTunerData(tuner, 60));
    EXPECT_GE(platform::TickCount() - idleStart, 50u);
    StopTuner(tuner);
}

}  // namespace
