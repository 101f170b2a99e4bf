// Failures of the install sequence and its rollback, through headless_setup.exe in a prefix of
// each test's own, with the sample console on a free port. The recovery flag of the service,
// which Wine 8 refuses, comes from the test shim, as do the faults that a prefix cannot produce
// for real (the rows say which).

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
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

constexpr char RETAINED[] = "\nSaved data and logs were retained. Correct the problem, then retry.";

// One way to make one step of the installation fail: something put in its way for real before
// the run (arrange), or a fault of the test shim where a prefix cannot fail for real (plan).
struct StepFault : NamedRow {
    int step;
    std::function<void()> arrange;
    std::string plan;
    std::string expected; // the failure text without its closing sentence
    std::string logged = {}; // what the setup log must then tell besides
    void (*meanwhile)() = nullptr; // put in the way where the plan pauses the run
};

void blockWithFile(const fs::path& path)
{
    fs::remove_all(path);
    writeBytes(path, "");
}

const std::string NOT_A_FOLDER = "filesystem error: cannot create directories: Not a directory [";

// The n-th file that the installer writes on a clean machine, at the step that puts it in place
// (through its handle): the data marker, the application marker, the settings, the settings that
// record the rule, then the two shortcuts.
std::string failWrite(int n)
{
    return "fail SetFileInformationByHandle call=" + std::to_string(n) + " error=112 return=0\n";
}

// What a write that failed so says.
std::string cannotWrite(const std::string& folder, const std::string& file)
{
    return "Cannot write " + folder + "\\" + file + " (112): Disk full.\r\n";
}

const std::string UNHEALTHY = "Console did not become healthy. See ProgramData\\Vostrel\\Quellmark Console\\logs\\console.log.";

// Only where the installation is meant to give up waiting are its pauses cut short (the
// installer's own, not its children's: a hanging interpreter must really hang). A successful
// health wait keeps its pauses, so that a loaded machine has the time it needs to start the
// console.
const std::string SHORT_PAUSES = "process headless_setup.exe\nfast Sleep max=250\nprocess *\n";
const std::string SHORT_HELPER_WAIT = "process headless_setup.exe\nfast WaitForSingleObject max=3000\nprocess *\n";

// The rule added on port, and removed again.
std::vector<std::string> ruleCalls(unsigned port, bool removed)
{
    std::vector<std::string> calls{"Add Quellmark Console HTTP " + std::to_string(port)};
    if (removed)
        calls.push_back("Remove Quellmark Console HTTP");
    return calls;
}

class InstallFault : public testing::TestWithParam<StepFault> {};

// The steps of an installation, as the rows number them: 0 the checks; 1 to 4 the data folder, its owners, its
// protection, its marker and subfolders; 5 to 8 the application folder, its marker, its
// uninstaller and its Installed-apps entry; 9 the extraction; 10 the settings; 11 the runtime;
// 12 to 14 the service and its health; 15 the settings that record the rule; 16 the firewall; 17
// to 19 the Start-menu folder and its shortcuts.
constexpr int FIREWALL_STEP = 16;

} // namespace

// Every step from the data folder to the last shortcut fails once; whatever had been created by
// then is taken away again, and the machine is as it was apart from the data folder.
TEST_P(InstallFault, RollsBackToTheMachineAsItWas)
{
    const StepFault& fault = GetParam();
    if (fault.arrange)
        fault.arrange();
    const MachineSnapshot before = takeSnapshot();

    const unsigned port = unusedLoopbackPort();
    const HeadlessRun run = fault.meanwhile
                                ? headlessPausedAt(L"install " + std::to_wstring(port) + L" 1", fault.plan, fault.meanwhile)
                                : headlessInstall(port, true, fault.plan);
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_EQ(run.outcome, fault.step == 0 ? fault.expected : fault.expected + RETAINED);
    EXPECT_THAT(changes(before, takeSnapshot(), {dataDir().parent_path()}), IsEmpty());
    EXPECT_EQ(firewallCalls(),
              fault.step < FIREWALL_STEP ? std::vector<std::string>{} : ruleCalls(port, fault.step > FIREWALL_STEP));
    EXPECT_THAT(readBytes(dataDir() / L"product.txt"), testing::AnyOf("(missing)", "QuellmarkConsoleData/1\n"))
        << "a data marker is never left cut short";
    if (!fault.logged.empty()) {
        EXPECT_THAT(readBytes(dataDir() / L"logs" / L"setup.log"), testing::HasSubstr(fault.logged));
    }
}

