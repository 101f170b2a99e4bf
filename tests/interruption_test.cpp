// An installation or an uninstallation stopped at any moment, by a kill or a file that another
// program holds open, never leaves the administrator stuck: following the product's next message
// (install again; when it says to uninstall from Installed apps first, run the entry's uninstall
// command, then install again) ends with a healthy installation over the kept data, unchanged.
// headless_setup.exe runs in a prefix of each row's own; the test shim's "hang" stops it at an
// exact call, where the test kills it.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/folders.h"
#include "common/handles.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/loopback_server.h"
#include "tests/support/named_rows.h"

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
    const char* killedAt;     // the call at which it is killed; null: it fails at a file held open
    bool uninstallFirst;      // the next installation asks for the uninstall through Installed apps
    bool removesRule = false; // that uninstall removes the firewall rule, which may exist
    void (*afterwards)() = nullptr;
};

// Wine's CopyFileW copies inside that one call, which cannot be stopped half-way; what a copy
// stopped there leaves, the first half of the program, is put in place by the test.
void halfCopiedUninstaller()
{
    const std::string program = readBytes(headlessProgram());
    writeBytes(appDir() / L"Uninstall.exe", program.substr(0, program.size() / 2));
}

void interrupt(const Interruption& row, unsigned port)
{
    if (row.uninstall) {
        ASSERT_NO_FATAL_FAILURE(install(port));
    }
    if (row.killedAt == nullptr) {
        const fs::path file = appDir() / L"README.txt";
        const UniqueHandle held(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(headlessUninstall(false).exitCode, 1u);
        return;
    }
    const std::wstring arguments = row.uninstall ? L"uninstall 0" : L"install " + std::to_wstring(port) + L" 1";
    headlessKilledAt(arguments, "process headless_setup.exe\nhang " + std::string(row.killedAt) + "\n");
    if (row.afterwards != nullptr)
        row.afterwards();
}

class Interrupted : public testing::TestWithParam<Interruption> {};

} // namespace

TEST_P(Interrupted, TheNextMessageLeadsBackToAHealthyInstallationOverTheSameData)
{
    keepDataFolder();
    writeBytes(userFile(), USER_DATA);
    const unsigned port = unusedLoopbackPort();
    ASSERT_NO_FATAL_FAILURE(interrupt(GetParam(), port));

    HeadlessRun next = headlessInstall(port, true);
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
    EXPECT_EQ(readBytes(userFile()), USER_DATA);
}

// headless_setup prints each progress report with one fwrite: the Nth call is the Nth report,
// made but not yet printed, with nothing of the next step done. The install reports 2, 70, 80,
// 90 and 100 (the sample console is too small for extraction reports); the uninstall keeping
// the data reports 10, 55 and 100.
INSTANTIATE_TEST_SUITE_P(
    AtEveryMoment, Interrupted,
    testing::Values(
        Interruption{"InstallAfterItsChecks", false, "fwrite call=1", false},
        // The folder exists, its marker not yet: the first two opens read the kept data marker.
        Interruption{"InstallBeforeTheApplicationMarker", false, "_wfopen call=3", false},
        Interruption{"InstallInsideTheUninstallerCopy", false, "CopyFileW call=1", false, false, halfCopiedUninstaller},
        Interruption{"InstallInsideTheInstalledAppsEntry", false, "RegSetValueExW call=3", false},
        Interruption{"InstallInsideTheExtraction", false, "WriteFile call=3", true},
        Interruption{"InstallAtTheRuntimeCheck", false, "fwrite call=2", true, true},
        Interruption{"InstallAtTheService", false, "fwrite call=3", true, true},
        Interruption{"InstallAtTheFirewall", false, "fwrite call=4", true, true},
        // The rule is added; the settings that record it are the fifth file opened.
        Interruption{"InstallRightAfterTheRuleIsAdded", false, "_wfopen call=5", true, true},
        Interruption{"InstallAtItsEnd", false, "fwrite call=5", true, true},
        Interruption{"UninstallAtTheStop", true, "fwrite call=1", true, true},
        Interruption{"UninstallAtTheRemoval", true, "fwrite call=2", true, true},
        // Two shortcuts, then the fifth deletion is inside the application folder.
        Interruption{"UninstallInsideTheFolderRemoval", true, "DeleteFileW call=5", true, true},
        Interruption{"UninstallBetweenTheFolderAndTheEntry", true, "RegDeleteTreeW call=1", false},
        Interruption{"UninstallAtItsEnd", true, "fwrite call=3", false},
        Interruption{"UninstallWithAFileHeldOpen", true, nullptr, true, true}),
    rowName);
