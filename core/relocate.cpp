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

// When the folder does not fit, GetTempPathW fills nothing and returns the size it needs, so it
// is asked again with that size.
fs::path temporaryFolder()
{
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    while (length >= buffer.size()) {
        buffer.assign(length, L'\0');
        length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    require(length != 0, "Locate temporary folder");
    buffer.resize(length);
    return buffer;
}

std::wstring newSessionName()
{
    GUID guid{};
    require(CoCreateGuid(&guid) >= 0, "Create uninstall session");
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
