#pragma once
// File-name matching with the Windows wildcards, shared by both systems'
// directory search so that a pattern selects the same names everywhere.
namespace platform {

// '*' matches any run of characters (dots included), '?' exactly one;
// letters compare without regard to ASCII case, as on Windows. "*.*"
// matches every name, also those without a dot.
bool MatchesWildcard(const char* pattern, const char* name);

}  // namespace platform
