#include "tests/support/services.h"

#include <stdexcept>
#include <vector>

UniqueService openConsoleService(DWORD access)
{
    const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return UniqueService(OpenServiceW(manager.get(), L"QuellmarkConsole", access));
}

SERVICE_STATUS_PROCESS consoleServiceStatus()
{
    const UniqueService service = openConsoleService(SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof status, &needed))
        return {};
    return status;
}

DWORD serviceState()
{
    return consoleServiceStatus().dwCurrentState;
}

bool waitForServiceState(DWORD state, DWORD timeoutMs)
{
    for (DWORD waited = 0; serviceState() != state; waited += 100) {
        if (waited >= timeoutMs)
            return false;
        Sleep(100);
    }
    return true;
}

ServiceConfig consoleServiceConfig()
{
    const UniqueService service = openConsoleService(SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
        throw std::runtime_error("cannot read the console's service configuration (" + std::to_string(GetLastError()) +
                                 ")");
    return {config->lpBinaryPathName, config->lpDisplayName, config->lpServiceStartName, config->lpDependencies,
            config->dwServiceType, config->dwStartType, config->dwErrorControl};
}
