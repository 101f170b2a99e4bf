#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/product.h"

#include "sample-console/shared/log.h"
#include "sample-console/service/service.h"
#include "sample-console/shared/switches.h"

int wmain(int argc, wchar_t** argv)
{
    // A worker that the service leaves behind (the WorkerAfterStop switch): it only lingers.
    if (argc == 3 && std::wstring(argv[1]) == L"--worker") {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    std::wstring name = SERVICE_NAME; // ignored for an own-process service, but must not be empty
    const SERVICE_TABLE_ENTRYW services[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
    const BOOL dispatched = StartServiceCtrlDispatcherW(services);
    const DWORD error = GetLastError();
    if (!dispatched) {
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            std::fputs("QuellmarkConsoleService.exe is a Windows service; the Service Control Manager starts it.\n", stderr);
        else
            std::fprintf(stderr, "QuellmarkConsoleService: the service dispatcher failed (%lu).\n", error);
        return 1;
    }
    // A process that outlives its stopped service for a while, as a console may while it writes
    // out what it holds.
    if (const int linger = readSwitch(L"Service", L"LingerAfterStop"); linger > 0) {
        logLine("Lingering " + std::to_string(linger) + " ms after the stop (switches.ini)");
        Sleep(static_cast<DWORD>(linger));
    }
    return 0;
}
