#include "core/relocate.h"

#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace {

// Owned by Administrators, and only SYSTEM and Administrators have access, nothing inherited
// from the temporary folder: no unelevated program, not even one of the administrator's own,
// can open the folder, replace the copy before it starts, or change the list. Without the owner
// here, the "object creator" owner policy would give the folder to the administrator's own
// account, whose unelevated programs could then rewrite its list.
constexpr wchar_t SESSION_PROTECTION[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Windows compares file names without regard to case, so "C:\PROGRAM FILES\..." is the
// application folder too; element by element, so that doubled separators do not matter.
bool sameFolder(const fs::path& first, const fs::path& second)
{
    auto a = first.begin();
    auto b = second.begin();
    for (; a != first.end() && b != second.end(); ++a, ++b) {
        const std::wstring& x = a->native();
        const std::wstring& y = b->native();
        if (CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()),
                                 TRUE) != CSTR_EQUAL)
            return false;
    }
    return a == first.end() && b == second.end();
}

} // namespace

// Not the user's own temporary folder: there the unelevated user may rename or delete anything,
// so a program of theirs could swap the session folder for another folder or a junction, have
// this elevated wizard start an Uninstall.exe of theirs, or redirect the deletions that the
// system carries out at the restart. In the Windows folder's Temp users may create, but not
// rename or delete what others created (no delete-child right there), and the folder's own list
// grants only SYSTEM and Administrators, so it stays ours from its creation until the restart
// removes it. GetSystemWindowsDirectoryW, since on a terminal server GetWindowsDirectoryW can
// name a private folder of the user's.
fs::path systemTemporaryFolder()
{
    std::wstring buffer(MAX_PATH, L'\0');
    // A buffer that is too small is filled with nothing; the answer is the size needed.
    UINT length = GetSystemWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    while (length >= buffer.size()) {
        buffer.assign(length, L'\0');
        length = GetSystemWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    }
    require(length != 0, "Locate temporary folder");
    buffer.resize(length);
    return fs::path(buffer) / L"Temp";
}

namespace {

std::wstring newSessionName()
{
    GUID guid{};
    const HRESULT created = CoCreateGuid(&guid);
    // COM returns its failure and leaves the thread's last error alone.
    requireCode(created >= 0, static_cast<unsigned long>(created), "Create uninstall session");
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return SESSION_PREFIX + std::wstring(text);
}

void createSessionFolder(const fs::path& folder)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    require(ConvertStringSecurityDescriptorToSecurityDescriptorW(SESSION_PROTECTION, SDDL_REVISION_1, &raw, nullptr),
            "Secure uninstall session");
    const LocalPtr<void> descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    require(CreateDirectoryW(folder.c_str(), &attributes), "Create uninstall session");
}

UniqueHandle startCopy(const fs::path& copy, const fs::path& folder, const std::wstring& options)
{
    std::wstring commandLine =
        quote(copy.wstring()) + L" --uninstall" + options + L" --parent " + std::to_wstring(GetCurrentProcessId());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // No inherited handles and the session folder as current folder: the copy keeps nothing of
    // the application folder open.
    require(CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                           &startup, &started),
            "Open uninstall wizard");
    // Windows lets only the foreground process bring a window to the front; without its leave the
    // copy's window would open behind Installed apps with a flashing taskbar button. Refused, the
    // copy still runs and the user finds it on the taskbar, so the result is not looked at.
    AllowSetForegroundWindow(started.dwProcessId);
    CloseHandle(started.hThread);
    return UniqueHandle(started.hProcess);
}

// Whether two access lists hold the same entries in the same order, byte for byte.
bool sameEntries(PACL first, PACL second)
{
    if (first == nullptr || second == nullptr || first->AceCount != second->AceCount)
        return false;
    for (WORD i = 0; i < first->AceCount; ++i) {
        void* a = nullptr;
        void* b = nullptr;
        if (!GetAce(first, i, &a) || !GetAce(second, i, &b))
            return false;
        const WORD size = static_cast<ACE_HEADER*>(a)->AceSize;
        if (size != static_cast<ACE_HEADER*>(b)->AceSize || std::memcmp(a, b, size) != 0)
            return false;
    }
    return true;
}

