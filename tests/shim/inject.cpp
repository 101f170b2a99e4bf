#include "tests/shim/inject.h"

#include <memory>

namespace {

struct RemoteMemory {
    HANDLE process;
    void* address;
};

struct RemoteFreer {
    void operator()(RemoteMemory* memory) const noexcept
    {
        VirtualFreeEx(memory->process, memory->address, 0, MEM_RELEASE);
        delete memory;
    }
};

} // namespace

DWORD injectLibrary(HANDLE process, const std::wstring& dll)
{
    const SIZE_T size = (dll.size() + 1) * sizeof(wchar_t);
    void* address = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (address == nullptr)
        return GetLastError();
    const std::unique_ptr<RemoteMemory, RemoteFreer> memory(new RemoteMemory{process, address});
    if (!WriteProcessMemory(process, address, dll.c_str(), size, nullptr))
        return GetLastError();

    // kernel32 sits at the same address in every process of a session, so our own LoadLibraryW
    // is the target's too.
    const auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    const HANDLE thread = CreateRemoteThread(process, nullptr, 0, loadLibrary, address, 0, nullptr);
    if (thread == nullptr)
        return GetLastError();
    const DWORD waited = WaitForSingleObject(thread, 60000);
    DWORD loaded = 0; // the low half of the module handle: never zero for a loaded DLL
    const bool ended = waited == WAIT_OBJECT_0 && GetExitCodeThread(thread, &loaded);
    CloseHandle(thread);
    if (!ended)
        return waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
    return loaded != 0 ? ERROR_SUCCESS : ERROR_DLL_INIT_FAILED;
}
