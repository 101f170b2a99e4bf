// The uninstall sequence against a real installation made by headless_setup.exe in the test's
// prefix, with the sample console on a free port. Files held open, switches of the sample
// console and Linux-side links are real; the rule set's and the registry's refusals are the
// shim's (the rows say which).

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "common/jobs.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/links.h"
#include "tests/support/loopback_server.h"
#include "tests/support/machine_snapshot.h"
#include "tests/support/named_rows.h"
#include "tests/support/owners.h"
#include "tests/support/sample_switches.h"
#include "tests/support/services.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;
using testing::IsEmpty;

namespace {

constexpr char NOT_RECOGNISED[] = "No recognized Console installation found. Nothing was removed.";
constexpr char FOREIGN_DATA[] = "Unrecognized data folder; refusing to delete it.";
constexpr char LINKS[] = "Installation paths must not contain links or junctions";
const std::vector<std::string> RULE_REMOVED{"Remove Quellmark Console HTTP"};

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

struct Refusal : NamedRow {
    bool deleteData;
    std::function<void()> arrange;
    std::string expected;
    std::string plan = "";
};

class UninstallRefusal : public Uninstall, public testing::WithParamInterface<Refusal> {};

} // namespace

// Every refusal comes before the first change: the console keeps running and nothing moves. The
// markers are read only as far as a marker goes, far less than the gigabyte two rows pad them to.
TEST_P(UninstallRefusal, LeavesTheInstallationAsItWas)
{
    const Refusal& refusal = GetParam();
    refusal.arrange();
    const MachineSnapshot before = takeSnapshot();
    const HeadlessRun run = headlessUninstall(refusal.deleteData, refusal.plan + RECORD_READS);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.outcome, refusal.expected);
    EXPECT_LT(bytesAskedToRead(), 1u << 20);
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
        Refusal{"DataMarkerForeign", true, [] { writeBytes(dataDir() / L"product.txt", "QuellmarkConsoleApp/1\n"); },
                FOREIGN_DATA},
        Refusal{"DataMarkerMissing", true, [] { fs::remove(dataDir() / L"product.txt"); },
                "Cannot read " + DATA_FOLDER + "\\product.txt"},
        Refusal{"MarkerFollowedByAGigabyte", false, [] { padToAGigabyte(appDir() / L"product.txt"); }, NOT_RECOGNISED},
        Refusal{"DataMarkerFollowedByAGigabyte", true, [] { padToAGigabyte(dataDir() / L"product.txt"); },
                FOREIGN_DATA},
        // The owners are the shim's, by call: the maker folder, then the data folder.
        Refusal{"DataFolderOwnedByAnotherAccount", true, [] {}, ownedByAnotherAccount(DATA_FOLDER),
                ownerAnswer(ANOTHER_USER, 2)},
        Refusal{"MakerFolderOwnedByAnotherAccount", true, [] {}, ownedByAnotherAccount(L"C:\\ProgramData\\Vostrel"),
                ownerAnswer(ANOTHER_USER, 1)},
        // The state of the data folder cannot be read (the fourth file status the uninstall asks
        // for, after the application marker's and the two owners' checks): it counts as there, so
        // it is recognised before anything is removed, and this one is not ours.
        Refusal{"DataFolderStateUnreadable", true,
                [] { writeBytes(dataDir() / L"product.txt", "QuellmarkConsoleApp/1\n"); }, FOREIGN_DATA,
                "fail _wstat64 call=4 errno=13 return=-1\n"},
        Refusal{"LinkOnApplicationFolder", false, [] { replaceWithLink(appDir()); }, LINKS},
        Refusal{"LinkOnMakerFolder", false, [] { replaceWithLink(appDir().parent_path()); }, LINKS},
        Refusal{"LinkOnDataFolder", false, [] { replaceWithLink(dataDir()); }, LINKS}),
    rowName);

namespace {

// What is still there after a failed uninstall, in the order the uninstall removes things; the
// data folder counts as there while it carries its marker, which goes last.
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
            !uninstallValue(L"DisplayName").empty(), fs::exists(dataDir() / L"product.txt")};
}

