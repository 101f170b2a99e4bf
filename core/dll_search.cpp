#include "core/dll_search.h"

#include <windows.h>

void restrictDllSearch()
{
    // The setup runs elevated from wherever it was downloaded to, where anyone may have left a
    // DLL named like a system one. Windows takes only the DLLs on its known-DLL list from System32
    // regardless; every other DLL, whether the program loads it or a system DLL does (themes, the
    // delay-loaded common controls, WinHTTP and CNG), would be looked for in the program's folder
    // first.
    //
    // Looked up rather than imported: a Windows 7 without the 2011 loader update lacks it, and
    // should still reach the host check and its version message instead of failing to start.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != nullptr)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); // fails only for flags it does not know
}