// Whether the folder itself, not where a link would lead, has exactly the owner and the protected
// list that relocate() gives a session folder.
bool protectedAsSession(const fs::path& folder)
{
    const UniqueHandle held(CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (held.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(held.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return false;
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetSecurityInfo(held.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &list, nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const LocalPtr<void> actual(raw);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(raw, &control, &revision);
    PSECURITY_DESCRIPTOR wantedRaw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SESSION_PROTECTION, SDDL_REVISION_1, &wantedRaw, nullptr))
        return false;
    const LocalPtr<void> wanted(wantedRaw);
    PSID wantedOwner = nullptr;
    PACL wantedList = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(wantedRaw, &wantedOwner, &defaulted);
    GetSecurityDescriptorDacl(wantedRaw, &present, &wantedList, &defaulted);
    return (control & SE_DACL_PROTECTED) != 0 && owner != nullptr && EqualSid(owner, wantedOwner) &&
           sameEntries(list, wantedList);
}

// Before the copy starts, so that nothing of this process is left in the application folder by
// the time the copy removes it: into the session folder or, where Program Files is on another
// volume than Windows, into the maker's folder under the session's name, since a running program
// can be renamed on its volume but not moved off it. A file that cannot be moved at all stays; the
// copy then reports it in use, and the uninstall can be run again. A run killed between this move
// and the copy's start leaves it there, and the application folder without its uninstaller; the
// setup program started with --uninstall from any other folder still removes the installation.
void setAside(Relocation& relocation)
{
    SetCurrentDirectoryW(relocation.folder.c_str()); // a failure keeps the folder in use, as the move would
    const fs::path maker = relocation.program.parent_path().parent_path();
    for (const fs::path& aside :
         {relocation.folder / L"Uninstall.waiting.exe", maker / (relocation.folder.filename().wstring() + L".exe")}) {
        if (MoveFileExW(relocation.program.c_str(), aside.c_str(), 0)) {
            relocation.setAside = aside;
            return;
        }
    }
}

// Only once the copy runs: a deletion scheduled for the restart cannot be taken back, and a copy
// that never started leaves the program to be put back. Scheduled before the copy schedules its
// own file and the folder; Windows removes a folder there only once it is empty, so the maker's
// folder goes only when nothing else was put in it. A failure here, or a run killed before it,
// leaves the file where it is, in the protected session folder or the maker's, until removed by hand.
void scheduleAsideRemoval(const Relocation& relocation)
{
    if (relocation.setAside.empty())
        return;
    MoveFileExW(relocation.setAside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    if (relocation.setAside.parent_path() != relocation.folder)
        MoveFileExW(relocation.setAside.parent_path().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

} // namespace

bool isSessionFolder(const fs::path& folder)
{
    return folder.filename().wstring().starts_with(SESSION_PREFIX) &&
           sameFolder(folder.parent_path(), systemTemporaryFolder()) && protectedAsSession(folder);
}

Relocation relocate(const std::wstring& options, bool stepAside)
{
    const fs::path application = appDir();
    const fs::path program = exePath();
    if (!sameFolder(program.parent_path(), application))
        return {};
    const fs::path session = systemTemporaryFolder() / newSessionName();
    createSessionFolder(session);
    const fs::path copy = session / L"Uninstall.exe";
    require(CopyFileW(program.c_str(), copy.c_str(), TRUE), "Prepare uninstall wizard");
    Relocation relocation{nullptr, session, program, {}};
    if (stepAside)
        setAside(relocation);
    try {
        relocation.copy = startCopy(copy, session, options);
    } catch (...) {
        putBack(relocation); // both uninstall commands name it
        throw;
    }
    scheduleAsideRemoval(relocation);
    return relocation;
}

void putBack(const Relocation& relocation)
{
    if (!relocation.setAside.empty())
        MoveFileExW(relocation.setAside.c_str(), relocation.program.c_str(), 0); // a failure leaves it aside
}
