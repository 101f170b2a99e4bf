#include "tests/shim/hooks.h"

#include <windows.h>
#include <shellapi.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>

#include "common/text.h"
#include "tests/shim/emulations.h"
#include "tests/shim/inject.h"
#include "tests/shim/intercept.h"
#include "tests/shim/records.h"

namespace {

Entry* sleepEntry = nullptr;
Entry* waitEntry = nullptr;
Entry* serviceEntry = nullptr;
Entry* createProcessW = nullptr;
Entry* createProcessA = nullptr;
Entry* winHttpTimeouts = nullptr;
Entry* procAddress = nullptr;
NativeMachine machine;
std::uint32_t sleepCap = 0;
std::uint32_t waitCap = 0;
DiskSpace disk;
SystemTime fixedTime;
Answers* answers = nullptr;
std::atomic<std::size_t> answered{0};

std::wstring* shimPath = nullptr;
std::wstring* planPath = nullptr;
std::wstring* recordsPath = nullptr;

std::string text(const wchar_t* value)
{
    return value != nullptr ? narrow(value) : std::string();
}

std::wstring fromAnsi(const char* ansi)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), length);
    wide.resize(wide.size() - 1);
    return wide;
}

std::wstring wide(const wchar_t* value)
{
    return value;
}

std::wstring wide(const char* value)
{
    return fromAnsi(value);
}

// Records are UTF-8; ANSI arguments are converted from the process's code page.
std::string text(const char* value)
{
    return value != nullptr ? narrow(fromAnsi(value)) : std::string();
}

void WINAPI hookSleep(DWORD milliseconds)
{
    const DWORD slept = std::min<DWORD>(milliseconds, sleepCap);
    writeRecord("Sleep", {{"ms", decimal(milliseconds)}, {"slept", decimal(slept)}});
    originalOf<decltype(&Sleep)>(sleepEntry)(slept);
}

// A time-out that a test cannot afford to sit through (a hanging helper) ends after the cap;
// an object that is signalled sooner ends the wait as it would have.
DWORD WINAPI hookWaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    const DWORD capped = std::min<DWORD>(milliseconds, waitCap);
    const DWORD result = originalOf<decltype(&WaitForSingleObject)>(waitEntry)(object, capped);
    const DWORD error = GetLastError();
    writeRecord("WaitForSingleObject", {{"ms", decimal(milliseconds)}, {"waited", decimal(capped)},
                                        {"result", decimal(result)}});
    SetLastError(error);
    return result;
}

BOOL WINAPI hookGetDiskFreeSpaceExW(LPCWSTR folder, PULARGE_INTEGER callerFree, PULARGE_INTEGER total,
                                    PULARGE_INTEGER totalFree)
{
    if (callerFree != nullptr)
        callerFree->QuadPart = disk.free;
    if (total != nullptr)
        total->QuadPart = disk.total;
    if (totalFree != nullptr)
        totalFree->QuadPart = disk.free;
    writeRecord("GetDiskFreeSpaceExW", {{"folder", text(folder)}, {"free", decimal(disk.free)}});
    return TRUE;
}

void WINAPI hookGetSystemTime(SYSTEMTIME* now)
{
    *now = SYSTEMTIME{fixedTime.year, fixedTime.month, 0,
                      fixedTime.day,  fixedTime.hour,  fixedTime.minute,
                      fixedTime.second, fixedTime.milliseconds};
    writeRecord("GetSystemTime", {{"minute", decimal(fixedTime.minute)}});
}

int WINAPI hookMessageBoxW(HWND owner, LPCWSTR message, LPCWSTR caption, UINT style)
{
    const std::size_t index = answered.fetch_add(1);
    const bool scripted = index < answers->script.size();
    const int answer = scripted ? answers->script[index] : answers->otherwise;
    writeRecord("MessageBoxW", {{"text", text(message)},
                                {"caption", text(caption)},
                                {"style", decimal(style)},
                                {"owner", owner != nullptr ? "yes" : "no"},
                                {"answer", decimal(static_cast<std::uint64_t>(answer))},
                                {"scripted", scripted ? "yes" : "no"}});
    return answer;
}

