// Everything an engine source may include.
#include "caption/caption.h"
#include "common/text.h"
#include "endpoints/endpoints.h"
#include "engine/stream_job.h"
#include "platform/platform.h"
#include "report/report.h"
#include "step.h"
#include "tables/stream_context.h"
#include <gtest/gtest.h>
