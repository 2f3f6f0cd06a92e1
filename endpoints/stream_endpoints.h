#pragma once
// The two ends of a stream job behind two small interfaces: a source hands
// out blocks of bytes, a sink takes blocks of whole packets. Each kind owns
// its handle, tuner or sender instance and gives it up when destroyed.
#include <cstdint>
#include <string>

#include "platform/platform.h"

class Reporter;

class TunerSource;

enum class BlockStatus {
    Data,        // bytes arrived
    NothingNow,  // nothing at the moment; more may come later
    Ended,       // the end of the input, or a read that cannot go on
};

// The most unread bytes a reader carries from one lent block into the next:
// less than two units of 192 bytes are ever undecided.
inline constexpr uint32_t kLendKeepMost = 4096;

class PacketSource {
public:
    virtual ~PacketSource() = default;
    virtual bool IsOpen() const = 0;
    // Reads up to `room` bytes into dest; `got` is how many arrived.
    virtual BlockStatus ReadBlock(uint8_t* dest, uint32_t room, uint32_t& got) = 0;
    // A source that holds what it delivers in storage of its own lends it
    // instead of copying it out: LendBlock hands over the next bytes in place,
    // led by the `keep` (at most kLendKeepMost) bytes at `keepFrom`, the
    // caller's unread ones, and takes back the block lent before. NothingNow
    // leaves that block with the caller.
    virtual bool LendsBlocks() const { return false; }
    virtual BlockStatus LendBlock(const uint8_t* /*keepFrom*/, uint32_t /*keep*/, const uint8_t*& /*data*/,
                                  uint32_t& /*length*/) {
        return BlockStatus::Ended;
    }
    // Nothing came: waits a moment before the next read is worth trying.
    virtual void WaitIdle() = 0;
    virtual void Close() = 0;
    // The source was opened but could never deliver (a tuner that did not
    // open); its reads have ended.
    virtual bool FailedToStart() const { return false; }
};

// A file, the console or a pipe: a platform handle read with a short wait.
class HandleSource : public PacketSource {
public:
    HandleSource() = default;
    explicit HandleSource(platform::FileHandle handle) : handle_(handle) {}
    ~HandleSource() override { Close(); }
    HandleSource(const HandleSource&) = delete;
    HandleSource& operator=(const HandleSource&) = delete;

    bool IsOpen() const override { return handle_ != platform::kInvalidFile; }
    BlockStatus ReadBlock(uint8_t* dest, uint32_t room, uint32_t& got) override;
    void WaitIdle() override;
    void Close() override;

protected:
    platform::FileHandle handle_ = platform::kInvalidFile;
};

class FileSource : public HandleSource {
public:
    using HandleSource::HandleSource;
    // False when the path names nothing or cannot be opened for reading.
    bool Open(const std::string& path);
    int64_t Size() const;
    // Moves to the start offset (negative: counted from the end, -1 being
    // the end itself) and returns where reading starts.
    int64_t StartAt(int64_t offset);
};

class ConsoleSource : public HandleSource {
public:
    ConsoleSource() : HandleSource(platform::StandardInput()) {}
};

class PipeSource : public HandleSource {
public:
    // Waits up to five seconds for the pipe to appear, unless a stop is
    // requested first.
    bool Open(const std::string& path);
};

class TunerDriverSource : public PacketSource {
public:
    // The driver's messages go to `reporter`.
    explicit TunerDriverSource(Reporter& reporter) : reporter_(reporter) {}
    ~TunerDriverSource() override;
    TunerDriverSource(const TunerDriverSource&) = delete;
    TunerDriverSource& operator=(const TunerDriverSource&) = delete;

    // Starts the driver's reader thread with a queue of at most `queueLimit`
    // bytes; prints the driver's own start message.
    bool Open(uint32_t space, uint32_t channel, const std::string& driver, uint32_t queueLimit);
    bool IsOpen() const override { return tuner_ != nullptr; }
    BlockStatus ReadBlock(uint8_t* dest, uint32_t room, uint32_t& got) override;
    // The queued bytes are lent where the reader thread put them.
    bool LendsBlocks() const override { return tuner_ != nullptr; }
    BlockStatus LendBlock(const uint8_t* keepFrom, uint32_t keep, const uint8_t*& data, uint32_t& length) override;
    void WaitIdle() override;
    // Stops the reader and releases the driver; the object stays until the
    // source is destroyed.
    void Close() override;
    bool FailedToStart() const override;

private:
    Reporter& reporter_;
    TunerSource* tuner_ = nullptr;
    bool started_ = false;
};

class PacketSink {
public:
    virtual ~PacketSink() = default;
    virtual bool IsOpen() const = 0;
    // Whether a block handed over now goes anywhere.
    virtual bool TakesBlocks() const = 0;
    // Hands over `size` bytes that begin on a packet boundary; returns how
    // many the sink kept.
    virtual uint32_t WriteBlock(const uint8_t* data, uint32_t size) = 0;
    // A write failed: the sink takes nothing more.
    virtual bool Failed() const { return false; }
    virtual void Close() = 0;
};

// A file or standard output. A failed or short write leaves the file ending
// with its last whole packet (a torn one is cut off) and fails the sink: a
// later write that succeeded again would leave a silent gap inside it.
class HandleSink : public PacketSink {
public:
    HandleSink() = default;
    explicit HandleSink(platform::FileHandle handle) : handle_(handle) {}
    ~HandleSink() override { Close(); }
    HandleSink(const HandleSink&) = delete;
    HandleSink& operator=(const HandleSink&) = delete;

    bool IsOpen() const override { return handle_ != platform::kInvalidFile; }
    bool TakesBlocks() const override { return IsOpen() && !failed_; }
    uint32_t WriteBlock(const uint8_t* data, uint32_t size) override;
    bool Failed() const override { return failed_; }
    void Close() override;

protected:
    platform::FileHandle handle_ = platform::kInvalidFile;
    bool failed_ = false;
};

class FileSink : public HandleSink {
public:
    using HandleSink::HandleSink;
    // Creates or truncates the file; false when it cannot be.
    bool Open(const std::string& path);
};

class ConsoleSink : public HandleSink {
public:
    ConsoleSink() : HandleSink(platform::StandardOutput()) {}
};

// The network sender: blocks go to the loaded library's instance.
class SenderStreamSink : public PacketSink {
public:
    // The sender's start and stop messages go to `reporter`.
    explicit SenderStreamSink(Reporter& reporter) : reporter_(reporter) {}
    ~SenderStreamSink() override { Close(); }
    SenderStreamSink(const SenderStreamSink&) = delete;
    SenderStreamSink& operator=(const SenderStreamSink&) = delete;

    // Loads the library (empty path: the default name) and starts sending to
    // the destinations; the sender prints its own start message.
    bool Open(const std::string& address, const std::string& library);
    bool IsOpen() const override { return id_ != -1; }
    bool TakesBlocks() const override;
    uint32_t WriteBlock(const uint8_t* data, uint32_t size) override;
    void Close() override;
    // No destination ever connected: nobody got the stream.
    bool Failed() const override { return nobodyReached_; }

private:
    Reporter& reporter_;
    int32_t id_ = -1;
    bool opened_ = false;
    bool nobodyReached_ = false;
};

// No output: the stream is read and reported only.
class NoSink : public PacketSink {
public:
    bool IsOpen() const override { return true; }
    bool TakesBlocks() const override { return false; }
    uint32_t WriteBlock(const uint8_t*, uint32_t) override { return 0; }
    void Close() override {}
};
