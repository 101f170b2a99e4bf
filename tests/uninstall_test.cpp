// The uninstall sequence against a real installation made by headless_setup.exe in the test's
// prefix, with the sample console on a free port. Files held open, switches of the sample
// console and Linux-side links are real; the rule set's and the registry's refusals are the
// shim's (the rows say which).

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/links.h"
#include "tests/support/loopback_server.h"
#include "tests/support/machine_snapshot.h"
#include "tests/support/sample_switches.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

constexpr char NOT_RECOGNISED[] = "No recognized Console installation found. Nothing was removed.";
constexpr char LINKS[] = "Installation paths must not contain links or junctions";
constexpr char REMOVE_RULE[] = "Remove Quellmark Console HTTP";
// For the console that will not stop: the uninstall gives up after 60 short pauses.
constexpr char SHORT_PAUSES[] = "process headless_setup.exe\nfast Sleep max=100\nprocess *\n";

class Uninstall : public testing::Test {
protected:
    void SetUp() override
    {
        const HeadlessRun installed = headlessInstall(unusedLoopbackPort(), true);
        ASSERT_EQ(installed.outcome, "done firewallAdded=1") << installed.output;
    }
};

// A file held open without sharing: Windows will not delete it while the handle lives.
UniqueHandle hold(const fs::path& file)
{
    UniqueHandle handle(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_NE(handle.get(), INVALID_HANDLE_VALUE) << file.string();
    return handle;
}

// A folder moved aside and a link put in its place.
void replaceWithLink(const fs::path& folder)
{
    const fs::path aside = folder.wstring() + L" (moved)";
    fs::rename(folder, aside);
    makeDirectoryLink(folder, aside);
}

struct Refusal {
    const char* name;
    bool deleteData;
    std::function<void()> arrange;
    std::string expected;
    std::string plan = "";
};

// A marker that begins like ours and goes on for a gigabyte (sparse on the Linux side).
void padToAGigabyte(const fs::path& marker)
{
    const UniqueHandle file(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    size.QuadPart = 1LL << 30;
    ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
}

std::string foreignOwner(const fs::path& folder)
{
    return "The folder " + folder.string() + " is owned by another account, not by Administrators or the system, "
                                             "so it cannot be trusted. Check who created it, "
                                             "then remove it or make Administrators its owner, and try again.";
}

// The 64th read of the C runtime fails, and leaves a record: nothing reads that much but a
// marker that is read whole.
constexpr char READS_A_LOT[] = "fail _read call=64 errno=5 return=-1\n";

std::ostream& operator<<(std::ostream& out, const Refusal& refusal)
{
    return out << refusal.name;
}

class UninstallRefusal : public Uninstall, public testing::WithParamInterface<Refusal> {};

} // namespace

// Every refusal comes before the first change: the console keeps running and nothing moves.
TEST_P(UninstallRefusal, LeavesTheInstallationAsItWas)
{
    const Refusal& refusal = GetParam();
    refusal.arrange();
    const MachineSnapshot before = takeSnapshot();
    const HeadlessRun run = headlessUninstall(refusal.deleteData, refusal.plan + READS_A_LOT);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.outcome, refusal.expected);
    EXPECT_THAT(readShimRecords("_read"), IsEmpty()) << "a marker is short and is not read whole";
    EXPECT_THAT(run.reports, IsEmpty());
    EXPECT_EQ(serviceState(), SERVICE_RUNNING);
    EXPECT_THAT(changes(before, takeSnapshot(), {dataDir() / L"logs"}), IsEmpty());
    EXPECT_THAT(firewallCalls(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryRefusal, UninstallRefusal,
    testing::Values(
        Refusal{"MarkerWithCrLf", false,
                [] { writeBytes(appDir() / L"product.txt", "QuellmarkConsoleApp/1\r\n"); }, NOT_RECOGNISED},
        Refusal{"MarkerMissing", false, [] { fs::remove(appDir() / L"product.txt"); }, NOT_RECOGNISED},
        Refusal{"DataMarkerForeign", true,
                [] { writeBytes(dataDir() / L"product.txt", "QuellmarkConsoleApp/1\n"); },
                "Unrecognized data folder; refusing to delete it."},
        Refusal{"DataMarkerMissing", true, [] { fs::remove(dataDir() / L"product.txt"); },
                "Cannot read C:\\ProgramData\\Vostrel\\Quellmark Console\\product.txt"},
        Refusal{"MarkerFollowedByAGigabyte", false, [] { padToAGigabyte(appDir() / L"product.txt"); }, NOT_RECOGNISED},
        Refusal{"DataMarkerFollowedByAGigabyte", true, [] { padToAGigabyte(dataDir() / L"product.txt"); },
                "Unrecognized data folder; refusing to delete it."},
        // Wine keeps no owners: the shim answers them, by call (the maker folder, then the data folder).
        Refusal{"DataFolderOwnedByAnotherAccount", true, [] {}, foreignOwner(dataDir()),
                "value GetNamedSecurityInfoW owner=S-1-5-21-1-2-3-1001 call=2\n"},
        Refusal{"MakerFolderOwnedByAnotherAccount", true, [] {}, foreignOwner(dataDir().parent_path()),
                "value GetNamedSecurityInfoW owner=S-1-5-21-1-2-3-1001 call=1\n"},
        // The state of the data folder cannot be read (the fourth file status the uninstall asks
        // for, after the application marker's and the two owners' checks): it counts as there, so
        // it is recognised before anything is removed, and this one is not ours.
        Refusal{"DataFolderStateUnreadable", true,
                [] { writeBytes(dataDir() / L"product.txt", "QuellmarkConsoleApp/1\n"); },
                "Unrecognized data folder; refusing to delete it.", "fail _wstat64 call=4 errno=13 return=-1\n"},
        Refusal{"LinkOnApplicationFolder", false, [] { replaceWithLink(appDir()); }, LINKS},
        Refusal{"LinkOnMakerFolder", false, [] { replaceWithLink(appDir().parent_path()); }, LINKS},
        Refusal{"LinkOnDataFolder", false, [] { replaceWithLink(dataDir()); }, LINKS}),
    [](const testing::TestParamInfo<Refusal>& row) { return std::string(row.param.name); });

namespace {

// What is still there after a failed uninstall, in the order the uninstall removes things.
struct Left {
    bool service, shortcuts, application, marker, entry, data;
    bool operator==(const Left&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Left& left)
{
    return out << "service " << left.service << ", shortcuts " << left.shortcuts << ", application "
               << left.application << ", its marker " << left.marker << ", entry " << left.entry << ", data "
               << left.data;
}

Left whatIsLeft()
{
    return {serviceState() != 0, fs::exists(shortcuts()), fs::exists(appDir()), fs::exists(appDir() / L"product.txt"),
            !uninstallValue(L"DisplayName").empty(), fs::exists(dataDir())};
}

struct StepFailure {
    const char* name;
    bool deleteData;
    std::function<UniqueHandle()> arrange; // may hold a file open for the length of the run
    std::string plan;
    std::string expected; // where it ends in "\\", the name of the file that was held follows
    bool ruleRemovalAsked;
    Left left;
};

std::ostream& operator<<(std::ostream& out, const StepFailure& failure)
{
    return out << failure.name;
}

class UninstallStep : public Uninstall, public testing::WithParamInterface<StepFailure> {};

UniqueHandle nothing()
{
    return nullptr;
}

// The uninstall's file deletions: the two shortcuts, every file of the package, then the
// settings and the uninstaller.
int uninstallerDeletion()
{
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(sampleFolder()))
        files += entry.is_regular_file() ? 1 : 0;
    return 2 + files + 2;
}

std::string failDeletion(int call)
{
    return "fail DeleteFileW call=" + std::to_string(call) + " error=32 return=0\n";
}

} // namespace

// Steps 7 to 13 fail in turn; there is no rollback, and exactly what came before is gone.
TEST_P(UninstallStep, LeavesWhatItHadNotRemovedYet)
{
    const StepFailure& failure = GetParam();
    const UniqueHandle held = failure.arrange();
    const HeadlessRun run = headlessUninstall(failure.deleteData, failure.plan);
    EXPECT_EQ(run.exitCode, 1u);
    if (failure.expected.back() == '\\')
        EXPECT_THAT(run.outcome, testing::StartsWith(failure.expected));
    else
        EXPECT_EQ(run.outcome, failure.expected);
    EXPECT_EQ(firewallCalls(), failure.ruleRemovalAsked ? std::vector<std::string>{REMOVE_RULE}
                                                        : std::vector<std::string>{});
    EXPECT_EQ(whatIsLeft(), failure.left);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, UninstallStep,
    testing::Values(
        StepFailure{"ServiceKeepsRunning", false,
                    [] { setSampleSwitch(L"Service", L"IgnoreStop", 1); return nothing(); }, SHORT_PAUSES,
                    "Console could not be stopped. Application and data were retained; retry uninstall after "
                    "stopping its service.",
                    false, {true, true, true, true, true, true}},
        StepFailure{"RuleNotRemoved", false, nothing, "fail INetFwRules::Remove call=1 return=0x80070005\n",
                    "Remove Console firewall rule (HRESULT 0x80070005): Access denied.\r\n", true,
                    {false, true, true, true, true, true}},
        StepFailure{"ShortcutHeldOpen", false, [] { return hold(shortcuts() / L"Open Console.url"); }, "",
                    "filesystem error: cannot remove all: Sharing violation [C:\\ProgramData\\Microsoft\\Windows\\"
                    "Start Menu\\Programs\\Quellmark Console] [C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\"
                    "Programs\\Quellmark Console\\Open Console.url]",
                    true, {false, true, true, true, true, true}},
        StepFailure{"ApplicationFileHeldOpen", false, [] { return hold(appDir() / L"README.txt"); }, "",
                    "filesystem error: cannot remove all: Sharing violation [C:\\Program Files\\Vostrel\\"
                    "Quellmark Console] [C:\\Program Files\\Vostrel\\Quellmark Console\\README.txt]",
                    true, {false, false, true, true, true, true}},
        // Everything else in the folder is gone and the settings too when the uninstaller will not
        // go: the marker, which goes after it, and the entry stay.
        StepFailure{"UninstallerHeldLast", false, nothing, failDeletion(uninstallerDeletion()),
                    "filesystem error: cannot remove all: Sharing violation [C:\\Program Files\\Vostrel\\"
                    "Quellmark Console] [C:\\Program Files\\Vostrel\\Quellmark Console\\Uninstall.exe]",
                    true, {false, false, true, true, true, true}},
        StepFailure{"EntryNotRemoved", false, nothing, "fail RegDeleteTreeW call=1 return=5\n",
                    "Remove Installed Apps entry (5): Access denied.\r\n", true,
                    {false, false, false, false, true, true}},
        StepFailure{"DataFileHeldOpen", true,
                    [] {
                        writeBytes(dataDir() / L"data" / L"accounts.db", "user data");
                        return hold(dataDir() / L"data" / L"accounts.db");
                    },
                    "",
                    "filesystem error: cannot remove all: Sharing violation [C:\\ProgramData\\Vostrel\\Quellmark "
                    "Console] [C:\\ProgramData\\Vostrel\\Quellmark Console\\data\\accounts.db]",
                    true, {false, false, false, false, false, true}}),
    [](const testing::TestParamInfo<StepFailure>& row) { return std::string(row.param.name); });

namespace {

struct Settings {
    const char* name;
    const char* content; // nullptr: no console.ini at all
    bool ruleRemoved;
};

std::ostream& operator<<(std::ostream& out, const Settings& settings)
{
    return out << settings.name;
}

class UninstallSettings : public Uninstall, public testing::WithParamInterface<Settings> {};

} // namespace

// Only a non-zero Firewall value removes the rule; without the settings file nothing is removed
// that the installation may not have added.
TEST_P(UninstallSettings, DecideWhetherTheRuleIsRemoved)
{
    const Settings& settings = GetParam();
    if (settings.content != nullptr)
        writeBytes(appDir() / L"console.ini", settings.content);
    else
        fs::remove(appDir() / L"console.ini");
    const HeadlessRun run = headlessUninstall(false);
    EXPECT_EQ(run.outcome, "done");
    EXPECT_EQ(firewallCalls(), settings.ruleRemoved ? std::vector<std::string>{REMOVE_RULE}
                                                    : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    EveryFlag, UninstallSettings,
    testing::Values(Settings{"NoSettingsFile", nullptr, false},
                    Settings{"FirewallZero", "[Console]\r\nPort=8080\r\nFirewall=0\r\n", false},
                    Settings{"FirewallTwo", "[Console]\r\nPort=8080\r\nFirewall=2\r\n", true}),
    [](const testing::TestParamInfo<Settings>& row) { return std::string(row.param.name); });

// Asked to delete the data when there is no data folder: nothing to recognise, and removing
// what is not there is no error.
// Stops the console and waits until it has stopped. A running console logs each request just
// after answering it, so the installation's last health request may still recreate "logs" while
// the data folder is being deleted.
void stopConsole()
{
    const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueService service(OpenServiceW(manager.get(), L"QuellmarkConsole", SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_NE(service.get(), nullptr);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    for (int poll = 0; poll < 300 && status.dwCurrentState != SERVICE_STOPPED; ++poll) {
        Sleep(100);
        ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    }
    ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(Uninstall, DeletesTheDataEvenWhenThereIsNoDataFolder)
{
    stopConsole();
    fs::remove_all(dataDir());
    const HeadlessRun run = headlessUninstall(true);
    EXPECT_EQ(run.outcome, "done");
    EXPECT_EQ(run.reports, (std::vector<std::pair<int, std::string>>{
                               {10, "Stopping Console safely..."},
                               {55, "Removing application and shortcuts..."},
                               {85, "Removing saved data..."},
                               {100, "Console and its data have been removed."}}));
    EXPECT_EQ(whatIsLeft(), (Left{false, false, false, false, false, false}));
}
