#include "tests/support/machine_snapshot.h"

#include <windows.h>

#include <algorithm>

#include "common/text.h"

namespace fs = std::filesystem;

namespace {

bool leftOut(const fs::path& p, const fs::path& temporary)
{
    // Wine's profile folders (Documents, Desktop...) are links into the Linux home: not ours.
    const DWORD attributes = GetFileAttributesW(p.c_str());
    return p == L"C:\\windows" || p == temporary || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::map<std::wstring, std::uintmax_t> files()
{
    std::map<std::wstring, std::uintmax_t> found;
    const fs::path temporary = fs::temp_directory_path().parent_path(); // without the final separator
    const auto options = fs::directory_options::skip_permission_denied;
    for (auto it = fs::recursive_directory_iterator(L"C:\\", options); it != fs::recursive_directory_iterator(); ++it) {
        if (leftOut(it->path(), temporary)) {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code error;
        found[it->path().wstring()] = it->is_regular_file(error) ? it->file_size(error) : 0;
    }
    return found;
}

std::set<std::wstring> uninstallKeys()
{
    std::set<std::wstring> keys;
    HKEY uninstall = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                  KEY_READ | KEY_WOW64_64KEY, &uninstall);
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(uninstall, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        keys.insert(name);
    }
    RegCloseKey(uninstall);
    return keys;
}

std::set<std::wstring> services()
{
    std::set<std::wstring> names;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    std::vector<BYTE> buffer(256 * 1024);
    DWORD needed = 0, count = 0;
    EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                          static_cast<DWORD>(buffer.size()), &needed, &count, nullptr, nullptr);
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        names.insert(entries[i].lpServiceName);
    CloseServiceHandle(manager);
    return names;
}

bool ignoredPath(const std::wstring& p, const std::vector<fs::path>& ignored)
{
    return std::any_of(ignored.begin(), ignored.end(), [&](const fs::path& folder) {
        const std::wstring prefix = folder.wstring();
        return p == prefix || p.rfind(prefix + L"\\", 0) == 0;
    });
}

template <typename Set>
void compareNames(const char* kind, const Set& before, const Set& after, std::vector<std::string>& found)
{
    for (const auto& name : after)
        if (!before.count(name))
            found.push_back(std::string("+ ") + kind + " " + narrow(name));
    for (const auto& name : before)
        if (!after.count(name))
            found.push_back(std::string("- ") + kind + " " + narrow(name));
}

} // namespace

MachineSnapshot takeSnapshot()
{
    return {files(), uninstallKeys(), services()};
}

std::vector<std::string> changes(const MachineSnapshot& before, const MachineSnapshot& after,
                                 const std::vector<fs::path>& ignored)
{
    std::vector<std::string> found;
    for (const auto& [path, size] : after.files) {
        if (ignoredPath(path, ignored))
            continue;
        const auto earlier = before.files.find(path);
        if (earlier == before.files.end())
            found.push_back("+ " + narrow(path));
        else if (earlier->second != size)
            found.push_back("~ " + narrow(path));
    }
    for (const auto& [path, size] : before.files)
        if (!ignoredPath(path, ignored) && !after.files.count(path))
            found.push_back("- " + narrow(path));
    compareNames("key", before.uninstallKeys, after.uninstallKeys, found);
    compareNames("service", before.services, after.services, found);
    std::sort(found.begin(), found.end());
    return found;
}
