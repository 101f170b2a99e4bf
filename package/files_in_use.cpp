#include "package/files_in_use.h"

#include <restartmanager.h>
#include <tlhelp32.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace {

// How long the programs of a folder get to end before it is removed. A service that has reported
// its stop may leave workers that finish what they hold (a web server's open requests) for a few
// seconds more; twice the 5 seconds that Windows gives services at shutdown is plenty for those,
// and a program that runs on for longer is stuck or the user's, and better named to the user than
// waited for in silence.
constexpr DWORD PROGRAMS_END_WITHIN_MS = 10000;

// Restart Manager, loaded from System32 when first needed rather than imported: where it cannot be
// loaded, the user still gets the product's own words, naming nobody. (A delay-loaded import
// would raise a structured exception there, which no C++ handler takes.)
struct RestartManager {
    decltype(&RmStartSession) startSession = nullptr;
    decltype(&RmRegisterResources) registerResources = nullptr;
    decltype(&RmGetList) getList = nullptr;
    decltype(&RmEndSession) endSession = nullptr;
};

template <typename Function>
void lookUp(HMODULE module, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// All four functions, or none. The DLL stays loaded for the rest of the process.
RestartManager loadRestartManager()
{
    RestartManager found;
    const HMODULE module = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr)
        return found;
    lookUp(module, "RmStartSession", found.startSession);
    lookUp(module, "RmRegisterResources", found.registerResources);
    lookUp(module, "RmGetList", found.getList);
    lookUp(module, "RmEndSession", found.endSession);
    if (!found.startSession || !found.registerResources || !found.getList || !found.endSession)
        return {};
    return found;
}

// The programs that hold file open, as Restart Manager knows them; none when it cannot tell (a
// folder, a file that nobody holds, or no Restart Manager to ask).
std::vector<std::wstring> holdersOf(const fs::path& file)
{
    static const RestartManager rm = loadRestartManager();
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (rm.startSession == nullptr || rm.startSession(&session, 0, key) != ERROR_SUCCESS)
        return {};
    const auto endSession = [](DWORD* started) { rm.endSession(*started); };
    const std::unique_ptr<DWORD, decltype(endSession)> ended(&session, endSession);
    const wchar_t* name = file.c_str();
    if (rm.registerResources(session, 1, &name, 0, nullptr, 0, nullptr) != ERROR_SUCCESS)
        return {};
    std::vector<RM_PROCESS_INFO> found(4);
    UINT needed = 0;
    DWORD reasons = 0;
    for (;;) {
        UINT count = static_cast<UINT>(found.size());
        const DWORD status = rm.getList(session, &needed, &count, found.data(), &reasons);
        if (status == ERROR_MORE_DATA) { // more holders than room: ask again with room for all
            found.resize(needed);
            continue;
        }
        found.resize(status == ERROR_SUCCESS ? count : 0);
        break;
    }
    std::vector<std::wstring> names;
    for (const RM_PROCESS_INFO& holder : found)
        names.emplace_back(holder.strAppName);
    return names;
}

[[noreturn]] void refuseHeld(const fs::path& item, const std::vector<std::wstring>& holders)
{
    std::wstring who;
    for (const std::wstring& holder : holders)
        who += (who.empty() ? L"" : L", ") + holder;
    const std::string named = holders.empty() ? "another program" : narrow(who);
    throw std::runtime_error(narrow(item.wstring()) + " is in use by " + named + " and could not be removed. Close " +
                             (holders.empty() ? "that program" : named) + ", then try again.");
}

// Whether path lies below folder. Windows compares names without regard to case; element by
// element, so that "C:\App2" is not taken for a part of "C:\App" and doubled separators do not
// matter.
bool below(const fs::path& path, const fs::path& folder)
{
    auto element = path.begin();
    for (const fs::path& part : folder) {
        if (part.empty())
            continue; // after a trailing separator
        if (element == path.end() || CompareStringOrdinal(part.c_str(), -1, element->c_str(), -1, TRUE) != CSTR_EQUAL)
            return false;
        ++element;
    }
    return element != path.end();
}

struct Running {
    UniqueHandle process;
    std::wstring name; // its program's file name
};

// The processes, this one aside, that still run a program from folder. A program moved out of the
// folder while it runs (as the uninstaller that Installed apps starts moves itself aside) holds
// nothing in it any more, whichever path Windows still reports for it. A process that does not
// let us ask is not ours to wait for; its file, if any, then fails the removal as before.
std::vector<Running> programsIn(const fs::path& folder)
{
    std::vector<Running> found;
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (snapshot.get() == INVALID_HANDLE_VALUE || !Process32FirstW(snapshot.get(), &entry))
        return found;
    do {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue;
        // The least access that tells the program's path and lets us wait for the end.
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        if (process == nullptr || !QueryFullProcessImageNameW(process.get(), 0, image.data(), &length))
            continue;
        image.resize(length);
        if (below(image, folder) && GetFileAttributesW(image.c_str()) != INVALID_FILE_ATTRIBUTES &&
            WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT)
            found.push_back({std::move(process), fs::path(image).filename().wstring()});
    } while (Process32NextW(snapshot.get(), &entry));
    return found;
}

} // namespace

void refuseIfInUse(const fs::path& item, DWORD error)
{
    const std::vector<std::wstring> holders = holdersOf(item);
    // A sharing violation always means that a program holds it. "Access denied" does when Windows
    // names a holder (a running program's own file); otherwise it may be a matter of rights.
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_USER_MAPPED_FILE && holders.empty())
        return;
    refuseHeld(item, holders);
}

void waitForProgramsIn(const fs::path& folder)
{
    const ULONGLONG deadline = GetTickCount64() + PROGRAMS_END_WITHIN_MS;
    for (;;) {
        // Asked again after every wait: what ended may have started others.
        const std::vector<Running> running = programsIn(folder);
        if (running.empty())
            return;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            std::vector<std::wstring> names;
            for (const Running& program : running)
                if (std::find(names.begin(), names.end(), program.name) == names.end())
                    names.push_back(program.name);
            refuseHeld(folder, names);
        }
        for (const Running& program : running)
            WaitForSingleObject(program.process.get(),
                                static_cast<DWORD>(deadline - std::min(GetTickCount64(), deadline)));
    }
}
