#pragma once
#include "caption/caption.h"
#include "engine/stream_job.h"
