#pragma once

#include <filesystem>
#include <string>

// Owners of folders in ProgramData, which every user may create folders in. Wine keeps no owners,
// so tests have the test shim answer the owner queries (tests/shim/README.md).

// An account of another user: not Administrators, not the system.
inline constexpr char ANOTHER_USER[] = "S-1-5-21-1-2-3-1001";

// The console's own service account, NT SERVICE\QuellmarkConsole.
inline constexpr char CONSOLE_ACCOUNT[] = "S-1-5-80-124432312-2704839978-3306062568-2649889534-2070871445";

// The plan line by which the shim answers owner queries with sid: all of them, or with call the
// call-th alone.
inline std::string ownerAnswer(const std::string& sid, int call = 0)
{
    return "value GetNamedSecurityInfoW owner=" + sid + (call != 0 ? " call=" + std::to_string(call) : "") + "\n";
}

// The refusal of a folder that another account owns.
inline std::string ownedByAnotherAccount(const std::filesystem::path& folder)
{
    return "The folder " + folder.string() +
           " is owned by another account, not by Administrators or the system, so it cannot be trusted. Check who "
           "created it, then remove it or make Administrators its owner, and try again.";
}
