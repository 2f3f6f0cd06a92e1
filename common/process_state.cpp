#include "common/process_state.h"

char ProgramName[kMaxPath] = {};
