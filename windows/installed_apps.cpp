#include "windows/installed_apps.h"

#include <windows.h>

#include <cwchar>
#include <optional>
#include <string>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "common/text.h"

namespace {

std::wstring uninstallerPath()
{
    return (appDir() / L"Uninstall.exe").wstring();
}

// The text of a REG_SZ value; none when the value is not there.
std::optional<std::wstring> readString(HKEY key, const wchar_t* name)
{
    DWORD bytes = 0;
    LSTATUS status = RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
        return std::nullopt;
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (status == ERROR_SUCCESS)
        status = RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes);
    requireCode(status == ERROR_SUCCESS, static_cast<unsigned long>(status), "Check Installed Apps entry");
    text.resize(wcsnlen(text.c_str(), text.size())); // the size counts the terminating NUL
    return text;
}

void writeString(HKEY key, const wchar_t* name, const std::wstring& value)
{
    // The stored size counts the terminating NUL, as Windows expects of REG_SZ data.
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    const LSTATUS status =
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    requireCode(status == ERROR_SUCCESS, static_cast<unsigned long>(status), "Write installation record");
}

void writeNumber(HKEY key, const wchar_t* name, DWORD value)
{
    // Only hints for the Installed apps page; an entry without them still works.
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void addEntry()
{
    HKEY created = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, nullptr, 0,
                                           KEY_WRITE | KEY_WOW64_64KEY, nullptr, &created, nullptr);
    requireCode(status == ERROR_SUCCESS, static_cast<unsigned long>(status), "Register Installed Apps entry");
    const UniqueRegistryKey key(created);

    const std::wstring folder = appDir().wstring();
    const std::wstring uninstaller = uninstallerPath();
    writeString(key.get(), L"DisplayName", PRODUCT);
    writeString(key.get(), L"DisplayVersion", VERSION_TEXT);
    writeString(key.get(), L"Publisher", MAKER);
    writeString(key.get(), L"InstallLocation", folder);
    writeString(key.get(), L"DisplayIcon", uninstaller); // bare path: an icon source, not a command
    writeString(key.get(), L"UninstallString", uninstallCommand());
    // What deployment tools and package managers run to remove the product with nobody at the
    // screen; it keeps the saved data, as the wizard does unless asked otherwise.
    writeString(key.get(), L"QuietUninstallString", uninstallCommand() + L" --quiet");
    writeString(key.get(), L"URLInfoAbout", MANUAL_URL);
    writeNumber(key.get(), L"NoModify", 1);
    writeNumber(key.get(), L"NoRepair", 1);
}

void removeEntry()
{
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
    // Not found means there is no entry to remove, which is what the caller wants.
    requireCode(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND, static_cast<unsigned long>(status),
                "Remove Installed Apps entry");
}

} // namespace

void registerUninstall(bool add)
{
    if (add)
        addEntry();
    else
        removeEntry();
}

std::wstring uninstallCommand()
{
    return quote(uninstallerPath()) + L" --uninstall";
}

InstalledAppsEntry readInstalledAppsEntry()
{
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &opened);
    const UniqueRegistryKey key(opened);
    if (status == ERROR_FILE_NOT_FOUND)
        return {};
    requireCode(status == ERROR_SUCCESS, static_cast<unsigned long>(status), "Check Installed Apps entry");
    return {true, readString(key.get(), L"UninstallString")};
}
