#pragma once
#include "platform/path_limits.h"

// Growth slack of the byte buffers, by use.
constexpr int kTextSlack = 260;
constexpr int kSectionSlack = 940;
constexpr int kTunerSlack = 9400;
