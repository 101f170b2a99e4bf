#pragma once

#include <windows.h>

// The Windows service side of the sample console: status reports to the Service Control
// Manager, the control handler and the service's main function.

// Exit codes that the service reports with ERROR_SERVICE_SPECIFIC_ERROR when it stops on its own.
enum ServiceError : DWORD {
    INVALID_PORT_SETTING = 1, // console.ini names no port from 1 to 65535
    CANNOT_LISTEN = 2,        // the port could not be bound or listened on
    EXIT_AT_START = 3,        // the ExitAtStart switch asked for it
    SERVICE_FAILED = 4,       // anything else; the log says what
};

void WINAPI serviceMain(DWORD argumentCount, wchar_t** arguments);
