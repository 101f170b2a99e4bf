#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "windows/installed_apps.h"
#include "tests/support/failures.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

using testing::ElementsAre;
using testing::StartsWith;

namespace {

// The key that earlier installations wrote and that Installed apps lists.
constexpr wchar_t ENTRY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuellmarkConsole";

struct StoredValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

UniqueRegistryKey openEntry(REGSAM access = KEY_READ)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ENTRY, 0, access | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
    return UniqueRegistryKey(key);
}

StoredValue readValue(HKEY key, const wchar_t* name)
{
    StoredValue value;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return {};
    value.data.resize(size);
    RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    return value;
}

// The exact bytes Windows stores for a REG_SZ written with its terminating NUL.
std::vector<BYTE> textBytes(const std::wstring& text)
{
    const auto* first = reinterpret_cast<const BYTE*>(text.c_str());
    return {first, first + (text.size() + 1) * sizeof(wchar_t)};
}

std::vector<std::wstring> valueNames(HKEY key)
{
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

std::string failureOf(bool add)
{
    return failureText([add] { registerUninstall(add); });
}

bool entryExists()
{
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ENTRY, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    const UniqueRegistryKey owner(key);
    return opened == ERROR_SUCCESS;
}

} // namespace

TEST(InstalledApps, WritesTheTenValuesWithTypesAndSizes)
{
    registerUninstall(true);
    const UniqueRegistryKey key = openEntry();
    const std::wstring uninstaller = L"C:\\Program Files\\Vostrel\\Quellmark Console\\Uninstall.exe";
    const struct {
        const wchar_t* name;
        std::wstring text;
    } texts[] = {
        {L"DisplayName", L"Quellmark Console"},
        {L"DisplayVersion", L"0.2.3 build 0012"},
        {L"Publisher", L"Vostrel"},
        {L"InstallLocation", L"C:\\Program Files\\Vostrel\\Quellmark Console"},
        {L"DisplayIcon", uninstaller},
        {L"UninstallString", L"\"" + uninstaller + L"\" --uninstall"},
        {L"QuietUninstallString", L"\"" + uninstaller + L"\" --uninstall --quiet"},
        {L"URLInfoAbout", L"https://www.vostrel.com/manual/console/#windows-server"},
    };
    for (const auto& expected : texts) {
        const StoredValue stored = readValue(key.get(), expected.name);
        EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ)) << testing::PrintToString(expected.name);
        EXPECT_EQ(stored.data, textBytes(expected.text)) << testing::PrintToString(expected.name);
    }
    for (const wchar_t* flag : {L"NoModify", L"NoRepair"}) {
        const StoredValue stored = readValue(key.get(), flag);
        EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(stored.data, (std::vector<BYTE>{1, 0, 0, 0}));
    }
    EXPECT_EQ(valueNames(key.get()).size(), 10u);
}

TEST(InstalledApps, AddingAgainKeepsForeignValues)
{
    registerUninstall(true);
    UniqueRegistryKey key = openEntry(KEY_READ | KEY_WRITE);
    const DWORD size = 4242;
    ASSERT_EQ(RegSetValueExW(key.get(), L"EstimatedSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&size), sizeof size),
              ERROR_SUCCESS);
    const wchar_t stale[] = L"old";
    ASSERT_EQ(RegSetValueExW(key.get(), L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(stale), sizeof stale),
              ERROR_SUCCESS);
    key.reset();

    registerUninstall(true);
    key = openEntry();
    EXPECT_EQ(readValue(key.get(), L"EstimatedSize").data, (std::vector<BYTE>{0x92, 0x10, 0, 0}));
    EXPECT_EQ(readValue(key.get(), L"DisplayVersion").data, textBytes(L"0.2.3 build 0012")) << "latest data wins";
    EXPECT_EQ(valueNames(key.get()).size(), 11u);
}

TEST(InstalledApps, RemovingDeletesTheWholeKeyAndToleratesAMissingOne)
{
    registerUninstall(true);
    const wchar_t nested[] = L"a subkey of its own";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(ENTRY) + L"\\Nested").c_str(), L"Value", REG_SZ, nested,
                              sizeof nested),
              ERROR_SUCCESS);

    registerUninstall(false);
    EXPECT_FALSE(entryExists());
    EXPECT_NO_THROW(registerUninstall(false)) << "nothing to remove is not a failure";
}

// The registry refuses nothing here, so its refusals come from the test shim.
using InstalledAppsFailure = ShimUnloaded;

TEST_F(InstalledAppsFailure, AValueThatCannotBeWrittenStopsTheEntryThere)
{
    loadShim("fail RegSetValueExW call=3 return=5\nrecord RegSetValueExW args=p,ws\n");
    EXPECT_THAT(failureOf(true), StartsWith("Write installation record (5): "));
    // Wine lists values by name, Windows in the order written; the shim shows that order.
    EXPECT_THAT(recordedFields("RegSetValueExW", {"arg2"}),
                ElementsAre("arg2=DisplayName", "arg2=DisplayVersion", "arg2=Publisher"));
    unloadShim();
    EXPECT_EQ(valueNames(openEntry().get()), (std::vector<std::wstring>{L"DisplayName", L"DisplayVersion"}))
        << "the values before the failed one stay for the caller's rollback to remove";
}

TEST_F(InstalledAppsFailure, AKeyThatCannotBeCreatedWritesNothing)
{
    loadShim("fail RegCreateKeyExW call=1 return=5\nrecord RegCreateKeyExW args=p,ws,d,p,d,x\n");
    EXPECT_THAT(failureOf(true), StartsWith("Register Installed Apps entry (5): "));
    EXPECT_THAT(recordedFields("RegCreateKeyExW", {"arg6"}), ElementsAre("arg6=0x20106")) << "KEY_WRITE in the 64-bit view";
    unloadShim();
    EXPECT_FALSE(entryExists());
}

TEST_F(InstalledAppsFailure, ARemovalRefusedForAnotherReasonThanNotFoundIsReported)
{
    registerUninstall(true);
    loadShim("fail RegDeleteTreeW call=1 return=5\n");
    EXPECT_THAT(failureOf(false), StartsWith("Remove Installed Apps entry (5): "));
    unloadShim();
    EXPECT_TRUE(entryExists());
}
