#include "engine/helper_process.h"

#include <stdexcept>

#include "common/failure.h"
#include "common/handles.h"
#include "common/text.h"

namespace {

constexpr DWORD KILL_GRACE_MS = 5000;

} // namespace

DWORD command(const std::filesystem::path& exe, const std::wstring& args, DWORD timeoutMs)
{
    std::wstring commandLine = quote(exe.wstring()) + L" " + args; // CreateProcessW may write into it
    const std::wstring folder = exe.parent_path().wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // No inherited handles, no console window, the wizard's environment, the helper's folder.
    const BOOL ok = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                   nullptr, folder.c_str(), &startup, &started);
    require(ok != FALSE, "Run Windows helper");
    CloseHandle(started.hThread);
    const UniqueHandle process(started.hProcess);

    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        // A failed wait is treated like a time-out: the helper must not outlive the wizard's patience.
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), KILL_GRACE_MS);
        throw std::runtime_error("Windows helper timed out");
    }
    DWORD exitCode = 1; // stays 1 when the code cannot be read, so the caller sees a failure
    GetExitCodeProcess(process.get(), &exitCode);
    return exitCode;
}
