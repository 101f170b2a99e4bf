#include "windows/service.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "common/text.h"

namespace {

constexpr wchar_t DESCRIPTION[] = L"Quellmark management Console and Agent HTTP API";
constexpr int STOP_QUERIES = 60;
constexpr DWORD STOP_QUERY_PAUSE_MS = 500;

UniqueService openManager(DWORD access, const char* step)
{
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, access));
    require(manager != nullptr, step);
    return manager;
}

void configure(SC_HANDLE service)
{
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(DESCRIPTION)};
    require(ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description) != FALSE,
            "Set service description");

    // Restart quickly once, a little later a second time, then leave it to the administrator;
    // the count starts over after a day without failures.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 15000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 86400;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    require(ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE,
            "Configure service recovery");

    // Also when the console stops itself with an error code, not only when it crashes.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    require(ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) != FALSE,
            "Configure process-failure recovery");

    // LocalService is one account shared by many of Windows' own services. With its own SID in
    // its token the console can be granted its data folder alone, and no other service can.
    SERVICE_SID_INFO identity{SERVICE_SID_TYPE_UNRESTRICTED};
    require(ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &identity) != FALSE,
            "Set service identity");

    // A web console needs none of LocalService's other privileges, and without them whoever took
    // it over from the network could not use them either: impersonation above all, the usual way
    // from a service account to SYSTEM. The console's runtime inherits the same token.
    wchar_t privileges[] = L"SeChangeNotifyPrivilege\0SeCreateGlobalPrivilege\0";
    SERVICE_REQUIRED_PRIVILEGES_INFOW required{privileges};
    require(ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required) != FALSE,
            "Limit service privileges");
}

SERVICE_STATUS_PROCESS currentStatus(SC_HANDLE service, const char* step)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    require(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &needed) != FALSE,
            step);
    return status;
}

// The service's process, for the wait after the service reports itself stopped. The id from the
// status names that process only while the service still runs in it, so the status is read again
// once the process is open: the service manager holds its process until it ends, and no other
// process can have that id while the service still reports it. Anything else (the service stopped
// meanwhile, or Windows refused the access) leaves nothing to wait for, and the service's own
// state is all there is to go by.
UniqueHandle openServiceProcess(SC_HANDLE service, DWORD id)
{
    UniqueHandle process(id != 0 ? OpenProcess(SYNCHRONIZE, FALSE, id) : nullptr);
    if (process && currentStatus(service, "Check service state").dwProcessId != id)
        process.reset();
    return process;
}

bool ended(HANDLE process)
{
    return process == nullptr || WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// Asks the service to stop. False when it cannot take the control yet because it is still
// starting (or already stopping): Windows refuses controls in those states, and a rollback
// right after a failed health wait meets a console that is still starting.
bool askToStop(SC_HANDLE service)
{
    SERVICE_STATUS ignored{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &ignored) != FALSE)
        return true;
    const DWORD error = GetLastError();
    // A service that stopped on its own just before the control is what we want anyway.
    if (error == ERROR_SERVICE_NOT_ACTIVE)
        return true;
    requireCode(error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL, error, "Stop Console service");
    return false;
}

// Within the one wait of about 30 seconds, a service that could not take the stop yet is asked
// again as soon as it has left its pending state.
void stopAndWait(SC_HANDLE service, HANDLE process)
{
    bool asked = askToStop(service);
    for (int query = 0; query < STOP_QUERIES; ++query) {
        const DWORD state = currentStatus(service, "Wait for Console stop").dwCurrentState;
        // A service reports itself stopped before its process has ended, and until then the
        // process keeps the program and its files in use: the application folder cannot go yet.
        if (state == SERVICE_STOPPED && ended(process))
            return;
        if (!asked && state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING)
            asked = askToStop(service);
        Sleep(STOP_QUERY_PAUSE_MS);
    }
    throw std::runtime_error("Console could not be stopped. Application and data were retained; "
                             "retry uninstall after stopping its service.");
}

} // namespace

void createService()
{
    const UniqueService manager = openManager(SC_MANAGER_CREATE_SERVICE, "Open service manager");
    const std::wstring program = quote((appDir() / L"QuellmarkConsoleService.exe").wstring());
    // Own process, automatic start, no group, tag, dependencies or password.
    const UniqueService service(CreateServiceW(
        manager.get(), SERVICE_NAME, PRODUCT, DELETE | SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, program.c_str(), nullptr, nullptr,
        nullptr, L"NT AUTHORITY\\LocalService", nullptr));
    require(service != nullptr, "Create Console service");
    try {
        configure(service.get());
    } catch (...) {
        // Never leave a service behind that would start without its recovery settings.
        DeleteService(service.get());
        throw;
    }
}

ServiceRegistration serviceRegistration()
{
    const UniqueService manager = openManager(SC_MANAGER_CONNECT, "Open Windows services");
    const UniqueService service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_CHANGE_CONFIG));
    if (service == nullptr) {
        // Only "does not exist" means no; access denied and the like must not pass for "absent".
        require(GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST, "Check Console service");
        return ServiceRegistration::absent;
    }
    // A service marked for deletion still opens, but refuses every change, even none at all.
    if (ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE)
        return ServiceRegistration::registered;
    require(GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE, "Check Console service");
    return ServiceRegistration::markedForDeletion;
}

bool stopDeleteService()
{
    const UniqueService manager = openManager(SC_MANAGER_CONNECT, "Open Windows services");
    UniqueService service(OpenServiceW(manager.get(), SERVICE_NAME, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (service == nullptr) {
        require(GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST, "Open Console service");
        return true; // not registered: nothing to remove
    }
    const SERVICE_STATUS_PROCESS status = currentStatus(service.get(), "Check service state");
    if (status.dwCurrentState != SERVICE_STOPPED) {
        const UniqueHandle process = openServiceProcess(service.get(), status.dwProcessId);
        stopAndWait(service.get(), process.get());
    }
    // Already marked, by an earlier run that another program's handle kept from finishing: the
    // service goes when that handle is closed, as it would after a deletion now.
    require(DeleteService(service.get()) != FALSE || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE,
            "Remove Console service");
    // The service goes with the last handle to it, ours included. Whether another program still
    // holds one shows only afterwards: the service can then still be opened. Any answer but "does
    // not exist" counts as still there, since a restart finishes the removal either way.
    service.reset();
    const UniqueService left(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS));
    return left == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
}

std::wstring serviceSid(const std::wstring& service)
{
    // "NT SERVICE\<name>" is S-1-5-80 followed by the SHA-1 digest of the upper-case name in
    // UTF-16, read as five 32-bit sub-authorities.
    std::wstring name = service;
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towupper(c); });
    BCRYPT_ALG_HANDLE provider = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA1_ALGORITHM, nullptr, 0);
    requireCode(status == 0, static_cast<unsigned long>(status), "Derive service identity");
    DWORD digest[5] = {};
    status = BCryptHash(provider, nullptr, 0, reinterpret_cast<PUCHAR>(name.data()),
                        static_cast<ULONG>(name.size() * sizeof(wchar_t)), reinterpret_cast<PUCHAR>(digest),
                        sizeof digest);
    BCryptCloseAlgorithmProvider(provider, 0);
    requireCode(status == 0, static_cast<unsigned long>(status), "Derive service identity");
    std::wstring sid = L"S-1-5-80";
    for (const DWORD part : digest)
        sid += L"-" + std::to_wstring(part);
    return sid;
}
