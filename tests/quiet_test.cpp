// The unattended mode as a deployment tool meets it: the wizard started with --quiet in a prefix
// of each test's own, with no display at all, its exit code and its log. The shim supplies the
// service recovery flag that Wine 8 refuses, and the faults a prefix cannot produce.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/links.h"
#include "tests/support/loopback_server.h"
#include "tests/support/owners.h"
#include "tests/support/services.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"
#include "tests/support/wizard_tests.h"

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

namespace {

const fs::path LOG = L"C:\\deployment\\setup.log";

// A run of the wizard with a log of its own.
ProcessResult quiet(const std::wstring& arguments, const std::string& plan = "")
{
    fs::remove(LOG);
    return runWithShim(wizardProgram(), arguments + L" --log " + quote(LOG.wstring()), plan, INSTALL_WAIT_MS);
}

// The logs of the default place, which a tool's command without --log writes.
std::vector<fs::path> defaultLogs()
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(L"C:\\windows\\Temp"))
        if (entry.path().filename().wstring().starts_with(L"Quellmark-Console-Setup-"))
            found.push_back(entry.path());
    return found;
}

// A run without --log and the one log it left. (Times of files read through the C library have
// whole seconds, too coarse to tell two quick runs apart, so the earlier logs go first.)
std::pair<ProcessResult, fs::path> withDefaultLog(const fs::path& program, const std::wstring& arguments,
                                                  const std::string& plan)
{
    for (const fs::path& log : defaultLogs())
        fs::remove(log);
    ProcessResult result = runWithShim(program, arguments, plan, INSTALL_WAIT_MS);
    const std::vector<fs::path> logs = defaultLogs();
    EXPECT_EQ(logs.size(), 1u);
    return {std::move(result), logs.empty() ? fs::path() : logs.front()};
}

using Quiet = ShimUnloaded;

} // namespace

