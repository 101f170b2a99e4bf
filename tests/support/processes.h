#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/handles.h"

// Running other Windows programs from a test and reading what they printed.

struct ProcessResult {
    DWORD exitCode = 0;
    std::string output; // standard output and standard error, in the order written
};

// Starts program with the given argument text (already quoted) and waits up to timeoutMs.
// A program that is still running then is killed and the test fails.
ProcessResult runProcess(const std::filesystem::path& program, const std::wstring& arguments,
                         DWORD timeoutMs = 60000);

// Runs the process that start creates from the given startup information (its standard output
// and error lead to a pipe; handles must be inherited), waits up to timeoutMs and collects what
// it printed. start returns the new process's handle.
ProcessResult captureOutput(const std::filesystem::path& program, DWORD timeoutMs,
                            const std::function<UniqueHandle(STARTUPINFOW&)>& start);

// The ids of the running processes whose program file is named image ("python.exe").
std::vector<DWORD> processesNamed(const wchar_t* image);

// The folder of the running test program; helper programs are built beside it.
std::filesystem::path testProgramFolder();
