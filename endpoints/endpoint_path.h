#pragma once
// How a job's source and sink paths are read: the console, a named pipe, a
// tuner, the network sender or a file, with the parts each of them needs.
// Only the text decides; whether a file exists is for whoever opens it.
#include <cstdint>
#include <string>

// Where the packets come from. A file, the console and a pipe end at the end
// of their input; the tuner may always deliver more later.
enum class SourceKind { Unusable, File, Console, Pipe, Tuner };

enum class SinkKind { None, File, Console, Sender };

inline constexpr char kConsolePath[] = "CON";
inline constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
inline constexpr char kTunerPrefix[] = "\\\\.\\bondriver\\";
inline constexpr char kSenderPrefix[] = "\\\\.\\sendtstcp\\";

struct SourcePath {
    SourceKind kind = SourceKind::Unusable;
    std::string path;        // before the first ";": what is opened
    std::string offsetText;  // after it: a file's start offset
    // A tuner's fields between the backslashes after the prefix: space,
    // channel, then the driver path (which may hold backslashes itself).
    std::string spaceText;
    std::string channelText;
    std::string driver;
    // Begins like a device name ("CON" included, so "CONTENT.ts" too): the
    // job does not check such a name as a file, though it is read as one.
    bool deviceLike = false;
};

struct SinkPath {
    SinkKind kind = SinkKind::None;
    std::string path;
    std::string address;  // a sender's destinations, before the first backslash
    std::string library;  // a sender's library path, after it
};

SourcePath ParseSourcePath(const std::string& text);
SinkPath ParseSinkPath(const std::string& text);
