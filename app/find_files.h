#pragma once
// Directory enumeration used by the shut-down clean-up.
#include <cstdint>

#include "common/limits.h"

// One match of FindFiles; heap-allocated, singly linked.
class CFindFileInfo {
public:
    CFindFileInfo() = default;
    virtual ~CFindFileInfo() = default;
    CFindFileInfo(const CFindFileInfo&) = delete;
    CFindFileInfo& operator=(const CFindFileInfo&) = delete;

    char path[kMaxPath] = {};    // directory, separator, file name
    uint64_t lastWriteTime = 0;  // FILETIME units
    uint64_t size = 0;
    int64_t reserved = -1;
    CFindFileInfo* next = nullptr;
};

// Prepends one entry per match of each ';'-separated pattern in `patterns`
// to `result` (so the list ends up in reverse order of discovery). With
// `recurse`, the subdirectories below `directory` are searched as well.
void FindFiles(const char* directory, const char* patterns, CFindFileInfo*& result, bool recurse,
               bool includeDirectories);
// Destroys every entry and sets the head to null.
void FreeFindList(CFindFileInfo*& list);