struct StepFailure : NamedRow {
    bool deleteData;
    std::function<UniqueHandle()> arrange; // may hold a file open for the length of the run
    std::string plan;
    std::string expected;
    bool ruleRemovalAsked;
    Left left;
    void (*meanwhile)() = nullptr; // done where the plan pauses the run
};

class UninstallStep : public Uninstall, public testing::WithParamInterface<StepFailure> {};

UniqueHandle nothing()
{
    return nullptr;
}

// A program of the console's that someone started and that runs on: python.exe, told to hang. It
// ends with the job returned.
UniqueHandle consoleProgramRunning()
{
    setSampleSwitch(L"Runtime", L"Hang", 1);
    UniqueHandle job = killOnCloseJob("Create test job");
    std::wstring commandLine = L"python.exe";
    startInJob(job.get(), appDir() / L"runtime" / L"python.exe", commandLine, {}, "Start python.exe");
    return job;
}

const fs::path ELSEWHERE = L"C:\\elsewhere";
constexpr char NOT_THE_DATA[] = "not the data's";

// Once the removal of the data has begun, "data" or "logs", whichever the removal does not hold
// yet (it cannot be renamed while held), is swapped for a link to a folder elsewhere that holds
// files of the same names: what the console's own account could do then.
void swapAFolderOfTheDataForALink()
{
    for (const wchar_t* name : {L"data", L"logs"}) {
        const fs::path folder = dataDir() / name;
        const fs::path moved = folder.wstring() + L" (moved)";
        std::error_code held;
        fs::rename(folder, moved, held);
        if (held)
            continue;
        for (const auto& entry : fs::directory_iterator(moved))
            writeBytes(ELSEWHERE / entry.path().filename(), NOT_THE_DATA);
        makeDirectoryLink(folder, ELSEWHERE);
        return;
    }
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

} // namespace

