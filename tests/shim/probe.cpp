// shim_probe: the program that the shim's process tests run under the shim.
//
//   shim_probe probe PATH                    prints GetFileAttributesW(PATH) and its last error
//   shim_probe spawn HOW CHILD PATH          probes PATH itself, then runs "CHILD probe PATH" and
//                                            waits for it; HOW is one of
//                                              plain        CreateProcessW, inherited environment
//                                              environment  CreateProcessW with a block of its own
//                                              ansi         CreateProcessA
//                                              suspended    CreateProcessW with CREATE_SUSPENDED,
//                                                           then prints ResumeThread's answer
// Output lines are flushed at once, so that parent and child lines keep their order.

#include <windows.h>

#include <cstdio>
#include <string>

#include "common/text.h"

namespace {

void probe(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const DWORD error = GetLastError();
    wchar_t marker[64] = {};
    GetEnvironmentVariableW(L"QM_PROBE_MARKER", marker, 64);
    std::printf("pid=%lu attributes=%lu error=%lu marker=%s\n", GetCurrentProcessId(), attributes,
                attributes == INVALID_FILE_ATTRIBUTES ? error : 0, narrow(marker).c_str());
    std::fflush(stdout);
}

bool start(const std::wstring& how, const std::wstring& child, const std::wstring& path, PROCESS_INFORMATION& process)
{
    std::wstring command = quote(child) + L" probe " + quote(path);
    if (how == L"ansi") {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string narrowCommand = narrow(command);
        return CreateProcessA(narrow(child).c_str(), narrowCommand.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &process);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring environment;
    DWORD flags = 0;
    if (how == L"environment") {
        wchar_t systemRoot[MAX_PATH] = {};
        GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH);
        environment = L"QM_PROBE_MARKER=own block" + std::wstring(1, L'\0') + L"SystemRoot=" + systemRoot +
            std::wstring(2, L'\0');
        flags = CREATE_UNICODE_ENVIRONMENT;
    } else if (how == L"suspended") {
        flags = CREATE_SUSPENDED;
    }
    return CreateProcessW(child.c_str(), command.data(), nullptr, nullptr, TRUE, flags,
                          environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process);
}

int spawn(const std::wstring& how, const std::wstring& child, const std::wstring& path)
{
    probe(path);
    PROCESS_INFORMATION process{};
    if (!start(how, child, path, process)) {
        std::printf("start failed error=%lu\n", GetLastError());
        return 2;
    }
    if (how == L"suspended") {
        std::printf("resume=%lu\n", ResumeThread(process.hThread));
        std::fflush(stdout);
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("child exit=%lu\n", exitCode);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"probe" && argc == 3) {
        probe(argv[2]);
        return 0;
    }
    if (mode == L"spawn" && argc == 5)
        return spawn(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: shim_probe probe PATH | shim_probe spawn HOW CHILD PATH\n");
    return 2;
}
