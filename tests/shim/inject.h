#pragma once

#include <windows.h>

#include <string>

// Loads a DLL into a process that was started suspended: the path is written into the process
// and a remote thread runs LoadLibraryW on it. Returns 0 when the DLL is loaded, otherwise the
// Windows error (ERROR_DLL_INIT_FAILED when the DLL refused to start). The caller resumes the
// process.
DWORD injectLibrary(HANDLE process, const std::wstring& dll);
