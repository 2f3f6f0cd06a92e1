#include "app/run_settings.h"
#include "platform/platform.h"
#include "report/report.h"

#ifdef _WIN32
// The Windows shell hands wildcards to the program unexpanded; console tools
// there expand them themselves (`trelvan *.ts -drop`). This asks the C
// runtime's start-up code to do it; a pattern that matches nothing stays as
// it was typed.
extern "C" {
int _dowildcard = -1;
}
#endif

int main(int argc, char** argv) {
    // Before anything opens a file, a pipe or a thread's channel.
    platform::GuardStandardHandles();
    // Static: the console control handler may still reach it while the
    // process ends.
    static ProcessConsole console;
    static Reporter reporter(console);
    return RunMain(reporter, argc, argv);
}