// Windows would start the program for the address (a browser) with this process's token; under
// the tests nothing starts. Recorded so that a test can see whether the program used it at all.
HINSTANCE WINAPI hookShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder,
                                   INT show)
{
    writeRecord("ShellExecuteW", {{"owner", owner != nullptr ? "yes" : "no"},
                                  {"verb", text(verb)},
                                  {"file", text(file)},
                                  {"parameters", text(parameters)},
                                  {"folder", text(folder)},
                                  {"show", decimal(static_cast<DWORD>(show))}});
    return reinterpret_cast<HINSTANCE>(42); // above 32: success
}

// Answers for this process as Windows 11 on ARM64 answers an emulated x64 program: not a WOW64
// process (its own machine reads "unknown"), on the planned native machine.
BOOL WINAPI standInIsWow64Process2(HANDLE, USHORT* processMachine, USHORT* nativeMachine)
{
    if (processMachine != nullptr)
        *processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    if (nativeMachine != nullptr)
        *nativeMachine = machine.native;
    writeRecord("IsWow64Process2", {{"native", hexadecimal(machine.native, 4)}});
    return TRUE;
}

// Programs look IsWow64Process2 up at run time, so the look-up is where the plan takes effect.
// Every other name, and every ordinal, goes to the real GetProcAddress.
FARPROC WINAPI hookGetProcAddress(HMODULE module, LPCSTR name)
{
    const bool byName = (reinterpret_cast<ULONG_PTR>(name) >> 16) != 0;
    if (!byName || std::strcmp(name, "IsWow64Process2") != 0)
        return originalOf<decltype(&GetProcAddress)>(procAddress)(module, name);
    writeRecord("GetProcAddress", {{"name", name}, {"found", machine.missing ? "no" : "yes"}});
    if (machine.missing) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&standInIsWow64Process2));
}

} // namespace

namespace {

Fields serviceFields(DWORD level, const void* information)
{
    Fields fields{{"level", decimal(level)}};
    if (information == nullptr)
        return fields;
    if (level == SERVICE_CONFIG_DESCRIPTION) {
        const auto* description = static_cast<const SERVICE_DESCRIPTIONW*>(information);
        if (description->lpDescription != nullptr)
            fields.emplace_back("description", narrow(description->lpDescription));
    } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* failure = static_cast<const SERVICE_FAILURE_ACTIONSW*>(information);
        std::string actions;
        for (DWORD i = 0; failure->lpsaActions != nullptr && i < failure->cActions; ++i) {
            if (i > 0)
                actions += ',';
            actions += decimal(failure->lpsaActions[i].Type);
            actions += '/';
            actions += decimal(failure->lpsaActions[i].Delay);
        }
        fields.emplace_back("reset", decimal(failure->dwResetPeriod));
        fields.emplace_back("reboot", text(failure->lpRebootMsg));
        fields.emplace_back("command", text(failure->lpCommand));
        fields.emplace_back("actions", actions);
    } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        const auto* flag = static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(information);
        fields.emplace_back("flag", decimal(flag->fFailureActionsOnNonCrashFailures));
    } else if (level == SERVICE_CONFIG_SERVICE_SID_INFO) {
        fields.emplace_back("sidType", decimal(static_cast<const SERVICE_SID_INFO*>(information)->dwServiceSidType));
    } else if (level == SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO) {
        const auto* required = static_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOW*>(information);
        std::string names;
        for (const wchar_t* name = required->pmszRequiredPrivileges; name && *name; name += std::wcslen(name) + 1)
            names += (names.empty() ? std::string() : std::string(",")) + narrow(name);
        fields.emplace_back("privileges", names);
    }
    return fields;
}

