#include "tests/shim/emulations.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cwctype>
#include <map>
#include <mutex>
#include <vector>

#include "common/text.h"
#include "tests/shim/intercept.h"
#include "tests/shim/records.h"

namespace {

Entry* removeDirectoryEntry = nullptr;
Entry* controlServiceEntry = nullptr;
Entry* securityInfoEntry = nullptr;
Entry* setSecurityEntry = nullptr;
Owners* owners = nullptr;
std::mutex ownersLock;
std::map<std::wstring, std::string>* ownersSet = nullptr; // by comparable path; never freed, like children
std::atomic<std::uint64_t> ownerCalls{0};

constexpr ULONGLONG RELEASE_LIMIT_MS = 5000;

struct ChildFolder {
    HANDLE process; // a duplicate, only to see whether the child has ended
    std::wstring folder;
};

std::mutex childrenLock;
std::vector<ChildFolder>* children = nullptr; // never freed: children may be asked about at exit

// The same folder in the \\?\ form, as the product names folders it removes, compares equal.
std::wstring comparable(const wchar_t* path)
{
    std::wstring full(32768, L'\0');
    const DWORD length = GetFullPathNameW(path, static_cast<DWORD>(full.size()), full.data(), nullptr);
    full.resize(length < full.size() ? length : 0);
    if (full.starts_with(L"\\\\?\\UNC\\"))
        full = L"\\\\" + full.substr(8);
    else if (full.starts_with(L"\\\\?\\"))
        full = full.substr(4);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    for (wchar_t& c : full)
        c = static_cast<wchar_t>(std::towlower(c));
    return full;
}

bool stillHeld(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

bool endedChildWasIn(const std::wstring& folder)
{
    const std::lock_guard<std::mutex> hold(childrenLock);
    for (const ChildFolder& child : *children)
        if (child.folder == folder && WaitForSingleObject(child.process, 0) == WAIT_OBJECT_0)
            return true;
    return false;
}

// Windows releases an ended process's current folder by the time its handle is signalled; Wine
// a moment later, so removing the folder right after the child's end can meet a sharing
// violation (or "Access denied").
// Only for that folder, and only once the child has ended, the removal waits until Wine has let
// go: a folder that is really in use still fails at once.
BOOL WINAPI hookRemoveDirectoryW(LPCWSTR path)
{
    const auto original = originalOf<decltype(&RemoveDirectoryW)>(removeDirectoryEntry);
    BOOL removed = original(path);
    if (removed || !stillHeld(GetLastError()) || !endedChildWasIn(comparable(path)))
        return removed;
    const ULONGLONG deadline = GetTickCount64() + RELEASE_LIMIT_MS;
    unsigned tries = 1;
    do {
        Sleep(10);
        removed = original(path);
        ++tries;
    } while (!removed && stillHeld(GetLastError()) && GetTickCount64() < deadline);
    const DWORD error = GetLastError();
    writeRecord("RemoveDirectoryW", {{"folder", narrow(path)}, {"tries", decimal(tries)}, {"result", decimal(removed)}});
    SetLastError(error);
    return removed;
}

// Windows refuses every control to a service that is starting or stopping with
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL; Wine 8 passes it on and answers ERROR_INVALID_SERVICE_CONTROL.
BOOL WINAPI hookControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    SERVICE_STATUS current{};
    if (QueryServiceStatus(service, &current) &&
        (current.dwCurrentState == SERVICE_START_PENDING || current.dwCurrentState == SERVICE_STOP_PENDING)) {
        if (status != nullptr)
            *status = current;
        writeRecord("ControlService", {{"control", decimal(control)}, {"state", decimal(current.dwCurrentState)},
                                       {"emulated", "yes"}, {"error", decimal(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)}});
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    }
    return originalOf<decltype(&ControlService)>(controlServiceEntry)(service, control, status);
}

// Windows keeps the owner it is given; Wine 8 accepts it and forgets it. The owner set on a file
// or folder is remembered for the rest of the process, and reported from then on.
DWORD WINAPI hookSetNamedSecurityInfoW(LPWSTR object, SE_OBJECT_TYPE type, SECURITY_INFORMATION given, PSID owner,
                                       PSID group, PACL list, PACL audit)
{
    const DWORD result = originalOf<decltype(&SetNamedSecurityInfoW)>(setSecurityEntry)(object, type, given, owner,
                                                                                      group, list, audit);
    wchar_t* sid = nullptr;
    if (result != ERROR_SUCCESS || type != SE_FILE_OBJECT || (given & OWNER_SECURITY_INFORMATION) == 0 ||
        owner == nullptr || !ConvertSidToStringSidW(owner, &sid))
        return result;
    const std::string text = narrow(sid);
    LocalFree(sid);
    const std::lock_guard<std::mutex> hold(ownersLock);
    (*ownersSet)[comparable(object)] = text;
    return result;
}

// An owner the plan gives for one call wins: it is the test saying who owns the object at that
// moment. Otherwise the owner that this process set, otherwise the plan's owner for all.
std::string ownerOf(LPCWSTR object, std::uint64_t call)
{
    for (auto given = owners->calls.rbegin(); given != owners->calls.rend(); ++given)
        if (given->first == call)
            return given->second;
    const std::lock_guard<std::mutex> hold(ownersLock);
    const auto set = ownersSet->find(comparable(object));
    return set != ownersSet->end() ? set->second : owners->all;
}

// Windows keeps the owner of every file; Wine 8 reports the current user for all of them. The
// owner of files and folders comes from the plan instead: Administrators, the owner of what an
// elevated setup (or a test acting as one) creates, unless a call is given another, or the
// process has set one itself.
DWORD WINAPI hookGetNamedSecurityInfoW(LPCWSTR object, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted,
                                       PSID* owner, PSID* group, PACL* list, PACL* audit,
                                       PSECURITY_DESCRIPTOR* descriptor)
{
    if (type != SE_FILE_OBJECT || wanted != OWNER_SECURITY_INFORMATION || descriptor == nullptr)
        return originalOf<decltype(&GetNamedSecurityInfoW)>(securityInfoEntry)(object, type, wanted, owner, group,
                                                                              list, audit, descriptor);
    const std::uint64_t call = ownerCalls.fetch_add(1) + 1;
    const std::string sid = ownerOf(object, call);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(widen("O:" + sid).c_str(), SDDL_REVISION_1, descriptor,
                                                              nullptr))
        return GetLastError();
    BOOL defaulted = FALSE;
    if (owner != nullptr)
        GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    writeRecord("GetNamedSecurityInfoW", {{"object", narrow(object)}, {"call", decimal(call)}, {"owner", sid}});
    return ERROR_SUCCESS;
}

} // namespace

void installEmulations(const Plan& plan)
{
    owners = new Owners(plan.owners);
    securityInfoEntry = &intercept("GetNamedSecurityInfoW");
    securityInfoEntry->replacement = reinterpret_cast<void*>(&hookGetNamedSecurityInfoW);
    ownersSet = new std::map<std::wstring, std::string>();
    setSecurityEntry = &intercept("SetNamedSecurityInfoW");
    setSecurityEntry->replacement = reinterpret_cast<void*>(&hookSetNamedSecurityInfoW);
    children = new std::vector<ChildFolder>();
    removeDirectoryEntry = &intercept("RemoveDirectoryW");
    removeDirectoryEntry->replacement = reinterpret_cast<void*>(&hookRemoveDirectoryW);
    controlServiceEntry = &intercept("ControlService");
    controlServiceEntry->replacement = reinterpret_cast<void*>(&hookControlService);
}

void rememberChildFolder(HANDLE process, const std::wstring& folder)
{
    HANDLE copy = nullptr;
    if (children == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
        return; // without a handle there is nothing to wait for; the removal behaves as Wine's
    const std::lock_guard<std::mutex> hold(childrenLock);
    children->push_back({copy, comparable(folder.c_str())});
}
