#include "app/app_internal.h"
#include "app/run_settings.h"
#include "tables/stream_context.h"
  #  include "tests/support/stream_builder.h"
