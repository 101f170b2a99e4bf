#include <winsock2.h>

#include <cstdio>
#include <string>

#include "common/product.h"

#include "sample-console/service/service.h"

int wmain()
{
    WSADATA winsock{};
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
        std::fputs("QuellmarkConsoleService: Winsock 2.2 is not available.\n", stderr);
        return 1;
    }
    std::wstring name = SERVICE_NAME; // ignored for an own-process service, but must not be empty
    const SERVICE_TABLE_ENTRYW services[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
    const BOOL dispatched = StartServiceCtrlDispatcherW(services);
    const DWORD error = GetLastError();
    WSACleanup();
    if (!dispatched) {
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            std::fputs("QuellmarkConsoleService.exe is a Windows service; the Service Control Manager starts it.\n", stderr);
        else
            std::fprintf(stderr, "QuellmarkConsoleService: the service dispatcher failed (%lu).\n", error);
        return 1;
    }
    return 0;
}
