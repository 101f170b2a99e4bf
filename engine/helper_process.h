#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// What a helper program left behind: its exit code, and the end of what it wrote.
struct HelperResult {
    DWORD exitCode = 1;
    std::string output; // the last bytes of its standard output and error together, as written
};

// Runs exe without a console window, in exe's own folder, with args (already quoted) after the
// quoted program name, and returns its exit code and what it wrote. The helper runs inside a job
// that ends it, and anything it starts, when this process ends, however it ends: a setup that is
// killed leaves no helper running its files. Raises "Run Windows helper" when it cannot start,
// and "Windows helper timed out" after killing it when it outlives timeoutMs.
HelperResult command(const std::filesystem::path& exe, const std::wstring& args, DWORD timeoutMs);
