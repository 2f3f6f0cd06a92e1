#pragma once
// The program's version resource entries. The Windows build carries them in
// its resource (app/trelvan.rc includes this header); POSIX serves the same
// strings from here, so both builds print identical -detail lines.
#define TRELVAN_COMPANY_NAME "trelvan"
#define TRELVAN_COMMENTS "trelvan transport stream pass-through; questions and bug reports: see README.md"
#define TRELVAN_VERSION_TEXT "0.1.0.0"
#define TRELVAN_VERSION_NUMBERS 0, 1, 0, 0
