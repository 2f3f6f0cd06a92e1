#include "app/run_settings.h"

RunSettingsRecord RunSettings;

// Placeholder definitions; the front end follows.
void StartUp() {}
void ShutDown() {}
bool ConsoleControlHandler(uint32_t) { return false; }
bool ParseCommandLine(int, char**, ByteBuffer&) { return true; }
int32_t RunMain(int, char**) { return 0; }
