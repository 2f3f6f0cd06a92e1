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
#include "report/reporter.h"

namespace {

// Longest idle wait of the reader: data that arrives meanwhile waits no
// longer than this in the driver.
constexpr uint32_t kLongestIdleWaitMs = 20;
// A driver wait that comes back sooner than this without data has not
// waited; after kQuickWaitsTolerated such returns in a row, with no data
// between them, the reader stops asking the driver and sleeps instead.
constexpr uint32_t kQuickWaitMs = 2;
constexpr int kQuickWaitsTolerated = 3;
constexpr uint32_t kTakeSliceBytes = 4u * 1024u * 1024u;
// How long a full queue keeps the reader from fetching: a worker that is
// merely descheduled for a while on a busy machine catches up meanwhile,
// and a driver holds far more than this much of a live stream.
constexpr uint32_t kFullQueueWaitMs = 100;

}  // namespace

// How the reader waits while the driver has nothing.
struct IdleWait {
    bool driverWaits = true;  // WaitTsStream has been seen to really wait
    int quickReturns = 0;
    uint32_t sleepMs = 1;  // the back-off when it does not
};

TunerQueue::Chunk TunerQueue::NewChunk() {
    if (!spare_.empty()) {
        Chunk chunk = std::move(spare_.back());
        spare_.pop_back();
        return chunk;
    }
    return Chunk(new (std::nothrow) uint8_t[kLendKeepMost + kChunkBytes]);
}

void TunerQueue::Recycle(Chunk chunk) {
    if (spare_.size() < kSpareChunks) spare_.push_back(std::move(chunk));
}

bool TunerQueue::Append(const uint8_t* bytes, uint32_t count) {
    if (count == 0) return true;
    if (count > UINT32_MAX - length_) return false;
    // Storage first, so that a failure leaves the queue as it was.
    const uint32_t room = chunks_.empty() ? 0 : kChunkBytes - tail_;
    std::vector<Chunk> fresh;
    for (uint64_t have = room; have < count; have += kChunkBytes) {
        Chunk chunk = NewChunk();
        if (!chunk) {
            for (Chunk& c : fresh)
                Recycle(std::move(c));
            return false;
        }
        fresh.push_back(std::move(chunk));
    }
    if (chunks_.empty()) tail_ = kChunkBytes;  // so the first fresh chunk is taken at once
    std::size_t next = 0;
    uint32_t done = 0;
    while (done < count) {
        if (tail_ == kChunkBytes) {
            chunks_.push_back(std::move(fresh[next++]));
            tail_ = 0;
        }
        const uint32_t n = std::min(count - done, kChunkBytes - tail_);
        std::memcpy(Bytes(chunks_.back()) + tail_, bytes + done, n);
        tail_ += n;
        done += n;
    }
    length_ += count;
    return true;
}

uint32_t TunerQueue::FrontSpans(uint32_t room, Span* spans, std::size_t maxSpans) const {
    const uint32_t wanted = std::min(length_, room);
    uint32_t covered = 0;
    uint32_t offset = head_;
    for (std::size_t i = 0; i < chunks_.size() && i < maxSpans && covered < wanted; ++i) {
        const uint32_t chunkEnd = i + 1 == chunks_.size() ? tail_ : kChunkBytes;
        const uint32_t n = std::min(wanted - covered, chunkEnd - offset);
        spans[i] = Span{Bytes(chunks_[i]) + offset, n};
        covered += n;
        offset = 0;
    }
    return covered;
}

void TunerQueue::DropFront(uint32_t count) {
    count = std::min(count, length_);
    uint32_t done = 0;
    while (done < count) {
        const uint32_t chunkEnd = chunks_.size() == 1 ? tail_ : kChunkBytes;
        const uint32_t n = std::min(count - done, chunkEnd - head_);
        head_ += n;
        done += n;
        if (head_ == chunkEnd && chunks_.size() > 1) {
            Recycle(std::move(chunks_.front()));
            chunks_.pop_front();
            head_ = 0;
        }
    }
    length_ -= count;
    if (length_ == 0) head_ = tail_ = 0;  // the one chunk left starts over
}

uint32_t TunerQueue::TakeFront(uint8_t* dest, uint32_t room) {
    constexpr std::size_t kMaxSpans = 8;
    Span spans[kMaxSpans];
    const uint32_t moved = FrontSpans(room, spans, kMaxSpans);
    uint32_t done = 0;
    for (std::size_t i = 0; done < moved; ++i) {
        std::memcpy(dest + done, spans[i].data, spans[i].size);
        done += spans[i].size;
    }
    DropFront(moved);
    return moved;
}

bool TunerQueue::Lend(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data, uint32_t& length) {
    if (length_ == 0) return false;
    keep = std::min(keep, kLendKeepMost);
    const uint32_t end = chunks_.size() == 1 ? tail_ : kChunkBytes;
    uint8_t* const start = Bytes(chunks_.front()) + head_;
    // Within one chunk the kept bytes already lie right before the new ones.
    if (keep > 0 && start - keep != keepFrom) std::memmove(start - keep, keepFrom, keep);
    for (Chunk& chunk : lent_)
        Recycle(std::move(chunk));
    lent_.clear();
    data = start - keep;
    length = keep + (end - head_);
    length_ -= end - head_;
    head_ = end;
    if (head_ == kChunkBytes) {
        // The reader goes on in a fresh chunk; this one stays lent.
        lent_.push_back(std::move(chunks_.front()));
        chunks_.pop_front();
        head_ = 0;
    }
    return true;
}

