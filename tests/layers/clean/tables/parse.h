#pragma once
#include "caption/caption.h"
#include "common/limits.h"
#include "platform/date_time.h"
// #include "engine/stream_job.h" is not an include line while commented out.
