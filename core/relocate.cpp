#include "core/relocate.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <filesystem>
#include <string>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace {

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

// Not the user's own temporary folder: there the unelevated user may rename or delete anything,
// so a program of theirs could swap the session folder for another folder or a junction, have
// this elevated wizard start an Uninstall.exe of theirs, or redirect the deletions that the
// system carries out at the restart. In the Windows folder's Temp users may create, but not
// rename or delete what others created (no delete-child right there), and the folder's own list
// grants only SYSTEM and Administrators, so it stays ours from its creation until the restart
// removes it. GetSystemWindowsDirectoryW, since on a terminal server GetWindowsDirectoryW can
// name a private folder of the user's.
fs::path temporaryFolder()
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

// Only SYSTEM and Administrators, nothing inherited from the temporary folder: a standard user
// must not be able to swap the program that the elevated copy runs.
void createSessionFolder(const fs::path& folder)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    require(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                                 SDDL_REVISION_1, &raw, nullptr),
            "Secure uninstall session");
    const LocalPtr<void> descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    require(CreateDirectoryW(folder.c_str(), &attributes), "Create uninstall session");
}

void startCopy(const fs::path& copy, const fs::path& folder)
{
    std::wstring commandLine = quote(copy.wstring()) + L" --uninstall --parent " + std::to_wstring(GetCurrentProcessId());
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
    CloseHandle(started.hProcess);
}

} // namespace

bool relocate()
{
    const fs::path application = appDir();
    const fs::path program = exePath();
    if (!sameFolder(program.parent_path(), application))
        return false;
    const fs::path session = temporaryFolder() / newSessionName();
    createSessionFolder(session);
    const fs::path copy = session / L"Uninstall.exe";
    require(CopyFileW(program.c_str(), copy.c_str(), TRUE), "Prepare uninstall wizard");
    startCopy(copy, session);
    return true;
}
