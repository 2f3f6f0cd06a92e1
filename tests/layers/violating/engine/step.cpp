#include "app/app_internal.h"
#include "tables/stream_context.h"
  #  include "tests/support/stream_builder.h"
