#pragma once
#include <cstdint>

// Calendar date and time of day, laid out like the Windows SYSTEMTIME.
// Elapsed times use it with the date fields at 0 and an unbounded hour.
struct DateTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t dayOfWeek = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t millisecond = 0;
};
