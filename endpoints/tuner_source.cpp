// Tuner source: the driver library is loaded and driven from the reader
// thread; the worker only takes bytes from the queue.
#include "endpoints/tuner_source.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/limits.h"
#include "common/process_state.h"
#include "endpoints/driver_rtti.h"
#include "endpoints/endpoints.h"
#include "report/report.h"

namespace {

bool ProgressMessagesWanted() { return (ConsoleFlags.load() & kNoProgress) == 0; }

// Longest idle wait of the reader: data that arrives meanwhile waits no
// longer than this in the driver.
constexpr uint32_t kLongestIdleWaitMs = 20;
// A driver wait that comes back sooner than this without data has not
// waited; after kQuickWaitsTolerated such returns in a row the reader stops
// asking the driver and sleeps instead.
constexpr uint32_t kQuickWaitMs = 2;
constexpr int kQuickWaitsTolerated = 3;

}  // namespace

// How the reader waits while the driver has nothing.
struct IdleWait {
    bool driverWaits = true;  // WaitTsStream has been seen to really wait
    int quickReturns = 0;
    uint32_t sleepMs = 1;  // the back-off when it does not
};

bool TunerQueue::Append(const uint8_t* bytes, uint32_t count) {
    if (count == 0) return true;
    const uint32_t length = Length();
    if (count > UINT32_MAX - length) return false;
    if (capacity_ - end_ < count) {
        // Compacting is worth it only when at least half the storage is
        // already taken bytes; otherwise the storage doubles.
        if (start_ >= length && capacity_ - length >= count) {
            std::memmove(storage_.get(), storage_.get() + start_, length);
        } else {
            uint64_t grown = std::max<uint64_t>(uint64_t{capacity_} * 2, uint64_t{length} + count);
            grown = std::max<uint64_t>(grown, kTunerSlack);
            grown = std::min<uint64_t>(grown, UINT32_MAX);
            std::unique_ptr<uint8_t[]> larger(new (std::nothrow) uint8_t[grown]);
            if (!larger) return false;
            if (length > 0) std::memcpy(larger.get(), storage_.get() + start_, length);
            storage_ = std::move(larger);
            capacity_ = static_cast<uint32_t>(grown);
        }
        start_ = 0;
        end_ = length;
    }
    std::memcpy(storage_.get() + end_, bytes, count);
    end_ += count;
    return true;
}

uint32_t TunerQueue::TakeFront(uint8_t* dest, uint32_t room) {
    const uint32_t moved = std::min(Length(), room);
    if (moved == 0) return 0;
    std::memcpy(dest, storage_.get() + start_, moved);
    start_ += moved;
    if (start_ == end_) start_ = end_ = 0;
    return moved;
}

void TunerQueue::Free() {
    storage_.reset();
    capacity_ = start_ = end_ = 0;
}

IBonDriver2* AsBonDriver2(IBonDriver* driver, [[maybe_unused]] void* module) {
    if (driver == nullptr) return nullptr;
#if defined(_WIN32)
    // GCC's dynamic_cast must not be applied to an MSVC object: read MSVC's
    // own type information instead. Drivers built by GCC (such as the test
    // driver) carry GCC type information, which the down-cast understands.
    ImageView image;
    if (!ImageFromModule(module, image)) return nullptr;
    uint64_t vtable = reinterpret_cast<uintptr_t>(*reinterpret_cast<void* const*>(driver));
    constexpr int kPointerSize = static_cast<int>(sizeof(void*));
    std::optional<bool> msvc = MsvcClassHasBase(image, vtable, kPointerSize, ".?AVIBonDriver2@@");
    if (msvc.has_value()) return *msvc ? static_cast<IBonDriver2*>(driver) : nullptr;
    if (LooksLikeGccTypeInfo(image, vtable, kPointerSize)) return dynamic_cast<IBonDriver2*>(driver);
    return nullptr;
#else
    return dynamic_cast<IBonDriver2*>(driver);
#endif
}

TunerSource::~TunerSource() {
    StopReader();
    Reset();
}

void TunerSource::LoadDriver() {
    if (module != nullptr || dllPath.empty() || !platform::PathExists(dllPath.c_str())) return;
    loaded = false;
    module = platform::OpenLibrary(dllPath.c_str());
    if (module == nullptr) return;
    create = reinterpret_cast<CreateBonDriverFn>(platform::FindSymbol(module, "CreateBonDriver"));
    if (create != nullptr) {
        loaded = true;
    } else {
        UnloadDriver();
    }
}

void TunerSource::UnloadDriver() {
    Close();
    loaded = false;
    tunerOpen = false;
    if (module != nullptr) platform::CloseLibrary(module);
    module = nullptr;
    create = nullptr;
}

bool TunerSource::Open() {
    if (!dllPath.empty() && platform::PathExists(dllPath.c_str())) {
        Close();
        if (!loaded) LoadDriver();
        if (loaded && driver == nullptr) {
            driver = create();
            driver2 = AsBonDriver2(driver, module);
        }
        if (driver != nullptr && !tunerOpen) {
            tunerOpen = driver->OpenTuner() != 0;
            if (tunerOpen && driver2 != nullptr) {
                driver2->SetChannel(space, channel);
                driver2->PurgeTsStream();
            }
        }
        if (!tunerOpen && driver != nullptr && loaded) Close();
    }
    // The word tells whether the library and its factory were found, not
    // whether the tuner opened.
    if (ProgressMessagesWanted()) {
        PrintMessage(static_cast<int32_t>(dllPath.size()) + 260, "－ BonDriverチューナー 開始%s %s\n",
                     loaded ? "成功" : "失敗", dllPath.c_str());
    }
    return loaded;
}