// Steps 7 to 13 fail in turn; there is no rollback, and exactly what came before is gone.
TEST_P(UninstallStep, LeavesWhatItHadNotRemovedYet)
{
    const StepFailure& failure = GetParam();
    const UniqueHandle held = failure.arrange();
    const HeadlessRun run = failure.meanwhile ? headlessPausedAt(L"uninstall 1", failure.plan, failure.meanwhile)
                                              : headlessUninstall(failure.deleteData, failure.plan);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_THAT(run.outcome, failureIs(failure.expected));
    EXPECT_EQ(firewallCalls(), failure.ruleRemovalAsked ? RULE_REMOVED : std::vector<std::string>{});
    EXPECT_EQ(whatIsLeft(), failure.left);
    if (failure.meanwhile) {
        for (const auto& entry : fs::directory_iterator(ELSEWHERE))
            EXPECT_EQ(readBytes(entry.path()), NOT_THE_DATA) << "nothing is deleted where the link leads";
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, UninstallStep,
    testing::Values(
        // The uninstall gives up after 60 short pauses.
        StepFailure{"ServiceKeepsRunning", false,
                    [] {
                        setSampleSwitch(L"Service", L"IgnoreStop", 1);
                        return nothing();
                    },
                    "process headless_setup.exe\nfast Sleep max=100\nprocess *\n",
                    "Console could not be stopped. Application and data were retained; retry uninstall after "
                    "stopping its service.",
                    false, {true, true, true, true, true, true}},
        StepFailure{"RuleNotRemoved", false, nothing, "fail INetFwRules::Remove call=1 return=0x80070005\n",
                    "Remove Console firewall rule (HRESULT 0x80070005): Access denied.\r\n", true,
                    {false, true, true, true, true, true}},
        StepFailure{"ShortcutHeldOpen", false, [] { return hold(shortcuts() / L"Open Console.url"); }, "",
                    removalHeldAt(MENU_FOLDER, "Open Console.url"), true, {false, true, true, true, true, true}},
        StepFailure{"ApplicationFileHeldOpen", false, [] { return hold(appDir() / L"README.txt"); }, "",
                    removalHeldAt(APP_FOLDER, "README.txt"), true, {false, false, true, true, true, true}},
        // Without Restart Manager nobody is named, as Wine's names nobody anyway; nothing crashes.
        StepFailure{"ApplicationFileHeldOpenWithoutRestartManager", false,
                    [] { return hold(appDir() / L"README.txt"); },
                    "process headless_setup.exe\nfail LoadLibraryExW call=1 error=126 return=0\n",
                    removalHeldAt(APP_FOLDER, "README.txt"), true, {false, false, true, true, true, true}},
        // Waited for, for a while, then named.
        StepFailure{"ProgramRunsOn", false, consoleProgramRunning, "",
                    APP_FOLDER + " is in use by python.exe and could not be removed. Close python.exe, then try again.",
                    true, {false, false, true, true, true, true}},
        // Everything else in the folder is gone and the settings too when the uninstaller will not
        // go: the marker, which goes after it, and the entry stay.
        StepFailure{"UninstallerHeldLast", false, nothing,
                    "fail DeleteFileW call=" + std::to_string(uninstallerDeletion()) + " error=32 return=0\n",
                    removalHeldAt(APP_FOLDER, "Uninstall.exe"), true, {false, false, true, true, true, true}},
        StepFailure{"EntryNotRemoved", false, nothing, "fail RegDeleteTreeW call=1 return=5\n",
                    "Remove Installed Apps entry (5): Access denied.\r\n", true,
                    {false, false, false, false, true, true}},
        StepFailure{"DataFileHeldOpen", true,
                    [] {
                        writeBytes(dataDir() / L"data" / L"accounts.db", "user data");
                        return hold(dataDir() / L"data" / L"accounts.db");
                    },
                    "", removalHeldAt(DATA_FOLDER, "data\\accounts.db"), true,
                    {false, false, false, false, false, true}},
        // A Linux-side link, which the shim opens as Windows opens a link itself.
        StepFailure{"DataFolderSwappedForALinkMidway", true,
                    [] {
                        writeBytes(dataDir() / L"data" / L"accounts.db", "user data");
                        return nothing();
                    },
                    "process headless_setup.exe\npause SetFileInformationByHandle call=1\n", LINKS, true,
                    {false, false, false, false, false, true}, swapAFolderOfTheDataForALink}),
    rowName);

// The data marker outlasts every other file of the data folder: a removal of the data that stops
// at its last file leaves a folder that is still recognised. (The file system lists the folder
// in an order of its own; a few more files make it unlikely to put the marker last by itself.)
TEST_F(Uninstall, DeletesTheDataMarkerLast)
{
    for (const wchar_t* name : {L"a.db", L"q.db", L"z.db"})
        writeBytes(dataDir() / name, "user data");
    // The data goes item by item through handles, its folders too: the marker is the last item
    // before the data folder itself.
    const auto items = std::distance(fs::recursive_directory_iterator(dataDir()), {});
    const std::string plan = "fail SetFileInformationByHandle call=" + std::to_string(items) + " error=32 return=0\n";
    const HeadlessRun run = headlessUninstall(true, plan);
    EXPECT_THAT(run.outcome, failureIs(removalHeldAt(DATA_FOLDER, "product.txt")));
}

// A worker of the console's outlives the service's stop by a second; the folder goes once it ends.
TEST_F(Uninstall, WaitsForTheConsolesLastWorker)
{
    setSampleSwitch(L"Service", L"WorkerAfterStop", 1000);
    EXPECT_EQ(headlessUninstall(false).outcome, "done");
    EXPECT_FALSE(fs::exists(appDir()));
}

namespace {

struct Settings : NamedRow {
    const char* content; // nullptr: no console.ini at all
    bool ruleRemoved;
};

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
    EXPECT_EQ(headlessUninstall(false).outcome, "done");
    EXPECT_EQ(firewallCalls(), settings.ruleRemoved ? RULE_REMOVED : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(EveryFlag, UninstallSettings,
                         testing::Values(Settings{"NoSettingsFile", nullptr, false},
                                         Settings{"FirewallZero", "[Console]\r\nPort=8080\r\nFirewall=0\r\n", false},
                                         Settings{"FirewallTwo", "[Console]\r\nPort=8080\r\nFirewall=2\r\n", true}),
                         rowName);

// Asked to delete the data when there is no data folder: nothing to recognise, and removing what
// is not there is no error. The console is stopped first: it logs each request just after
// answering it, so the installation's last health request could still recreate "logs".
TEST_F(Uninstall, DeletesTheDataEvenWhenThereIsNoDataFolder)
{
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(openConsoleService(SERVICE_STOP).get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(waitForServiceState(SERVICE_STOPPED));
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
