#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

// The console's service as the service manager reports it, under the name that the console, its
// documentation and administrators know (spelled out here, not taken from the product).

// The service opened with access; empty when it is not registered.
UniqueService openConsoleService(DWORD access);

// Its state and process id; the state is 0 when it is not registered.
SERVICE_STATUS_PROCESS consoleServiceStatus();
DWORD serviceState();

// Polls the state every 100 ms; false when it is not state within timeoutMs.
bool waitForServiceState(DWORD state, DWORD timeoutMs = 30000);

// The service's configuration as QueryServiceConfigW reads it; raises when it cannot be read.
struct ServiceConfig {
    std::wstring binaryPath, displayName, account, dependencies;
    DWORD type = 0, start = 0, errorControl = 0;
};
ServiceConfig consoleServiceConfig();
