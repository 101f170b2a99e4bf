#pragma once

#include <windows.h>

#include <filesystem>

// Raises the product's own words when a file or folder could not be removed (error is the
// Windows error of the removal) because a program holds it open: the path, the program that
// Windows names as its holder (Restart Manager) or "another program" when it names none, and
// what to do. Returns for any other cause, which the caller reports as it stands.
void refuseIfInUse(const std::filesystem::path& item, DWORD error);

// Waits, for a few seconds at most, until no process other than this one runs a program from
// folder: a service that has reported its stop may leave workers that end a moment later. Raises
// "<folder> is in use by <programs> and could not be removed. Close <programs>, then try again."
// naming the programs of those still running then.
void waitForProgramsIn(const std::filesystem::path& folder);
