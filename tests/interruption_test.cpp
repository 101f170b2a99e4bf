// An installation or an uninstallation stopped at any moment, by a kill or a file that another
// program holds open, never leaves the administrator stuck: following the product's next message
// (install again; when it says to uninstall from Installed apps first, run the entry's uninstall
// command, then install again) ends with a healthy installation over the kept data, unchanged.
// headless_setup.exe runs in a prefix of each row's own; the test shim's "hang" stops it at an
// exact call, where the test kills it.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "common/folders.h"
#include "common/handles.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/loopback_server.h"

namespace fs = std::filesystem;

namespace {

constexpr char ALREADY_INSTALLED[] =
    "Console is already installed or a previous installation needs cleanup. Uninstall Quellmark Console from "
    "Installed apps first, keeping its data. Agent is a separate product.";
constexpr char DATA_MARKER[] = "QuellmarkConsoleData/1\n";
constexpr char USER_DATA[] = "accounts of an earlier installation";

// The kept data folder of an earlier installation, as the test makes it: its marker and a file
// of the user's.
fs::path userFile()
{
    return dataDir() / L"data" / L"accounts.db";
}

std::string hangIn(const std::string& directive)
{
    return "process headless_setup.exe\nhang " + directive + "\n";
}

void install(unsigned port)
{
    const HeadlessRun run = headlessInstall(port, true);
    ASSERT_EQ(run.outcome, "done firewallAdded=1") << run.output;
}

struct Interruption {
    const char* name;
    std::function<void(unsigned port)> interrupt;
    bool uninstallFirst; // whether the next installation asks for the uninstall through Installed apps
    bool removesRule = false; // whether that uninstall removes the firewall rule, which may exist
};

std::ostream& operator<<(std::ostream& out, const Interruption& row)
{
    return out << row.name;
}

// headless_setup prints each progress report with one fwrite: the Nth call is the Nth report,
// made but not yet printed, with nothing of the next step done.
Interruption installKilled(const char* name, const std::string& at, bool uninstallFirst,
                           std::function<void()> afterwards = nullptr, bool removesRule = false)
{
    return {name,
            [at, afterwards](unsigned port) {
                headlessKilledAt(L"install " + std::to_wstring(port) + L" 1", hangIn(at));
                if (afterwards)
                    afterwards();
            },
            uninstallFirst, removesRule};
}

Interruption uninstallKilled(const char* name, const std::string& at, bool uninstallFirst)
{
    return {name,
            [at](unsigned port) {
                install(port);
                headlessKilledAt(L"uninstall 0", hangIn(at));
            },
            uninstallFirst, uninstallFirst};
}

// Wine's CopyFileW copies inside that one call, which cannot be stopped half-way; what a copy
// stopped there leaves, the first half of the program, is put in place by the test.
void halfCopiedUninstaller()
{
    const std::string program = readBytes(headlessProgram());
    writeBytes(appDir() / L"Uninstall.exe", program.substr(0, program.size() / 2));
}

// A package file held open, without sharing, by another program while the uninstall runs.
void uninstallWithAFileHeldOpen(unsigned port)
{
    install(port);
    const fs::path file = appDir() / L"README.txt";
    const UniqueHandle held(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
    const HeadlessRun run = headlessUninstall(false);
    EXPECT_EQ(run.exitCode, 1u) << run.output;
}

class Interrupted : public testing::TestWithParam<Interruption> {};

} // namespace

TEST_P(Interrupted, TheNextMessageLeadsBackToAHealthyInstallationOverTheSameData)
{
    writeBytes(dataDir() / L"product.txt", DATA_MARKER);
    writeBytes(userFile(), USER_DATA);
    const unsigned port = unusedLoopbackPort();
    GetParam().interrupt(port);

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
    expectApplicationFiles(port, true);
    EXPECT_EQ(readBytes(dataDir() / L"product.txt"), DATA_MARKER);
    EXPECT_EQ(readBytes(userFile()), USER_DATA);
}

// The install reports 2, 70, 80, 90 and 100 (the sample console is too small for extraction
// reports); the uninstall keeping the data reports 10, 55 and 100.
INSTANTIATE_TEST_SUITE_P(
    AtEveryMoment, Interrupted,
    testing::Values(
        installKilled("InstallAfterItsChecks", "fwrite call=1", false),
        // The folder exists, its marker not yet: the first two opens read the kept data marker.
        installKilled("InstallBeforeTheApplicationMarker", "_wfopen call=3", false),
        installKilled("InstallInsideTheUninstallerCopy", "CopyFileW call=1", false, halfCopiedUninstaller),
        installKilled("InstallInsideTheInstalledAppsEntry", "RegSetValueExW call=3", false),
        installKilled("InstallInsideTheExtraction", "WriteFile call=3", true),
        installKilled("InstallAtTheRuntimeCheck", "fwrite call=2", true, nullptr, true),
        installKilled("InstallAtTheService", "fwrite call=3", true, nullptr, true),
        installKilled("InstallAtTheFirewall", "fwrite call=4", true, nullptr, true),
        // The rule is added; the settings that record it are the fifth file opened.
        installKilled("InstallRightAfterTheRuleIsAdded", "_wfopen call=5", true, nullptr, true),
        installKilled("InstallAtItsEnd", "fwrite call=5", true, nullptr, true),
        uninstallKilled("UninstallAtTheStop", "fwrite call=1", true),
        uninstallKilled("UninstallAtTheRemoval", "fwrite call=2", true),
        // Two shortcuts, then the fifth deletion is inside the application folder.
        uninstallKilled("UninstallInsideTheFolderRemoval", "DeleteFileW call=5", true),
        uninstallKilled("UninstallBetweenTheFolderAndTheEntry", "RegDeleteTreeW call=1", false),
        uninstallKilled("UninstallAtItsEnd", "fwrite call=3", false),
        Interruption{"UninstallWithAFileHeldOpen", uninstallWithAFileHeldOpen, true, true}),
    [](const testing::TestParamInfo<Interruption>& row) { return std::string(row.param.name); });

