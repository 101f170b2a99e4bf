#include "tests/shim/emulations.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <functional>
#include <mutex>
#include <vector>

#include "common/text.h"
#include "tests/shim/intercept.h"
#include "tests/shim/records.h"

namespace {

Entry* removeDirectoryEntry = nullptr;
Entry* controlServiceEntry = nullptr;
Entry* getNamedEntry = nullptr;
Entry* getHandleEntry = nullptr;
Entry* createFileEntry = nullptr;
Entry* fileInformationEntry = nullptr;
std::mutex linksLock;
std::vector<HANDLE>* linksOpened = nullptr; // handles of links opened as themselves; never freed
Owners* owners = nullptr;
std::atomic<std::uint64_t> ownerCalls{0}; // over both kinds of owner queries

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

std::wstring pathOf(HANDLE handle)
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    path.resize(length < path.size() ? length : 0);
    return path;
}

// Windows keeps the owner and the access list of every file; Wine 8 reports the current user as
// the owner of all of them and a list of its own. They come from the plan instead: the owner is
// Administrators, the owner of what an elevated setup (or a test acting as one) creates, unless
// the plan gives another, for all queries or for one; the list is the plan's, where it gives one.
DWORD answer(const char* function, const std::wstring& object, SECURITY_INFORMATION wanted, PSID* owner, PACL* list,
             PSECURITY_DESCRIPTOR* descriptor, const std::function<DWORD(PSECURITY_DESCRIPTOR*)>& fromWine)
{
    const std::uint64_t call = ownerCalls.fetch_add(1) + 1;
    std::string sid = owners->all;
    for (const auto& [given, other] : owners->calls)
        sid = given == call ? other : sid;
    std::string access = owners->list;
    wchar_t* made = nullptr;
    PSECURITY_DESCRIPTOR wine = nullptr;
    if ((wanted & DACL_SECURITY_INFORMATION) != 0 && access.empty() && fromWine(&wine) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(wine, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &made,
                                                             nullptr))
        access = narrow(made);
    LocalFree(made);
    LocalFree(wine);
    if ((wanted & DACL_SECURITY_INFORMATION) == 0)
        access.clear();
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(widen("O:" + sid + access).c_str(), SDDL_REVISION_1,
                                                              descriptor, nullptr))
        return GetLastError();
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (owner != nullptr)
        GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    if (list != nullptr)
        GetSecurityDescriptorDacl(*descriptor, &present, list, &defaulted);
    writeRecord(function, {{"object", narrow(object)}, {"call", decimal(call)}, {"owner", sid}, {"list", access}});
    return ERROR_SUCCESS;
}

bool answered(SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted, PSECURITY_DESCRIPTOR* descriptor)
{
    return type == SE_FILE_OBJECT && (wanted & OWNER_SECURITY_INFORMATION) != 0 &&
           (wanted & ~(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) == 0 && descriptor != nullptr;
}

DWORD WINAPI hookGetNamedSecurityInfoW(LPCWSTR object, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted,
                                       PSID* owner, PSID* group, PACL* list, PACL* audit,
                                       PSECURITY_DESCRIPTOR* descriptor)
{
    const auto original = originalOf<decltype(&GetNamedSecurityInfoW)>(getNamedEntry);
    if (!answered(type, wanted, descriptor))
        return original(object, type, wanted, owner, group, list, audit, descriptor);
    return answer("GetNamedSecurityInfoW", object, wanted, owner, list, descriptor, [&](PSECURITY_DESCRIPTOR* made) {
        return original(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, made);
    });
}

DWORD WINAPI hookGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted, PSID* owner,
                                 PSID* group, PACL* list, PACL* audit, PSECURITY_DESCRIPTOR* descriptor)
{
    const auto original = originalOf<decltype(&GetSecurityInfo)>(getHandleEntry);
    if (!answered(type, wanted, descriptor))
        return original(object, type, wanted, owner, group, list, audit, descriptor);
    return answer("GetSecurityInfo", pathOf(object), wanted, owner, list, descriptor, [&](PSECURITY_DESCRIPTOR* made) {
        return original(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, made);
    });
}

// Windows opens a link itself when asked to (FILE_FLAG_OPEN_REPARSE_POINT) and reports it as a
// reparse point; Wine 8 opens what a Linux-side link leads to and reports a plain folder. A
// handle opened so on a path that is a link reports the reparse point, as Windows' would. Every
// open goes through here, so a handle value that comes back for something else is forgotten.
HANDLE WINAPI hookCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const HANDLE opened = originalOf<decltype(&CreateFileW)>(createFileEntry)(path, access, share, attributes,
                                                                            disposition, flags, templateFile);
    if (opened == INVALID_HANDLE_VALUE)
        return opened;
    const DWORD error = GetLastError();
    const DWORD found = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 ? GetFileAttributesW(path) : 0;
    const bool link = found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const std::lock_guard<std::mutex> hold(linksLock);
    std::erase(*linksOpened, opened);
    if (link)
        linksOpened->push_back(opened);
    SetLastError(error);
    return opened;
}

BOOL WINAPI hookGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information)
{
    const BOOL ok = originalOf<decltype(&GetFileInformationByHandle)>(fileInformationEntry)(file, information);
    const std::lock_guard<std::mutex> hold(linksLock);
    if (ok && std::find(linksOpened->begin(), linksOpened->end(), file) != linksOpened->end())
        information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return ok;
}

} // namespace

void installEmulations(const Plan& plan)
{
    owners = new Owners(plan.owners);
    const auto replace = [](const char* name, void* hook) {
        Entry* entry = &intercept(name);
        entry->replacement = hook;
        return entry;
    };
    getNamedEntry = replace("GetNamedSecurityInfoW", reinterpret_cast<void*>(&hookGetNamedSecurityInfoW));
    getHandleEntry = replace("GetSecurityInfo", reinterpret_cast<void*>(&hookGetSecurityInfo));
    linksOpened = new std::vector<HANDLE>();
    createFileEntry = replace("CreateFileW", reinterpret_cast<void*>(&hookCreateFileW));
    fileInformationEntry =
        replace("GetFileInformationByHandle", reinterpret_cast<void*>(&hookGetFileInformationByHandle));
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