void TunerQueue::Free() {
    chunks_.clear();
    spare_.clear();
    lent_.clear();
    head_ = tail_ = length_ = 0;
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
    if (reporter_.ProgressOn()) {
        reporter_.PrintMessage(static_cast<int32_t>(dllPath.size()) + 260, "－ BonDriverチューナー 開始%s %s\n",
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
    if (reporter_.ProgressOn()) {
        reporter_.PrintMessage(static_cast<int32_t>(dllPath.size()) + 260, "－ BonDriverチューナー 終了 %s\n",
                               dllPath.c_str());
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
    openFailed = false;
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
        tuner->Close();
        return 0;
    }
    // Released before the notice, so that the driver's own end message
    // keeps its place after the start message.
    tuner->Close();
    tuner->reporter_.PrintNotice(static_cast<int32_t>(tuner->dllPath.size()) + 260,
                                 "－ BonDriverチューナーを開けません %s\n", tuner->dllPath.c_str());
    tuner->openFailed = true;
    return 0;
}

void TunerSource::ReadLoop() {
    driver2->PurgeTsStream();
    IdleWait idle;
    while (running && StopRequested.load() == 0) {
        WaitForRoom();
        BonByte* bytes = nullptr;
        BonDword count = 0;
        BonDword remain = 0;
        if (driver->GetTsStream(&bytes, &count, &remain) == 0 || bytes == nullptr || count == 0) {
            WaitForDriver(idle);
            continue;
        }
        // Data after a quick return means the driver's wait did its job.
        idle.quickReturns = 0;
        idle.sleepMs = 1;
        AppendFetched(bytes, count);
    }
    driver2->PurgeTsStream();
}

// A full queue throws away what is fetched next. A driver that hands over
// faster than the worker takes would lose most of a stream that way, though
// the worker keeps going: while the queue is full, the driver's bytes are
// left in the driver for a while, so that the worker may make room first.
void TunerSource::WaitForRoom() {
    std::unique_lock lock(queueLock_);
    if (queue_.Length() < queueLimit) return;
    queueDrained_.wait_for(lock, std::chrono::milliseconds(kFullQueueWaitMs),
                           [this] { return queue_.Length() < queueLimit || !running; });
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
    constexpr std::size_t kMaxSpans = kTakeSliceBytes / TunerQueue::kChunkBytes + 1;
    TunerQueue::Span spans[kMaxSpans];
    uint32_t found = 0;
    {
        std::lock_guard lock(queueLock_);
        if (!running) return 0;
        found = queue_.FrontSpans(std::min(room, kTakeSliceBytes), spans, kMaxSpans);
    }
    // The copy runs without the lock: the reader appends behind these bytes
    // meanwhile instead of waiting for them, and only this thread takes.
    uint32_t done = 0;
    for (std::size_t i = 0; done < found; ++i) {
        std::memcpy(dest + done, spans[i].data, spans[i].size);
        done += spans[i].size;
    }
    {
        std::lock_guard lock(queueLock_);
        queue_.DropFront(found);
    }
    if (found > 0) queueDrained_.notify_one();
    return found;
}

bool TunerSource::Lend(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data, uint32_t& length) {
    bool lent = false;
    {
        std::lock_guard lock(queueLock_);
        if (!running) return false;
        lent = queue_.Lend(keepFrom, keep, data, length);
    }
    if (lent) queueDrained_.notify_one();
    return lent;
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

TunerSource* CreateTunerSource(Reporter& reporter) {
    return new TunerSource(reporter);
}

void DestroyTunerSource(TunerSource* tuner) {
    delete tuner;
}

bool TunerFailedToOpen(const TunerSource& tuner) {
    return tuner.openFailed.load();
}

void StartTuner(TunerSource& tuner, uint32_t space, uint32_t channel, const char* driverPath, uint32_t queueLimit) {
    tuner.StopReader();
    tuner.space = space;
    tuner.channel = channel;
    tuner.dllPath = driverPath != nullptr ? driverPath : "";
    tuner.queueLimit = queueLimit;
    tuner.StartReader();
}

uint32_t TakeFromTuner(TunerSource& tuner, uint8_t* dest, uint32_t room) {
    return tuner.Take(dest, room);
}

bool LendFromTuner(TunerSource& tuner, const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data, uint32_t& length) {
    return tuner.Lend(keepFrom, keep, data, length);
}

bool WaitForTunerData(TunerSource& tuner, uint32_t ms) {
    return tuner.WaitForData(ms);
}

void StopTuner(TunerSource& tuner) {
    tuner.StopReader();
    // The reader has closed and released the driver already; this frees the
    // library and clears the context.
    tuner.Reset();
}