void TunerSource::Close() {
    if (!loaded || driver == nullptr) return;
    if (tunerOpen) driver->CloseTuner();
    driver->Release();
    driver = nullptr;
    driver2 = nullptr;
    tunerOpen = false;
    if (ProgressMessagesWanted()) {
        PrintMessage(static_cast<int32_t>(dllPath.size()) + 260, "－ BonDriverチューナー 終了 %s\n", dllPath.c_str());
    }
}

void TunerSource::Reset() {
    UnloadDriver();
    loaded = false;
    tunerOpen = false;
    dllPath.clear();
    driver = nullptr;
    driver2 = nullptr;
    space = 0;
    channel = 0;
    running = false;
    queueLimit = kDefaultTunerQueueLimit;
    std::lock_guard lock(queueLock_);
    queue_.Free();
}

int TunerSource::StartReader() {
    StopReader();
    running = true;
    thread_ = platform::StartThread(&TunerSource::ReaderMain, this);
    if (!thread_) {
        running = false;
        return 1;
    }
    return 0;
}

void TunerSource::StopReader() {
    running = false;
    if (thread_) platform::JoinThread(thread_);
    thread_ = {};
}

uint32_t TunerSource::ReaderMain(void* self) {
    auto* tuner = static_cast<TunerSource*>(self);
    tuner->Open();
    if (tuner->loaded && tuner->tunerOpen && tuner->driver != nullptr && tuner->driver2 != nullptr) {
        tuner->ReadLoop();
    }
    tuner->Close();
    return 0;
}

void TunerSource::ReadLoop() {
    driver2->PurgeTsStream();
    IdleWait idle;
    while (running && StopRequested.load() == 0) {
        BonByte* bytes = nullptr;
        BonDword count = 0;
        BonDword remain = 0;
        if (driver->GetTsStream(&bytes, &count, &remain) == 0 || bytes == nullptr || count == 0) {
            WaitForDriver(idle);
            continue;
        }
        idle.sleepMs = 1;
        AppendFetched(bytes, count);
    }
    driver2->PurgeTsStream();
}

// Nothing ready: wait in the driver where its wait works, else sleep with a
// growing back-off, so an idle tuner costs next to no processor time.
void TunerSource::WaitForDriver(IdleWait& idle) {
    if (idle.driverWaits) {
        const uint32_t start = platform::TickCount();
        driver->WaitTsStream(kLongestIdleWaitMs);
        if (platform::TickCount() - start >= kQuickWaitMs) {
            idle.quickReturns = 0;
            return;
        }
        if (++idle.quickReturns < kQuickWaitsTolerated) return;
        idle.driverWaits = false;
    }
    platform::SleepMs(idle.sleepMs);
    idle.sleepMs = std::min(idle.sleepMs * 2, kLongestIdleWaitMs);
}

void TunerSource::AppendFetched(const uint8_t* bytes, uint32_t count) {
    {
        std::lock_guard lock(queueLock_);
        if (queue_.Length() < queueLimit && queue_.Append(bytes, count)) {
            queueFilled_.notify_one();
            return;
        }
    }
    // The worker is behind: what the driver holds and the block just
    // fetched are thrown away.
    driver2->PurgeTsStream();
}

uint32_t TunerSource::Take(uint8_t* dest, uint32_t room) {
    if (dest == nullptr || room == 0) return 0;
    std::lock_guard lock(queueLock_);
    if (!running) return 0;
    return queue_.TakeFront(dest, room);
}

int32_t TunerSource::QueuedBytes() {
    std::lock_guard lock(queueLock_);
    return static_cast<int32_t>(queue_.Length());
}

bool TunerSource::WaitForData(uint32_t ms) {
    std::unique_lock lock(queueLock_);
    return queueFilled_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return queue_.Length() > 0; });
}

// ---- The worker's entry points ----------------------------------------------

TunerSource* CreateTunerSource() { return new TunerSource; }

void DestroyTunerSource(TunerSource* tuner) { delete tuner; }

void StartTuner(TunerSource& tuner, uint32_t space, uint32_t channel, const char* driverPath, uint32_t queueLimit) {
    tuner.StopReader();
    tuner.space = space;
    tuner.channel = channel;
    tuner.dllPath = driverPath != nullptr ? driverPath : "";
    tuner.queueLimit = queueLimit;
    tuner.StartReader();
}

uint32_t TakeFromTuner(TunerSource& tuner, uint8_t* dest, uint32_t room) { return tuner.Take(dest, room); }

bool WaitForTunerData(TunerSource& tuner, uint32_t ms) { return tuner.WaitForData(ms); }

void StopTuner(TunerSource& tuner) {
    tuner.StopReader();
    // The reader has closed and released the driver already; this frees the
    // library and clears the context.
    tuner.Reset();
}
