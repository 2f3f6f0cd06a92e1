#include "tables/stream_context.h"
