#include "platform/process_state.h"

std::atomic<int32_t> StopRequested{0};
std::atomic<int32_t> StopReason{0};
char TempDir[kMaxPath] = {};