// Installed without a word to anyone, removed as a deployment tool removes it (the entry's
// quiet command, which keeps the data and hands over to a temporary copy that the first run
// waits for), installed again and removed with the data.
TEST_F(Quiet, InstallsAndUninstallsForADeploymentTool)
{
    const unsigned port = unusedLoopbackPort();
    const std::wstring install = L"--quiet --port " + std::to_wstring(port);
    ASSERT_EQ(quiet(install, "record MessageBoxW args=p\n").exitCode, 0u) << readBytes(LOG);
    const std::string started = "Command line: " + narrow(quote(wizardProgram().wstring()) + L" " + install) +
                                " --log \"" + narrow(LOG.wstring()) + "\"";
    EXPECT_THAT(logEvents(LOG), ElementsAre(started, "2% Checking this computer...",
                                         "70% Checking bundled runtime...",
                                         "80% Registering and starting Windows Service...",
                                         "90% Allowing access on private and domain networks...",
                                         "100% Installation complete.", StartsWith("Succeeded: Quellmark Console is running."),
                                         "Exit code: 0"));
    EXPECT_EQ(healthAnswer(port), 200);
    EXPECT_THAT(readShimRecords("MessageBoxW"), IsEmpty());
    const std::wstring uninstaller = (appDir() / L"Uninstall.exe").wstring();
    ASSERT_EQ(uninstallValue(L"QuietUninstallString"), quote(uninstaller) + L" --uninstall --quiet");

    // A copy that fails (its service will not stop) fails the run that the tool waits for, which
    // puts its own program back for the next try.
    const std::string serviceStays = "fail ControlService call=1 error=5 return=0\n";
    const auto [failed, failedLog] = withDefaultLog(uninstaller, L"--uninstall --quiet", serviceStays);
    EXPECT_EQ(failed.exitCode, 1u);
    EXPECT_THAT(logEvents(failedLog), testing::Contains(StartsWith("Failed: Stop Console service (5)")));
    ASSERT_TRUE(fs::exists(uninstaller));
    // A copy that cannot start (a policy that blocks programs in the Windows folder's Temp) leaves
    // nothing to the restart; a copy that finds another wizard open leaves its session folder to it.
    const std::vector<std::wstring> pending = pendingRenames();
    EXPECT_EQ(runWithShim(uninstaller, L"--uninstall --quiet", "fail CreateProcessW call=1 error=1260 return=0\n",
                          INSTALL_WAIT_MS).exitCode, 1u);
    EXPECT_EQ(pendingRenames(), pending);
    ASSERT_TRUE(fs::exists(uninstaller));
    const auto sessionFolders = [] {
        return std::ranges::count_if(pendingRenames(), [](const std::wstring& path) { return path.ends_with(L"}"); });
    };
    const auto folders = sessionFolders();
    {
        const UniqueHandle lock(CreateMutexW(nullptr, FALSE, L"Global\\Vostrel.QuellmarkConsole.Setup"));
        // Wine keeps no access lists: the shim answers the one the session folder was given.
        const std::string sessionList = "value GetSecurityInfo list=D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)\n";
        EXPECT_EQ(runWithShim(uninstaller, L"--uninstall --quiet", sessionList, INSTALL_WAIT_MS).exitCode, 1618u);
    }
    EXPECT_EQ(sessionFolders(), folders + 1);
    ASSERT_TRUE(fs::exists(uninstaller));

    // The Services console holds the service open, and Windows Firewall is not running: the removal
    // finishes the rest, and a restart (or that console let go) the service, which until then
    // refuses a new installation. A relative log is the tool's current folder's, also for the
    // copy, which runs in another.
    UniqueService held = openConsoleService(SERVICE_QUERY_STATUS);
    const std::string noFirewall = "fail INetFwPolicy2::get_Rules call=1 return=0x800706D9\n";
    const fs::path toolFolder = fs::current_path();
    fs::current_path(LOG.parent_path());
    fs::remove(LOG);
    const ProcessResult removed =
        runWithShim(uninstaller, L"--uninstall --quiet --log " + LOG.filename().wstring(), noFirewall, INSTALL_WAIT_MS);
    fs::current_path(toolFolder);
    EXPECT_EQ(removed.exitCode, 3010u) << readBytes(LOG);
    EXPECT_THAT(logEvents(LOG), ElementsAre(HasSubstr("--uninstall --quiet"), StartsWith("Handed over to "),
                                         HasSubstr("--uninstall --quiet --log \"" + narrow(LOG.wstring())),
                                         "10% Stopping Console safely...",
                                         "55% Removing application and shortcuts...",
                                         "100% Console removed. Your database and logs have been kept.",
                                         testing::AllOf(StartsWith("Succeeded: Quellmark Console has been removed."),
                                                        HasSubstr("\nRestart Windows to finish removing the Quellmark"),
                                                        HasSubstr("could not be removed because Windows Firewall")),
                                         "Exit code: 3010", "Exit code: 3010"));
    EXPECT_FALSE(fs::exists(appDir())) << "also the program that the tool started, moved out of the way";
    EXPECT_TRUE(fs::exists(dataDir() / L"product.txt"));
    EXPECT_THAT(readBytes(dataDir() / L"logs" / L"setup.log"),
                HasSubstr("UTC: The firewall rule \"Quellmark Console HTTP\" was left in place: Read Windows "
                          "Firewall rules (HRESULT 0x800706D9)"));
    EXPECT_EQ(quiet(L"--quiet --port " + std::to_wstring(port)).exitCode, 1618u);
    EXPECT_THAT(logEvents(LOG), testing::Contains(StartsWith("Failed: The Quellmark Console service of an earlier")));
    held.reset();

    ASSERT_EQ(quiet(L"--quiet --no-firewall --port " + std::to_wstring(port)).exitCode, 0u) << readBytes(LOG);
    EXPECT_THAT(logEvents(LOG), testing::Not(testing::Contains(HasSubstr("90%"))));
    // Program Files on another volume than Windows (the first move fails as across volumes): the
    // program the tool started waits in the maker's folder for the restart.
    const std::string otherVolume = "fail MoveFileExW call=1 error=17 return=0\n";
    ASSERT_EQ(runWithShim(uninstaller, L"--uninstall --quiet --delete-data", otherVolume, INSTALL_WAIT_MS).exitCode, 0u);
    EXPECT_FALSE(fs::exists(dataDir()));
    EXPECT_FALSE(fs::exists(appDir()));
    const std::vector<fs::path> waiting(fs::directory_iterator(appDir().parent_path()), {});
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_THAT(pendingRenames(), testing::Contains(HasSubstr(waiting[0].filename().wstring())));

    EXPECT_EQ(quiet(L"--quiet --uninstall").exitCode, 1605u);
    EXPECT_THAT(logEvents(LOG), testing::Contains("Failed: No recognized Console installation found. Nothing was "
                                               "removed."));
}

