#pragma once
// Console and log messages. A Reporter decides where each message and
// progress text goes and keeps the console line's state; a ReportOutput takes
// the bytes: ProcessConsole for the process's console and log files.
#include "report/process_console.h"
#include "report/reporter.h"
