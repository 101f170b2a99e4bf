#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/handles.h"

// Processes that end with the process that started them, however it ends.

// A job that ends every process in it when its last handle closes: the system closes it when the
// process that holds it ends, a kill and a crash included. Raises "<step> (<code>)".
UniqueHandle killOnCloseJob(const char* step);

// What a process started by startInJob gets of this one.
struct JobStart {
    std::vector<HANDLE> inherited;   // inheritable handles that it inherits; it inherits no others
    HANDLE output = nullptr;         // its standard output and error (one of inherited), or none
    const wchar_t* folder = nullptr; // its current folder, or this process's
};

// Starts program, without a console window, with commandLine (which CreateProcessW may write
// into), inside job from its creation: a kill of this process at any moment leaves nothing of it
// running. Returns its process handle; it runs. Raises "<step> (<code>)" when it cannot start, or
// cannot be put into job, in which case it is ended without having run an instruction of its own.
UniqueHandle startInJob(HANDLE job, const std::filesystem::path& program, std::wstring& commandLine,
                        const JobStart& how, const char* step);
