// An installation or an uninstallation stopped at any moment, by a kill or a file that another
// program holds open, never leaves the administrator stuck: following the product's next message
// (install again; when it says to uninstall from Installed apps first, run the entry's uninstall
// command, then install again) ends with a healthy installation over the kept data, unchanged.
// headless_setup.exe runs in a prefix of each row's own; the test shim's "hang" stops it at an
// exact call, where the test kills it.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/loopback_server.h"
#include "tests/support/named_rows.h"
#include "tests/support/processes.h"
#include "tests/support/sample_switches.h"
#include "tests/support/services.h"

namespace fs = std::filesystem;

namespace {

constexpr char ALREADY_INSTALLED[] =
    "Console is already installed or a previous installation needs cleanup. Uninstall Quellmark Console from "
    "Installed apps first, keeping its data. Agent is a separate product.";
constexpr char USER_DATA[] = "accounts of an earlier installation";

fs::path userFile()
{
    return dataDir() / L"data" / L"accounts.db";
}

void install(unsigned port)
{
    const HeadlessRun run = headlessInstall(port, true);
    ASSERT_EQ(run.outcome, "done firewallAdded=1") << run.output;
}

struct Interruption : NamedRow {
    bool uninstall;           // an uninstall of a complete installation is stopped, else the installation
    const char* killedAt;     // the call at which it is killed; null: it fails (plan), or at a held file
    bool uninstallFirst;      // the next installation asks for the uninstall through Installed apps
    bool removesRule = false; // that uninstall removes the firewall rule, which may exist
    void (*afterwards)() = nullptr;
    const wchar_t* heldFile = L"README.txt"; // the application's file that another program holds open
    const char* failingPlan = nullptr;       // instead: the run fails as this plan says
    bool freshData = false;                  // no data folder is kept from an earlier installation
};

// Wine's CopyFileW copies inside that one call, which cannot be stopped half-way; what a copy
// stopped there leaves, the first half of the program, is put in place by the test.
void halfCopiedUninstaller()
{
    const std::string program = readBytes(headlessProgram());
    writeBytes(appDir() / L"Uninstall.exe", program.substr(0, program.size() / 2));
}

// The runtime check's helper ends with the setup that started it, whatever it was doing.
void helperEndsWithTheSetup()
{
    for (int tries = 0; !processesNamed(L"python.exe").empty() && tries < 100; ++tries)
        Sleep(50);
    EXPECT_THAT(processesNamed(L"python.exe"), testing::IsEmpty()) << "the helper outlived the setup";
}

// The helper would never end.
void runtimeStopsHanging()
{
    clearSampleSwitches();
    helperEndsWithTheSetup();
}

// An installation stopped after adding its rule, whose service and entry another tool then took
// away (a registry cleaner, "sc delete"): what is left are remains, and the rule they recorded
// goes with them.
void serviceAndEntryTakenAway()
{
    if (const UniqueService service = openConsoleService(DELETE | SERVICE_STOP)) {
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        EXPECT_TRUE(waitForServiceState(SERVICE_STOPPED));
        DeleteService(service.get());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
}

void interrupt(const Interruption& row, unsigned port)
{
    if (row.uninstall) {
        ASSERT_NO_FATAL_FAILURE(install(port));
    }
    if (row.failingPlan != nullptr) {
        EXPECT_EQ(headlessInstall(port, true, row.failingPlan).exitCode, 1u);
        return;
    }
    if (row.killedAt == nullptr) {
        // Held as a virus scanner holds a file: anyone may read it, nobody may delete it.
        const fs::path file = appDir() / row.heldFile;
        const UniqueHandle held(
            CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(headlessUninstall(false).exitCode, 1u);
        return;
    }
    if (row.afterwards == runtimeStopsHanging)
        setSampleSwitch(L"Runtime", L"Hang", 1);
    const std::wstring arguments = row.uninstall ? L"uninstall 0" : L"install " + std::to_wstring(port) + L" 1";
    headlessKilledAt(arguments, "process headless_setup.exe\nhang " + std::string(row.killedAt) + "\n");
    if (row.afterwards != nullptr)
        row.afterwards();
}

class Interrupted : public testing::TestWithParam<Interruption> {};

} // namespace

TEST_P(Interrupted, TheNextMessageLeadsBackToAHealthyInstallationOverTheSameData)
{
    if (!GetParam().freshData) {
        keepDataFolder();
        writeBytes(userFile(), USER_DATA);
    }
    const unsigned port = unusedLoopbackPort();
    ASSERT_NO_FATAL_FAILURE(interrupt(GetParam(), port));

    HeadlessRun next = headlessInstall(port, true);
    if (!GetParam().uninstallFirst) {
        EXPECT_EQ(firewallCalls().size(), GetParam().removesRule ? 2u : 1u) << "remains clearing";
    }
    if (GetParam().uninstallFirst) {
        ASSERT_EQ(next.outcome, ALREADY_INSTALLED) << next.output;
        const HeadlessRun removed = uninstallThroughInstalledApps();
        ASSERT_EQ(removed.outcome, "done") << removed.output;
        EXPECT_EQ(!firewallCalls().empty(), GetParam().removesRule);
        next = headlessInstall(port, true);
    }
    ASSERT_EQ(next.outcome, "done firewallAdded=1") << next.output;
    EXPECT_EQ(healthAnswer(port), 200);
    expectApplicationFiles(withPort("[Console]\r\nPort={port}\r\nFirewall=1\r\n", port));
    EXPECT_EQ(readBytes(dataDir() / L"product.txt"), "QuellmarkConsoleData/1\n");
    if (!GetParam().freshData) {
        EXPECT_EQ(readBytes(userFile()), USER_DATA);
    }
}

// headless_setup prints each progress report with one fwrite: the Nth call is the Nth report,
// made but not yet printed, with nothing of the next step done. The install reports 2, 70, 80,
// 90 and 100 (the sample console is too small for extraction reports); the uninstall keeping
// the data reports 10, 55 and 100. Every file whose content decides what a later run does is
// written beside itself and moved into place through its handle: the Nth such move is the Nth
// such file (the data marker when it is new, the application marker, console.ini, console.ini
// saying that the rule may exist), stopped with its new bytes written and not yet in place.
INSTANTIATE_TEST_SUITE_P(
    AtEveryMoment, Interrupted,
    testing::Values(
        Interruption{"InstallAfterItsChecks", false, "fwrite call=1", false},
        Interruption{"InstallInsideTheDataMarker", false, "SetFileInformationByHandle call=1", false, false, nullptr,
                     nullptr, nullptr, true},
        Interruption{"InstallOnAFullVolumeAtTheDataMarker", false, nullptr, false, false, nullptr, nullptr,
                     "fail WriteFile call=1 error=112 return=0\n", true},
        Interruption{"InstallInsideTheApplicationMarker", false, "SetFileInformationByHandle call=1", false},
        Interruption{"InstallInsideTheUninstallerCopy", false, "CopyFileW call=1", false, false, halfCopiedUninstaller},
        Interruption{"InstallInsideTheInstalledAppsEntry", false, "RegSetValueExW call=3", false},
        Interruption{"InstallInsideTheExtraction", false, "WriteFile call=3", true},
        Interruption{"InstallInsideTheSettings", false, "SetFileInformationByHandle call=2", true},
        // The helper runs (and would never end) while the setup waits for it and reads its output.
        Interruption{"InstallWhileTheRuntimeCheckRuns", false, "PeekNamedPipe call=1", true, false,
                     runtimeStopsHanging},
        // Killed right after CreateProcessW has returned: the helper exists, suspended, nothing more.
        Interruption{"InstallRightAfterItsHelperIsCreated", false, "DeleteProcThreadAttributeList call=1", true,
                     false, helperEndsWithTheSetup},
        Interruption{"InstallAtTheService", false, "fwrite call=3", true},
        Interruption{"InstallAtTheFirewall", false, "fwrite call=4", true},
        Interruption{"InstallInsideTheSettingsBeforeTheRule", false, "SetFileInformationByHandle call=3", true},
        // The rule is added; next the Start-menu folder is made, the third folder made through the
        // C runtime after the application folder's two levels.
        Interruption{"InstallRightAfterTheRuleIsAdded", false, "_wmkdir call=3", true, true},
        Interruption{"InstallAtItsEnd", false, "fwrite call=5", true, true},
        Interruption{"InstallWithoutItsServiceAndEntry", false, "_wmkdir call=3", false, true, serviceAndEntryTakenAway},
        Interruption{"UninstallAtTheStop", true, "fwrite call=1", true, true},
        Interruption{"UninstallAtTheRemoval", true, "fwrite call=2", true, true},
        // Two shortcuts, then the fifth deletion is inside the application folder.
        Interruption{"UninstallInsideTheFolderRemoval", true, "DeleteFileW call=5", true, true},
        Interruption{"UninstallBetweenTheFolderAndTheEntry", true, "RegDeleteTreeW call=1", false},
        Interruption{"UninstallAtItsEnd", true, "fwrite call=3", false},
        Interruption{"UninstallWithAFileHeldOpen", true, nullptr, true, true},
        // Everything but the marker goes, the uninstaller with it; the entry stays, naming it.
        Interruption{"UninstallWithTheMarkerHeld", true, nullptr, false, false, nullptr, L"product.txt"}),
    rowName);