// Wine refuses this level, the SID type's and the privileges', with ERROR_INVALID_LEVEL where Windows
// stores them. The stand-in still refuses what Windows would: no information, or a handle that is
// not an open service.
BOOL emulateFailureActionsFlag(SC_HANDLE service, const void* information)
{
    if (information == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SERVICE_STATUS status{};
    // Access denied still proves a valid service handle; the caller may lack only the query right.
    if (!QueryServiceStatus(service, &status) && GetLastError() != ERROR_ACCESS_DENIED)
        return FALSE;
    return TRUE;
}

BOOL WINAPI hookChangeServiceConfig2W(SC_HANDLE service, DWORD level, LPVOID information)
{
    Fields fields = serviceFields(level, information);
    const bool emulated = level >= SERVICE_CONFIG_FAILURE_ACTIONS_FLAG && level <= SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO;
    const BOOL ok = emulated ? emulateFailureActionsFlag(service, information)
                             : originalOf<decltype(&ChangeServiceConfig2W)>(serviceEntry)(service, level, information);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    fields.emplace_back("emulated", emulated ? "yes" : "no");
    fields.emplace_back("result", decimal(ok));
    fields.emplace_back("error", decimal(error));
    writeRecord("ChangeServiceConfig2W", fields);
    return ok;
}

// Windows bounds every wait for data, the wait for the response headers included, by the
// receive time-out; Wine 8 bounds the header wait only by its separate "receive response"
// time-out (90 s by default). Setting that one too makes Wine keep the caller's time-out.
BOOL WINAPI hookWinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive)
{
    const BOOL ok =
        originalOf<decltype(&WinHttpSetTimeouts)>(winHttpTimeouts)(handle, resolve, connect, send, receive);
    const DWORD error = GetLastError();
    BOOL emulated = FALSE;
    if (ok && receive > 0) {
        DWORD value = static_cast<DWORD>(receive);
        emulated = WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &value, sizeof value);
    }
    writeRecord("WinHttpSetTimeouts", {{"resolve", decimal(static_cast<DWORD>(resolve))},
                                       {"connect", decimal(static_cast<DWORD>(connect))},
                                       {"send", decimal(static_cast<DWORD>(send))},
                                       {"receive", decimal(static_cast<DWORD>(receive))},
                                       {"emulated", emulated ? "yes" : "no"},
                                       {"result", decimal(ok)}});
    SetLastError(error);
    return ok;
}

bool isShimVariable(const std::wstring& entry)
{
    const auto equals = entry.find(L'=', 1); // names such as "=C:" begin with an equals sign
    const std::wstring name = entry.substr(0, equals);
    return _wcsicmp(name.c_str(), L"QM_SHIM_PLAN") == 0 || _wcsicmp(name.c_str(), L"QM_SHIM_RECORDS") == 0;
}

// A caller's own environment block with the shim's variables put in, as a Unicode block: a
// child started with a block of its own would otherwise lose them.
std::wstring environmentWithShim(const void* environment, bool unicode)
{
    std::wstring block;
    auto keep = [&block](const std::wstring& entry) {
        if (!isShimVariable(entry))
            block += entry + L'\0';
    };
    if (unicode) {
        for (auto* entry = static_cast<const wchar_t*>(environment); *entry != L'\0'; entry += wcslen(entry) + 1)
            keep(entry);
    } else {
        for (auto* entry = static_cast<const char*>(environment); *entry != '\0'; entry += strlen(entry) + 1)
            keep(fromAnsi(entry));
    }
    block += L"QM_SHIM_RECORDS=" + *recordsPath + L'\0';
    if (!planPath->empty())
        block += L"QM_SHIM_PLAN=" + *planPath + L'\0';
    return block + L'\0';
}

// The child was started suspended; it runs only once the shim is in it, and stays suspended
// when its creator asked for that.
BOOL follow(BOOL started, PROCESS_INFORMATION* process, bool callerSuspends, const char* function, Fields fields)
{
    if (!started) {
        const DWORD error = GetLastError();
        fields.emplace_back("result", "0");
        fields.emplace_back("error", decimal(error));
        writeRecord(function, fields);
        SetLastError(error);
        return FALSE;
    }
    BOOL wow64 = FALSE;
    IsWow64Process(process->hProcess, &wow64); // on failure: treated as a 64-bit child
    const DWORD error = wow64 ? ERROR_SUCCESS : injectLibrary(process->hProcess, *shimPath);
    fields.emplace_back("child", decimal(process->dwProcessId));
    fields.emplace_back("followed", wow64 ? "no (32-bit)" : error == ERROR_SUCCESS ? "yes" : "failed");
    fields.emplace_back("result", error == ERROR_SUCCESS ? "1" : "0");
    fields.emplace_back("error", decimal(error));
    writeRecord(function, fields);
    if (error != ERROR_SUCCESS) {
        TerminateProcess(process->hProcess, error);
        CloseHandle(process->hThread);
        CloseHandle(process->hProcess);
        *process = PROCESS_INFORMATION{};
        SetLastError(error);
        return FALSE;
    }
    if (!callerSuspends)
        ResumeThread(process->hThread);
    return TRUE;
}

