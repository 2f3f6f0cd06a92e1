#include "platform/wildcard.h"

#include <cstring>

namespace platform {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool MatchesWildcard(const char* pattern, const char* name) {
    if (pattern == nullptr || name == nullptr) return false;
    if (std::strcmp(pattern, "*.*") == 0) return true;
    // Iterative matcher with one back-track point: linear enough for file
    // names and free of recursion depth concerns.
    const char* p = pattern;
    const char* n = name;
    const char* starP = nullptr;
    const char* starN = nullptr;
    while (*n != '\0') {
        if (*p == '*') {
            starP = ++p;
            starN = n;
        } else if (*p == '?' || (*p != '\0' && Lower(*p) == Lower(*n))) {
            ++p;
            ++n;
        } else if (starP != nullptr) {
            p = starP;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (*p == '*')
        ++p;
    return *p == '\0';
}

}  // namespace platform
