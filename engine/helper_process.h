#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// Runs exe without a console window, in exe's own folder, with args (already quoted) after the
// quoted program name, and returns its exit code. Raises "Run Windows helper" when it cannot
// start, and "Windows helper timed out" after killing it when it outlives timeoutMs.
DWORD command(const std::filesystem::path& exe, const std::wstring& args, DWORD timeoutMs);