// Each ends with the failure in the log and the exit code that a deployment tool acts on.
TEST_F(Quiet, EndsEveryFailureWithItsExitCode)
{
    const struct {
        const char* name;
        std::wstring arguments;
        std::string plan;
        DWORD exitCode;
        std::string failure;
    } cases[] = {
        {"port refused", L"--quiet --port 80", "", 1, "Failed: Enter a port between 1024 and 65535."},
        {"option of the other mode", L"--quiet --delete-data", "", 1,
         "Failed: The option --delete-data is not for an installation."},
        {"unknown option", L"--quiet --force", "", 1, "Failed: Unknown setup option"},
        // Nobody can answer the firewall prompt: the installation is rolled back.
        {"firewall refused", L"--quiet", "fail INetFwRules::Add from=1 return=0x80070005\n", 1,
         "Failed: Installation cancelled after the firewall rule could not be created.\n"
         "Saved data and logs were retained. Correct the problem, then retry."},
    };
    for (const auto& row : cases) {
        const std::wstring arguments = L"--port " + std::to_wstring(unusedLoopbackPort()) + L" " + row.arguments;
        EXPECT_EQ(quiet(arguments, row.plan).exitCode, row.exitCode) << row.name;
        const std::vector<std::string> logged = logEvents(LOG);
        ASSERT_GE(logged.size(), 2u) << row.name;
        EXPECT_EQ(logged[logged.size() - 2], row.failure) << row.name;
        EXPECT_EQ(logged.back(), "Exit code: " + std::to_string(row.exitCode)) << row.name;
    }
    EXPECT_FALSE(fs::exists(appDir())) << "rolled back";

    // A log that could lead elsewhere is refused, in the default log, and nothing is written
    // there. The link is made on the Linux side, and Wine keeps no owners: the shim answers the
    // link's owner (the query after the drive's root's) as Windows would for a user's junction.
    fs::create_directories(L"C:\\elsewhere");
    makeDirectoryLink(L"C:\\linked", L"C:\\elsewhere");
    fs::create_hard_link(LOG, L"C:\\deployment\\second-name.log");
    const struct {
        std::wstring log, options;
        std::string plan;
        std::string reason;
    } unusable[] = {
        {L"C:\\linked\\setup.log", L"", "value GetSecurityInfo owner=" + std::string(ANOTHER_USER) + " call=2\n",
         "C:\\linked is owned by another account, not by Administrators or the system."},
        {L"C:\\deployment\\second-name.log", L"", "",
         "it has more than one name (hard links), so it is another file as well."},
        // An uninstall's copy told to write where its first run does not.
        {L"C:\\deployment\\copy.log", L" --log-id 0-0", "",
         "it is not the file that the uninstallation's first run writes to."},
    };
    const std::string before = readBytes(LOG);
    for (const auto& row : unusable) {
        const auto [refused, defaultLog] = withDefaultLog(wizardProgram(), L"--quiet --log " + row.log + row.options, row.plan);
        EXPECT_EQ(refused.exitCode, 1u);
        EXPECT_THAT(logEvents(defaultLog),
                    ElementsAre(StartsWith("Command line: "),
                                "Failed: The log file " + narrow(row.log) + " cannot be used: " + row.reason +
                                    " Choose a file in a folder that only administrators can change, or leave out "
                                    "--log, and try again.",
                                "Exit code: 1"));
    }
    EXPECT_TRUE(fs::is_empty(L"C:\\elsewhere"));
    EXPECT_EQ(readBytes(LOG), before);
    // A link that Administrators own is followed.
    EXPECT_EQ(runWithShim(wizardProgram(), L"--quiet --force --log C:\\linked\\setup.log", "").exitCode, 1u);
    EXPECT_THAT(logEvents(L"C:\\elsewhere\\setup.log"), testing::Contains("Failed: Unknown setup option"));
    removeLink(L"C:\\linked");

    // Another wizard holds the lock: deployment tools try again later on 1618.
    const UniqueHandle lock(CreateMutexW(nullptr, FALSE, L"Global\\Vostrel.QuellmarkConsole.Setup"));
    EXPECT_EQ(quiet(L"--quiet").exitCode, 1618u);
    EXPECT_THAT(logEvents(LOG), testing::Contains("Failed: Another Quellmark Console setup or uninstall wizard is "
                                               "already open."));
}

// Ended by the session's end (refused, as it works, with the wizard's reason) or killed, it leaves
// a log that tells how far it got. (The prefix has Wine's null display driver: a window that is
// never shown needs no display on Windows.)
TEST_F(Quiet, HoldsOffTheSessionEndAndLeavesALogWhenKilled)
{
    const std::wstring arguments = L"--quiet --port " + std::to_wstring(unusedLoopbackPort()) + L" --log " +
                                   quote(LOG.wstring());
    LRESULT answer = 1;
    pausedAt(wizardProgram(), arguments,
             "pause StartServiceW call=1\nrecord ShutdownBlockReasonCreate args=p,ws\n", [&] {
                 const HWND window = FindWindowW(L"QuellmarkConsoleSetupUnattended", nullptr);
                 EXPECT_NE(window, nullptr);
                 SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000,
                                     reinterpret_cast<PDWORD_PTR>(&answer));
             });
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(recordedFields("ShutdownBlockReasonCreate", {"arg2"}),
              std::vector<std::string>{"arg2=Quellmark Console Setup is installing..."});

    killedAt(appDir() / L"Uninstall.exe", L"--uninstall --quiet --log " + quote(LOG.wstring()),
             "process Uninstall.exe\nhang RegDeleteTreeW call=1\n");
    EXPECT_EQ(logEvents(LOG).back(), "55% Removing application and shortcuts...");
}
