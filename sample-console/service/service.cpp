#include "sample-console/service/service.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/jobs.h"
#include "common/text.h"
#include "sample-console/runtime/http.h"
#include "sample-console/runtime/server.h"
#include "sample-console/shared/log.h"
#include "sample-console/shared/switches.h"

namespace {

constexpr DWORD PENDING_WAIT_HINT_MS = 5000;
constexpr DWORD SERVER_START_LIMIT_MS = 20000;
constexpr DWORD SERVER_STOP_LIMIT_MS = 5000;

std::mutex statusLock; // the control handler and the service's own thread both report
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
HANDLE stopEvent = nullptr;

void reportStatus(DWORD state, DWORD specificError = 0)
{
    const std::lock_guard<std::mutex> hold(statusLock);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = specificError != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = specificError;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = pending ? PENDING_WAIT_HINT_MS : 0;
    SetServiceStatus(statusHandle, &status); // nobody to tell if the manager does not listen
}

DWORD WINAPI controlHandler(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // Read now rather than at start, so that a test can make a running console refuse to stop.
        if (readSwitch(L"Service", L"IgnoreStop") != 0) {
            logLine("Stop requested; ignored (switches.ini), staying in STOP_PENDING");
            reportStatus(SERVICE_STOP_PENDING);
            return NO_ERROR;
        }
        logLine("Stop requested");
        reportStatus(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The port from console.ini beside the program; setup writes it there before the first start.
unsigned consolePort()
{
    const std::filesystem::path settings = exePath().parent_path() / L"console.ini";
    return GetPrivateProfileIntW(L"Console", L"Port", 8080, settings.c_str());
}

// An event that the runtime inherits.
UniqueHandle inheritableEvent()
{
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    UniqueHandle event(CreateEventW(&inherited, TRUE, FALSE, nullptr));
    require(event != nullptr, "Create runtime event");
    return event;
}

// The runtime serves the backend, as a real console's service starts it, inside the job from its
// creation. It inherits the two events, and no other handle; it finds their values in its
// environment.
UniqueHandle startRuntime(unsigned port, HANDLE job, HANDLE ready)
{
    const std::filesystem::path home = exePath().parent_path();
    const std::filesystem::path program = home / L"runtime" / L"python.exe";
    std::wstring command = quote(program.wstring()) + L" -I -B -m uvicorn --app-dir " +
                           quote((home / L"server" / L"backend").wstring()) + L" --host 0.0.0.0 --port " +
                           std::to_wstring(port) + L" app.web:app";
    const std::wstring events = std::to_wstring(reinterpret_cast<ULONG_PTR>(stopEvent)) + L" " +
                                std::to_wstring(reinterpret_cast<ULONG_PTR>(ready));
    require(SetEnvironmentVariableW(SERVER_EVENTS_VARIABLE, events.c_str()) != FALSE, "Name runtime events");
    return startInJob(job, program, command, {{stopEvent, ready}}, "Start runtime");
}

// A worker of the console's that outlives the service's stop for a while, outside its job, as a
// real console's web server workers may: the switch says how many milliseconds.
void leaveWorker()
{
    const int lingers = readSwitch(L"Service", L"WorkerAfterStop");
    if (lingers <= 0)
        return;
    std::wstring command = quote(exePath().wstring()) + L" --worker " + std::to_wstring(lingers);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(exePath().c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &started)) {
        logLine("The worker did not start (" + std::to_string(GetLastError()) + ")");
        return;
    }
    logLine("A worker lingers " + std::to_string(lingers) + " ms after the stop (switches.ini)");
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
}

// What the runtime's end means for the service: it could not take its port, or it failed.
DWORD runtimeEnded(HANDLE process)
{
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    logLine("The runtime ended with exit code " + std::to_string(code));
    return code == SERVER_CANNOT_LISTEN ? CANNOT_LISTEN : SERVICE_FAILED;
}

// The service reports itself running once the runtime listens, and stops once the runtime has
// ended, which it does on the same stop event that the control handler sets.
DWORD serveThroughRuntime(unsigned port)
{
    const UniqueHandle ready = inheritableEvent();
    const UniqueHandle job = killOnCloseJob("Create runtime job"); // the runtime ends with the service
    const UniqueHandle runtime = startRuntime(port, job.get(), ready.get());
    const HANDLE starting[] = {ready.get(), runtime.get()};
    const DWORD started = WaitForMultipleObjects(2, starting, FALSE, SERVER_START_LIMIT_MS);
    if (started != WAIT_OBJECT_0) {
        if (started == WAIT_OBJECT_0 + 1)
            return runtimeEnded(runtime.get());
        logLine("The runtime did not start listening");
        return SERVICE_FAILED;
    }
    reportStatus(SERVICE_RUNNING);
    const HANDLE running[] = {stopEvent, runtime.get()};
    if (WaitForMultipleObjects(2, running, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        return runtimeEnded(runtime.get());
    if (WaitForSingleObject(runtime.get(), SERVER_STOP_LIMIT_MS) != WAIT_OBJECT_0)
        logLine("The runtime did not stop in time; ended with the service");
    return 0;
}

DWORD run()
{
    logLine("Starting the sample console " + std::string(CONSOLE_VERSION) + " (process " +
            std::to_string(GetCurrentProcessId()) + ")");
    if (readSwitch(L"Service", L"ExitAtStart") != 0) {
        logLine("Exiting at start (switches.ini)");
        return EXIT_AT_START;
    }
    // A console that takes its time to start, for as long as a test wants: it cannot take a
    // stop control until it runs.
    if (readSwitch(L"Service", L"StartPending") != 0) {
        logLine("Holding START_PENDING until the switch is cleared (switches.ini)");
        while (readSwitch(L"Service", L"StartPending") != 0) {
            Sleep(50);
            reportStatus(SERVICE_START_PENDING);
        }
    }
    const unsigned port = consolePort();
    if (port == 0 || port > 65535) {
        logLine("Invalid port " + std::to_string(port) + " in console.ini");
        return INVALID_PORT_SETTING;
    }
    const UniqueHandle event = inheritableEvent();
    stopEvent = event.get();
    const DWORD result = serveThroughRuntime(port);
    stopEvent = nullptr;
    return result;
}

} // namespace

void WINAPI serviceMain(DWORD, wchar_t** arguments)
{
    statusHandle = RegisterServiceCtrlHandlerExW(arguments[0], controlHandler, nullptr);
    if (statusHandle == nullptr)
        return; // without a status handle there is no one to report to
    reportStatus(SERVICE_START_PENDING);
    DWORD error = SERVICE_FAILED;
    try {
        error = run();
    } catch (const std::exception& failure) {
        logLine(std::string("Failed: ") + failure.what());
    }
    leaveWorker();
    logLine(error == 0 ? std::string("Stopped") : "Stopped with error " + std::to_string(error));
    reportStatus(SERVICE_STOPPED, error);
}
