// qmshim.dll: loaded into a test process, or into a program that a test started suspended, it
// makes named imports of that process's main module fail, answer or record as its plan says.
// See README.md.

#include <windows.h>

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/folders.h"
#include "common/text.h"
#include "tests/shim/desktop_shell.h"
#include "tests/shim/firewall.h"
#include "tests/shim/hooks.h"
#include "tests/shim/intercept.h"
#include "tests/shim/path_limits.h"
#include "tests/shim/plan.h"
#include "tests/shim/records.h"

namespace {

bool running = false;

std::wstring variable(const wchar_t* name)
{
    std::wstring value(256, L'\0');
    DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length > value.size()) {
        value.resize(length);
        length = GetEnvironmentVariableW(name, value.data(), length);
    }
    value.resize(length);
    return value;
}

std::filesystem::path modulePath(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            throw std::runtime_error("cannot read the shim's own path (" + std::to_string(GetLastError()) + ")");
        if (length < path.size())
            return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

std::string readPlan(const std::wstring& path)
{
    if (path.empty())
        return {};
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open the plan " + narrow(path) + " (" + std::to_string(GetLastError()) + ")");
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    CloseHandle(file);
    return text;
}

void planEntries(const Plan& plan)
{
    for (const PlannedFunction& function : plan.functions) {
        Entry& entry = intercept(function.name);
        entry.planned = !isFirewallMethod(function.name); // those are no imports
        entry.faults = function.faults;
        entry.recorded = function.recorded;
        entry.arguments = function.arguments;
    }
}

// A plan that names something this process never calls through its imports would quietly test
// nothing; the record lets the test side refuse it.
void recordUnmatched(const Plan& plan)
{
    for (const Entry* entry : allEntries())
        if (entry->planned && !entry->patched)
            writeRecord("shim.unmatched", {{"function", entry->name}});
    const Entry* com = findEntry("CoCreateInstance");
    for (const PlannedFunction& function : plan.functions)
        if (isFirewallMethod(function.name) && (com == nullptr || !com->patched))
            writeRecord("shim.unmatched", {{"function", function.name}});
}

void stop()
{
    removeFirewallHooks();
    unpatchMainModule();
    removeHooks();
}

bool start(HMODULE self)
{
    const std::wstring records = variable(L"QM_SHIM_RECORDS");
    std::string image;
    try {
        image = narrow(exePath().filename().wstring());
    } catch (const std::exception&) {
        image = "?";
    }
    if (records.empty() || !openRecords(records, image)) {
        OutputDebugStringA("qmshim: QM_SHIM_RECORDS names no writable record file\n");
        return false;
    }
    try {
        const std::wstring planPath = variable(L"QM_SHIM_PLAN");
        const Plan plan = parsePlan(readPlan(planPath), image);
        setFollowing(modulePath(self).wstring(), planPath, records);
        planEntries(plan);
        installHooks(plan);
        installPathLimits();
        installDesktopShell(plan);
        installFirewallHooks(plan);
        const std::size_t patched = patchMainModule();
        recordUnmatched(plan);
        writeRecord("shim.loaded", {{"patched", decimal(patched)}});
        running = true;
        return true;
    } catch (const std::exception& failure) {
        writeRecord("shim.error", {{"reason", failure.what()}});
    } catch (...) {
        writeRecord("shim.error", {{"reason", "unexpected failure while starting"}});
    }
    stop();
    closeRecords();
    return false;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        return start(instance) ? TRUE : FALSE;
    }
    // At process exit the slots stay as they are: other threads may still be calling through
    // them, and the stubs and entries outlive this DLL's own clean-up on purpose.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr && running) {
        stop();
        closeRecords();
        running = false;
    }
    return TRUE;
}
