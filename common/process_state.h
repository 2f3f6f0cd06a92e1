#pragma once
#include "common/limits.h"
#include "platform/process_state.h"

// Start-up value kept for the program's messages and file names.
extern char ProgramName[kMaxPath];  // executable base name, no extension