// Both CreateProcess variants: the child starts suspended, with the shim's variables in a
// caller's own environment block, and is followed (see follow).
template <typename Function, typename Text, typename MutableText, typename StartupInfo>
BOOL startFollowed(Function original, const char* function, Text application, MutableText command,
                   LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit,
                   DWORD flags, LPVOID environment, Text folder, StartupInfo startup, LPPROCESS_INFORMATION process)
{
    Fields fields{{"application", text(application)},
                  {"command", text(command)},
                  {"flags", decimal(flags)},
                  {"inherit", decimal(static_cast<DWORD>(inherit))}};
    std::wstring block;
    if (environment != nullptr) {
        block = environmentWithShim(environment, (flags & CREATE_UNICODE_ENVIRONMENT) != 0);
        environment = block.data();
    }
    const DWORD childFlags = flags | CREATE_SUSPENDED | (block.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT);
    const BOOL started = original(application, command, processAttributes, threadAttributes, inherit, childFlags,
                                  environment, folder, startup, process);
    const BOOL followed = follow(started, process, (flags & CREATE_SUSPENDED) != 0, function, fields);
    if (followed && folder != nullptr)
        rememberChildFolder(process->hProcess, wide(folder));
    return followed;
}

BOOL WINAPI hookCreateProcessW(LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    return startFollowed(originalOf<decltype(&CreateProcessW)>(createProcessW), "CreateProcessW", application,
                         command, processAttributes, threadAttributes, inherit, flags, environment, folder, startup,
                         process);
}

BOOL WINAPI hookCreateProcessA(LPCSTR application, LPSTR command, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCSTR folder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process)
{
    return startFollowed(originalOf<decltype(&CreateProcessA)>(createProcessA), "CreateProcessA", application,
                         command, processAttributes, threadAttributes, inherit, flags, environment, folder, startup,
                         process);
}

Entry* hook(const std::string& name, void* replacement, bool planned)
{
    Entry& entry = intercept(name);
    entry.replacement = replacement;
    entry.planned = entry.planned || planned;
    return &entry;
}

template <typename Function>
void* address(Function function)
{
    return reinterpret_cast<void*>(function);
}

} // namespace

void installHooks(const Plan& plan)
{
    installEmulations(plan);
    serviceEntry = hook("ChangeServiceConfig2W", address(&hookChangeServiceConfig2W), false);
    createProcessW = hook("CreateProcessW", address(&hookCreateProcessW), false);
    createProcessA = hook("CreateProcessA", address(&hookCreateProcessA), false);
    winHttpTimeouts = hook("WinHttpSetTimeouts", address(&hookWinHttpSetTimeouts), false);
    hook("ShellExecuteW", address(&hookShellExecuteW), false);
    if (plan.sleepCap) {
        sleepCap = *plan.sleepCap;
        sleepEntry = hook("Sleep", address(&hookSleep), true);
    }
    if (plan.waitCap) {
        waitCap = *plan.waitCap;
        waitEntry = hook("WaitForSingleObject", address(&hookWaitForSingleObject), true);
    }
    if (plan.disk) {
        disk = *plan.disk;
        hook("GetDiskFreeSpaceExW", address(&hookGetDiskFreeSpaceExW), true);
    }
    if (plan.time) {
        fixedTime = *plan.time;
        hook("GetSystemTime", address(&hookGetSystemTime), true);
    }
    if (plan.answers) {
        answers = new Answers(*plan.answers);
        hook("MessageBoxW", address(&hookMessageBoxW), true);
    }
    if (plan.machine) {
        machine = *plan.machine;
        procAddress = hook("GetProcAddress", address(&hookGetProcAddress), true);
    }
}

void setFollowing(const std::wstring& shim, const std::wstring& plan, const std::wstring& records)
{
    shimPath = new std::wstring(shim);
    planPath = new std::wstring(plan);
    recordsPath = new std::wstring(records);
}

void removeHooks()
{
    delete answers;
    delete shimPath;
    delete planPath;
    delete recordsPath;
    answers = nullptr;
    shimPath = planPath = recordsPath = nullptr;
}
