#pragma once
#include <cstdint>

#include "caption/arib_decoder.h"

struct CaptionLanguage {
    uint8_t tag = 0;
    uint8_t dmf = 0;
    uint8_t dc = 0;
    char code[4] = {};
    uint8_t format = 0;
    uint8_t tcs = 0;
    uint8_t rollupMode = 0;
};

struct CaptionManagement {
    uint8_t tmd = 0;
    uint64_t otm = 0;
    uint8_t languageCount = 0;
    CaptionLanguage languages[8];
    int32_t unitLoopStart = 0;
    uint32_t unitLoopLength = 0;
};

struct CaptionStatement {
    uint8_t tmd = 0;
    uint64_t stm = 0;
    int32_t unitLoopStart = 0;
    uint32_t unitLoopLength = 0;
};

// One caption PID of a stream, created when a PMT names it.
struct CaptionStream {
    uint16_t pid = 0;
    AribDecoder decoder;
    CaptionManagement management;
    uint8_t selectedGroup = 0;
    CaptionStatement statement;
};
