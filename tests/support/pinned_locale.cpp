// Console and log text follow the locale. The tests expect code page 932
// bytes unless a test asks for UTF-8 itself, whatever locale the machine
// running them has; programs the tests start inherit the same setting.
#include <cstdlib>

namespace {

const bool kLocalePinned = [] {
#ifdef _WIN32
    _putenv("LC_ALL=C");
    _putenv("TRELVAN_CHARSET=");
#else
    setenv("LC_ALL", "C", 1);
    unsetenv("TRELVAN_CHARSET");
#endif
    return true;
}();

}  // namespace
