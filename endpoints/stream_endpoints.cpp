// Sources and sinks of a stream job.
#include "endpoints/stream_endpoints.h"

#include "common/process_state.h"
#include "endpoints/endpoints.h"

namespace {

// How long one read waits for a silent source before handing back, so that
// the reader can honour a stop request in between.
constexpr uint32_t kReadWaitMs = 200;
// Longest wait for a tuner that has nothing queued; the reader's append ends
// the wait at once, so this bounds only how late a stop is noticed.
constexpr uint32_t kTunerIdleWaitMs = 20;
constexpr uint32_t kPipeRetryMs = 333;
constexpr uint32_t kPipeWaitMs = 5000;
constexpr uint32_t kPacketBytes = 188;

}  // namespace

// ---- Sources -----------------------------------------------------------------

BlockStatus HandleSource::ReadBlock(uint8_t* dest, uint32_t room, uint32_t& got) {
    got = 0;
    if (!platform::WaitReadable(handle_, kReadWaitMs)) {
        return BlockStatus::NothingNow;
    }
    const platform::ReadResult result = platform::ReadFile(handle_, dest, room, got);
    if (got > room) {
        got = room;
    }
    if (result != platform::ReadResult::Ok && got == 0) {
        // The end of a file, of a pipe whose writer closed, of redirected or
        // terminal input; or a read that cannot go on.
        return BlockStatus::Ended;
    }
    return got == 0 ? BlockStatus::NothingNow : BlockStatus::Data;
}

void HandleSource::WaitIdle() {
    platform::SleepMs(1);
}

void HandleSource::Close() {
    if (handle_ != platform::kInvalidFile) {
        platform::CloseFile(handle_);
        handle_ = platform::kInvalidFile;
    }
}

bool FileSource::Open(const std::string& path) {
    Close();
    if (platform::PathExists(path.c_str())) {
        handle_ = platform::OpenRead(path.c_str());
    }
    return IsOpen();
}

int64_t FileSource::Size() const {
    return platform::FileSize(handle_);
}

int64_t FileSource::StartAt(int64_t offset) {
    int64_t position = 0;
    if (offset > 0) {
        position = platform::Seek(handle_, offset, platform::SeekFrom::Begin);
    } else if (offset < 0) {
        position = platform::Seek(handle_, offset + 1, platform::SeekFrom::End);
    }
    if (position < 0) {
        position = platform::Seek(handle_, 0, platform::SeekFrom::Current);
    }
    return position < 0 ? 0 : position;
}

bool PipeSource::Open(const std::string& path) {
    Close();
    const uint32_t start = platform::TickCount();
    handle_ = platform::OpenPipeRead(path.c_str());
    while (handle_ == platform::kInvalidFile && StopRequested.load() == 0 &&
           platform::TickCount() - start < kPipeWaitMs) {
        platform::PumpMessages();
        platform::SleepMs(kPipeRetryMs);
        handle_ = platform::OpenPipeRead(path.c_str());
    }
    return IsOpen();
}

TunerDriverSource::~TunerDriverSource() {
    Close();
    if (tuner_ != nullptr) {
        DestroyTunerSource(tuner_);
    }
}

bool TunerDriverSource::Open(uint32_t space, uint32_t channel, const std::string& driver, uint32_t queueLimit) {
    if (tuner_ == nullptr) {
        tuner_ = CreateTunerSource(reporter_);
    }
    if (tuner_ != nullptr) {
        StartTuner(*tuner_, space, channel, driver.c_str(), queueLimit);
        started_ = true;
    }
    return IsOpen();
}

BlockStatus TunerDriverSource::ReadBlock(uint8_t* dest, uint32_t room, uint32_t& got) {
    got = tuner_ != nullptr ? TakeFromTuner(*tuner_, dest, room) : 0;
    if (got > room) {
        got = room;
    }
    if (got == 0 && FailedToStart()) {
        return BlockStatus::Ended;
    }
    return got == 0 ? BlockStatus::NothingNow : BlockStatus::Data;
}

bool TunerDriverSource::FailedToStart() const {
    return tuner_ != nullptr && TunerFailedToOpen(*tuner_);
}

BlockStatus TunerDriverSource::LendBlock(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data,
                                         uint32_t& length) {
    if (tuner_ == nullptr || !LendFromTuner(*tuner_, keepFrom, keep, data, length)) {
        return FailedToStart() ? BlockStatus::Ended : BlockStatus::NothingNow;
    }
    return BlockStatus::Data;
}

void TunerDriverSource::WaitIdle() {
    if (tuner_ != nullptr) {
        WaitForTunerData(*tuner_, kTunerIdleWaitMs);
    } else {
        platform::SleepMs(1);
    }
}

void TunerDriverSource::Close() {
    if (tuner_ != nullptr && started_) {
        StopTuner(*tuner_);
        started_ = false;
    }
}

// ---- Sinks -------------------------------------------------------------------

namespace {

// Cuts a torn packet off the end of a file after a short write of `written`
// bytes from a block that began on a packet boundary. Returns the bytes taken
// back.
uint32_t KeepWholePackets(platform::FileHandle output, uint32_t written) {
    const uint32_t torn = written % kPacketBytes;
    if (torn == 0) {
        return 0;
    }
    const int64_t end = platform::Seek(output, 0, platform::SeekFrom::Current);
    // A pipe or device cannot be cut back; what went out stays out.
    if (end < static_cast<int64_t>(torn) || !platform::SetFileEnd(output, end - torn)) {
        return 0;
    }
    return torn;
}

}  // namespace

uint32_t HandleSink::WriteBlock(const uint8_t* data, uint32_t size) {
    if (!TakesBlocks()) {
        return 0;
    }
    uint32_t written = 0;
    const bool complete = platform::WriteWholeUnits(handle_, data, size, kPacketBytes, written);
    uint32_t kept = written > size ? size : written;
    if (!complete || kept < size) {
        failed_ = true;
        kept -= KeepWholePackets(handle_, kept);
    }
    return kept;
}

void HandleSink::Close() {
    if (handle_ != platform::kInvalidFile) {
        platform::CloseFile(handle_);
        handle_ = platform::kInvalidFile;
    }
}

bool FileSink::Open(const std::string& path) {
    Close();
    failed_ = false;
    handle_ = platform::CreateWrite(path.c_str());
    return IsOpen();
}

bool SenderStreamSink::Open(const std::string& address, const std::string& library) {
    Close();
    SetSenderLibraryPath(library.c_str());
    // An address that does not convert is passed on empty: the start then
    // fails with its own message, like any other unusable address.
    std::u16string wide;
    if (!platform::AnsiToUtf16(address, wide)) {
        wide.clear();
    }
    id_ = StartSender(reporter_, wide);
    opened_ = true;
    return IsOpen();
}

bool SenderStreamSink::TakesBlocks() const {
    return id_ != -1 && SenderHasDataEntry();
}

uint32_t SenderStreamSink::WriteBlock(const uint8_t* data, uint32_t size) {
    if (!TakesBlocks()) {
        return 0;
    }
    SenderSendData(id_, data, size);
    return size;
}

void SenderStreamSink::Close() {
    if (!opened_) {
        return;
    }
    StopSender(reporter_, id_);
    if (id_ != -1) {
        nobodyReached_ = !SenderReachedAnyone(reporter_, id_);
        SenderUninitialize(id_);
    }
    id_ = -1;
    opened_ = false;
}
