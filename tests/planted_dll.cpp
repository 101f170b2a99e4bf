// A DLL that someone left in a download folder under the name of a Windows DLL. When a process
// loads it, it leaves "<its own path>.loaded" beside itself and ends that process at once, so a
// test sees which name was taken from the folder without the process stumbling on for a while
// on functions that this DLL does not have.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t marker[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return FALSE;
    lstrcpyW(marker + length, L".loaded");
    const HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    TerminateProcess(GetCurrentProcess(), 86);
    return FALSE;
}
