#pragma once

#include <cstdint>

#include "tests/shim/intercept.h"

// Windows refuses a path in the ordinary form whose full length reaches MAX_PATH (260
// characters), and a new folder's path that reaches MAX_PATH - 12, room for an 8.3 file name:
// the call fails with ERROR_FILENAME_EXCED_RANGE. Only the \\?\ form is taken as it stands. Wine
// accepts any length, so the shim refuses such paths in the file calls that the product makes,
// the C runtime's included.

struct PathLimit {
    std::uint32_t limit = 0;   // the shortest full path, in characters, that is refused
    std::uint64_t failure = 0; // what the refused call returns
    bool runtime = false;      // a C runtime function: errno becomes ENOENT, as msvcrt maps the error
    int paths = 1;             // how many leading arguments are paths
};

// Gives the limited functions their entries; always on, so it runs before the module is patched.
void installPathLimits();

// For an entry with a limit: true when one of the call's path arguments is too long for Windows.
// Then the refusal is recorded, the last error (and errno) set and *result holds the return value.
bool refusedForLength(const Entry& entry, const std::uint64_t* registers, std::uint64_t call,
                      std::uint64_t* result) noexcept;