// Files in the way, switches of the sample console and a held port are real; the rest is the shim.
INSTANTIATE_TEST_SUITE_P(
    EveryStep, InstallFault,
    testing::Values(
        // Step 0: refused by the checks, before anything has changed.
        StepFault{"DataFolderBlockedByAFile", 0, [] { blockWithFile(L"C:\\ProgramData\\Vostrel"); }, "",
                  NOT_A_FOLDER + "C:\\ProgramData\\Vostrel]"},
        // Created owned by Administrators, which Windows refuses to a process that may not name them.
        StepFault{"MakerFolderNotCreated", 1, nullptr, "fail CreateDirectoryW call=1 error=1307 return=0\n",
                  "filesystem error: cannot create directory: " + std::system_category().message(1307) + " [C:\\ProgramData\\Vostrel]"},
        // There at the checks, owned by Administrators, and replaced by another account's folder
        // before the installer's own creation, which finds it and so leaves its owner alone. Wine
        // keeps no owners: the shim answers the check's query as Administrators, later ones as
        // the other account.
        StepFault{"MakerFolderTakenOverMeanwhile", 1, [] { fs::create_directories(dataDir().parent_path()); },
                  ownerAnswer(ANOTHER_USER) + ownerAnswer("S-1-5-32-544", 1),
                  ownedByAnotherAccount(L"C:\\ProgramData\\Vostrel")},
        StepFault{"DataPermissionsNotBuilt", 2, nullptr,
                  "fail ConvertStringSecurityDescriptorToSecurityDescriptorW call=1 error=1336 return=0\n",
                  "Create data permissions (1336): Invalid ACL.\r\n"},
        // A new folder has its list from its creation; a kept one is given it again.
        StepFault{"KeptDataFolderNotProtected", 2, keepDataFolder, "fail SetKernelObjectSecurity call=1 error=5 return=0\n",
                  "Protect Console data (5): Access denied.\r\n"},
        StepFault{"DataMarkerNotWritten", 3, nullptr, failWrite(1), cannotWrite(DATA_FOLDER, "product.txt")},
        // A new data folder is born protected, so on Windows nobody else can make "data" in it while
        // the run waits; one that is there all the same is another account's (the shim answers
        // its owner, which Wine does not keep), and is not adopted.
        StepFault{"DataSubfolderPlantedMeanwhile", 4, nullptr,
                  "process headless_setup.exe\npause CreateDirectoryW call=3\n" + ownerAnswer(ANOTHER_USER, 1),
                  ownedByAnotherAccount(dataDir() / L"data"), "",
                  [] {
                      // Meanwhile nobody can open the maker's folder for writing, to make a mount point of it.
                      const UniqueHandle maker(CreateFileW(L"C:\\ProgramData\\Vostrel", FILE_WRITE_DATA,
                                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
                      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
                      fs::create_directories(dataDir() / L"data");
                  }},
        // A kept data folder swapped for a link to another folder after the checks (a Linux-side
        // link, which the shim opens as Windows opens a link itself) is refused before its owner
        // is read or its list written: the snapshot shows nothing written where it leads.
        StepFault{"DataFolderSwappedForALinkMeanwhile", 2,
                  [] {
                      keepDataFolder();
                      fs::create_directories(L"C:\\elsewhere");
                  },
                  "process headless_setup.exe\npause GetDiskFreeSpaceExW call=1\n",
                  "Installation paths must not contain links or junctions", "",
                  [] {
                      fs::remove_all(dataDir());
                      makeDirectoryLink(dataDir(), L"C:\\elsewhere");
                  }},
        // The same for the maker's folder, whose link nothing else would see before the data
        // folder is made where it leads.
        StepFault{"MakerFolderSwappedForALinkMeanwhile", 1,
                  [] {
                      fs::create_directories(L"C:\\elsewhere");
                      fs::create_directories(dataDir().parent_path());
                  },
                  "process headless_setup.exe\npause GetDiskFreeSpaceExW call=1\n",
                  "Installation paths must not contain links or junctions", "",
                  [] {
                      fs::remove_all(dataDir().parent_path());
                      makeDirectoryLink(dataDir().parent_path(), L"C:\\elsewhere");
                  }},
        StepFault{"DataSubfolderBlockedByAFile", 4, [] { keepDataFolder(); blockWithFile(dataDir() / L"logs"); }, "",
                  NOT_A_FOLDER + DATA_FOLDER + "\\logs]"},
        // Where the setup log goes, and the console's own log (a Linux-side link).
        StepFault{"DataSubfolderIsALink", 4,
                  [] {
                      keepDataFolder();
                      fs::create_directories(L"C:\\elsewhere");
                      makeDirectoryLink(dataDir() / L"logs", L"C:\\elsewhere");
                  },
                  "", "Installation paths must not contain links or junctions"},
        StepFault{"ApplicationFolderBlockedByAFile", 5, [] { blockWithFile(L"C:\\Program Files\\Vostrel"); }, "",
                  NOT_A_FOLDER + APP_FOLDER + "]"},
        StepFault{"ApplicationMarkerNotWritten", 6, nullptr, failWrite(2), cannotWrite(APP_FOLDER, "product.txt")},
        // A kept marker with our bytes is not written again, so a full volume cannot cut it short:
        // the first write that fails is the application marker's.
        StepFault{"KeptDataMarkerOnAFullVolume", 6, keepDataFolder, "fail WriteFile call=1 error=112 return=0\n",
                  cannotWrite(APP_FOLDER, "product.txt")},
        StepFault{"UninstallerNotCopied", 7, nullptr, "fail CopyFileW call=1 error=5 return=0\n",
                  "Install uninstall wizard (5): Access denied.\r\n"},
        StepFault{"InstalledAppsEntryNotWritten", 8, nullptr, "fail RegCreateKeyExW call=1 return=5\n",
                  "Register Installed Apps entry (5): Access denied.\r\n"},
        // The key and three values exist when the fourth value fails: the rollback removes them.
        StepFault{"InstalledAppsEntryHalfWritten", 8, nullptr, "fail RegSetValueExW call=4 return=5\n",
                  "Write installation record (5): Access denied.\r\n"},
        // After the two markers.
        StepFault{"ApplicationFileNotWritten", 9, nullptr, "fail WriteFile call=3 error=112 return=0\n",
                  "Write application file (112): Disk full.\r\n"},
        StepFault{"SettingsNotWritten", 10, nullptr, failWrite(3), cannotWrite(APP_FOLDER, "console.ini")},
        StepFault{"RuntimeExitsWithAnError", 11, [] { setSampleSwitch(L"Runtime", L"ExitCode", 3); }, "",
                  "The bundled runtime could not start. Check Windows version and available security software logs.",
                  "UTC: The bundled runtime check ended with exit code 3. It wrote:\r\n"
                  "The sample runtime exits with 3 (switches.ini)"},
        StepFault{"RuntimeHangs", 11, [] { setSampleSwitch(L"Runtime", L"Hang", 1); }, SHORT_HELPER_WAIT,
                  "Windows helper timed out"},
        StepFault{"ServiceNotRegistered", 12, nullptr, "fail CreateServiceW call=1 error=1073 return=0\n",
                  "Create Console service (1073): Service exists.\r\n"},
        StepFault{"ServiceManagerNotOpened", 13, nullptr, "fail OpenSCManagerW call=3 error=5 return=0\n",
                  "Open Console service manager (5): Access denied.\r\n"},
        StepFault{"ServiceNotOpenedForStart", 13, nullptr, "fail OpenServiceW call=2 error=5 return=0\n",
                  "Open Console service for startup (5): Access denied.\r\n"},
        StepFault{"ServiceNotStarted", 13, nullptr, "fail StartServiceW call=1 error=1053 return=0\n",
                  "Start Console service (1053): Service request timeout.\r\n"},
        StepFault{"ConsoleExitsAtStart", 14, [] { setSampleSwitch(L"Service", L"ExitAtStart", 1); }, SHORT_PAUSES,
                  UNHEALTHY},
        StepFault{"ConsoleAnswersAsAnotherVersion", 14, [] { setSampleSwitch(L"Health", L"WrongVersion", 1); },
                  SHORT_PAUSES, UNHEALTHY},
        StepFault{"FirewallSettingsNotWritten", 15, nullptr, failWrite(4), cannotWrite(APP_FOLDER, "console.ini")},
        StepFault{"FirewallCancelled", 16, nullptr,
                  "fail INetFwRules::Add from=1 return=0x80070005\nanswer MessageBoxW IDCANCEL\n",
                  "Installation cancelled after the firewall rule could not be created."},
        // _wmkdir calls before it: the two levels of the application folder. The data folders and
        // the package's own folders are made with CreateDirectoryW.
        StepFault{"StartMenuFolderNotCreated", 17, nullptr, "fail _wmkdir call=3 errno=13 return=-1\n",
                  "filesystem error: cannot create directories: Permission denied [" + MENU_FOLDER + "]"},
        StepFault{"ConsoleShortcutNotWritten", 18, nullptr, failWrite(5), cannotWrite(MENU_FOLDER, "Open Console.url")},
        StepFault{"ManualShortcutNotWritten", 19, nullptr, failWrite(6),
                  cannotWrite(MENU_FOLDER, "Installation manual.url")}),
    rowName);

namespace {

// The rollback after a failure at the very end (the second shortcut), when one undo action
// fails: the later ones are not attempted, so what they would have removed is still there.
struct UndoFault : NamedRow {
    std::string plan;
    std::string cleanupText;
    bool serviceLeft, ruleRemoved, entryLeft, menuLeft, applicationLeft;
};

class RollbackFault : public testing::TestWithParam<UndoFault> {};

const std::string LAST_SHORTCUT_FAILS = failWrite(6);
const std::string LAST_SHORTCUT_TEXT = cannotWrite(MENU_FOLDER, "Installation manual.url");

} // namespace

TEST_P(RollbackFault, StopsAtTheFirstUndoThatFails)
{
    const UndoFault& fault = GetParam();
    const unsigned port = unusedLoopbackPort();
    const HeadlessRun run = headlessInstall(port, true, LAST_SHORTCUT_FAILS + fault.plan);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_THAT(run.outcome, failureIs(LAST_SHORTCUT_TEXT + "\nCleanup needs attention: " + fault.cleanupText));
    EXPECT_EQ(serviceState() != 0, fault.serviceLeft);
    EXPECT_EQ(firewallCalls(), ruleCalls(port, fault.ruleRemoved));
    EXPECT_EQ(!uninstallValue(L"DisplayName").empty(), fault.entryLeft);
    EXPECT_EQ(fs::exists(shortcuts() / L"Open Console.url"), fault.menuLeft);
    EXPECT_EQ(fs::exists(appDir() / L"product.txt"), fault.applicationLeft);
    EXPECT_EQ(readBytes(dataDir() / L"product.txt"), "QuellmarkConsoleData/1\n");
}

// Every undo fault is the shim's: a prefix removes what it was given without complaint.
INSTANTIATE_TEST_SUITE_P(
    EveryUndo, RollbackFault,
    testing::Values(
        UndoFault{"ServiceRemoval", "fail ControlService call=1 error=5 return=0\n",
                  "Stop Console service (5): Access denied.\r\n", true, false, true, true, true},
        UndoFault{"RuleRemoval", "fail INetFwRules::Remove call=1 return=0x80070005\n",
                  "Remove Console firewall rule (HRESULT 0x80070005): Access denied.\r\n", false, true, true, true,
                  true},
        // The first deletion is the first shortcut's: the last one's failed write took its own
        // partial file away through its handle.
        UndoFault{"StartMenuRemoval", "fail DeleteFileW call=1 error=32 return=0\n",
                  removalHeldAt(MENU_FOLDER, "Open Console.url"), false, true, true, true, true},
        UndoFault{"ApplicationRemoval", "fail DeleteFileW call=2 error=32 return=0\n", removalHeldAt(APP_FOLDER), false,
                  true, true, false, true},
        UndoFault{"EntryRemoval", "fail RegDeleteTreeW call=1 return=5\n",
                  "Remove Installed Apps entry (5): Access denied.\r\n", false, true, true, false, false}),
    rowName);

// A kept data folder whose marker goes on for a gigabyte is not ours, and is not read whole.
TEST(InstallChecks, RefuseAMarkerLongerThanOursWithoutReadingIt)
{
    keepDataFolder();
    padToAGigabyte(dataDir() / L"product.txt");
    const HeadlessRun run = headlessInstall(unusedLoopbackPort(), false, RECORD_READS);
    EXPECT_EQ(run.outcome, "The data folder is not recognized as Quellmark Console. It will not be overwritten.");
    EXPECT_LT(bytesAskedToRead(), 1u << 20) << "a marker is read only as far as a marker goes";
}

// A console that is still starting cannot take the stop control; the rollback waits until it
// has started and stops it then, instead of leaving it behind with the application folder.
TEST(InstallRollback, StopsAConsoleThatIsStillStartingOnceItHasStarted)
{
    setSampleSwitch(L"Service", L"StartPending", 1);
    const MachineSnapshot before = takeSnapshot();
    // The session's record file, read directly: the shim helpers belong to the main thread.
    const fs::path records = fs::temp_directory_path() / ("qmshim-" + std::to_string(GetCurrentProcessId())) / L"records.txt";
    std::atomic<bool> done{false};
    const auto stopRefused = [&] {
        const std::string text = readBytes(records);
        const std::size_t at = text.find("\tControlService\t");
        return at != std::string::npos && text.find("\tstate=2\temulated=yes", at) < text.find('\n', at);
    };
    std::thread release([&] {
        while (!done && !stopRefused())
            Sleep(10);
        setSampleSwitch(L"Service", L"StartPending", 0);
    });
    const HeadlessRun run = headlessInstall(unusedLoopbackPort(), false, "process headless_setup.exe\nfast Sleep max=250\n");
    done = true;
    release.join();
    EXPECT_EQ(run.outcome, UNHEALTHY + RETAINED);
    EXPECT_THAT(changes(before, takeSnapshot(), {dataDir().parent_path()}), IsEmpty());
}

