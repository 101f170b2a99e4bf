#include <winsock2.h>
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"
#include "tests/support/installation.h"
#include "tests/support/loopback_server.h"
#include "tests/support/machine_snapshot.h"
#include "tests/support/sample_switches.h"
#include "tests/support/services.h"
#include "tests/support/wizard_tests.h"

// Whole runs through the window, each in a prefix of its own with the sample console: the
// worker's progress and end as the window shows them, the firewall prompt raised from the worker
// while the window goes on answering, the final pages, the exit codes, and what the machine
// holds afterwards. The firewall rule is refused through the shim, since Wine's firewall accepts
// every rule.

namespace fs = std::filesystem;

namespace {

constexpr char REFUSED_RULE[] = "fail INetFwRules::Add call=1 return=0x80070005\n";
const std::filesystem::path SUPPORT_LOG = L"C:\\support\\setup.log";

// A window's text as a log holds it: its line breaks are the log's.
std::string logged(const std::wstring& text)
{
    return std::regex_replace(narrow(text), std::regex("\r\n"), "\n");
}

PageView working(const wchar_t* title, const std::wstring& status)
{
    return {title, status, L"< Back (disabled)", L"Next > (disabled)", L"Cancel (disabled)", L"", false, true};
}

PageView done(const std::wstring& title, const std::wstring& body)
{
    return {title, body, L"", L"Finish", L"", L"", false, false};
}

// Added, and put out of force by Group Policy (the shim's answer: Wine's policy cannot tell).
constexpr char INSTALLED_WITH_RULE[] =
    "Quellmark Console is running.\r\n\r\nOpen http://localhost:{port} to create your administrator account.\r\n\r\n"
    "Network access: private/domain firewall rule added.\r\nUse http://IP-OF-THIS-PC:{port} on a trusted "
    "private/domain network.\r\nOther devices cannot reach the console yet: Group Policy on this computer overrides "
    "local firewall rules; ask your domain administrator to allow the console's port.\r\n\r\nThe service starts "
    "automatically with Windows.";
constexpr char INSTALLED_WITHOUT_RULE[] =
    "Quellmark Console is running.\r\n\r\nOpen http://localhost:{port} to create your administrator account.\r\n\r\n"
    "No firewall rule was added. Access from other computers may be blocked. See the installation manual to "
    "configure network access.\r\n\r\nThe service starts automatically with Windows.";

PageView installed(const char* body, unsigned port)
{
    return {L"All done", widen(withPort(body, port)), L"", L"Finish", L"", L"[x] Open Console in my browser", false,
            false};
}

std::wstring firewallPrompt()
{
    return L"Windows Firewall access could not be configured.\r\n\r\nSave Console firewall rule (HRESULT 0x80070005): " +
           systemMessage(ERROR_ACCESS_DENIED) +
           L"\r\n\r\nTry Again: retry after correcting the Windows firewall problem.\r\nContinue: finish installation "
           L"without adding a firewall rule. Access from other computers may remain blocked.\r\nCancel: cancel "
           L"installation and keep saved data.\r\n\r\nDetails: C:\\ProgramData\\Vostrel\\Quellmark Console\\logs\\setup.log";
}

// What the wizard asked the desktop's shell to open. The shim stands in for that shell, so no
// browser really starts.
std::vector<ShimRecord> browserStarts()
{
    return readShimRecords("IShellDispatch2::ShellExecute");
}

// Entries of the setup log; a failure text may span several lines.
std::ptrdiff_t logEntries()
{
    const std::string text = readBytes(dataDir() / L"logs" / L"setup.log");
    const std::regex entry(" UTC: ");
    return std::distance(std::sregex_iterator(text.begin(), text.end(), entry), std::sregex_iterator());
}

using WizardRun = WizardTest;

} // namespace

TEST_F(WizardRun, InstallRetryingTheFirewallThenUninstallFromInstalledAppsKeepingData)
{
    const MachineSnapshot before = takeSnapshot();
    const unsigned port = unusedLoopbackPort();
    // Run again with a log, as support staff ask after a failure.
    running = startWizard(L"--log " + SUPPORT_LOG.wstring(), std::string(REFUSED_RULE) + "value INetFwPolicy2 modify=1\n");
    const Wizard& setup = running.wizard;
    askToInstall(setup, port, true);

    // The worker asks from its own thread; the window behind the box keeps answering.
    const Box prompt = waitForBox(setup.window, 0, INSTALL_WAIT_MS);
    EXPECT_EQ(prompt.caption, L"Console network access");
    EXPECT_EQ(prompt.text, firewallPrompt());
    EXPECT_TRUE(hasButton(prompt, IDCANCEL) && hasButton(prompt, IDTRYAGAIN) && hasButton(prompt, IDCONTINUE));
    EXPECT_EQ(defaultButton(prompt), IDTRYAGAIN);
    EXPECT_TRUE(responsive(setup.window));
    EXPECT_EQ(viewOf(setup), working(L"Installing Console", L"Allowing access on private and domain networks..."));
    EXPECT_EQ(barPosition(setup.progress), 90);
    screenshot(setup.window, "install-4-working-firewall-prompt");
    answer(prompt, IDTRYAGAIN);

    waitForPage(setup, installed(INSTALLED_WITH_RULE, port));
    expectWholeBody(setup, 96, "the final page");
    screenshot(setup.window, "install-5-done-firewall-rule");
    EXPECT_EQ(healthAnswer(port), 200);
    const std::string rule = "Add Quellmark Console HTTP " + std::to_string(port);
    EXPECT_EQ(firewallCalls(), (std::vector<std::string>{rule, rule})) << "refused once, then added";
    EXPECT_EQ(logEntries(), 2) << "the refusal, then why the rule cannot let others in";
    EXPECT_TRUE(readBytes(dataDir() / L"logs" / L"setup.log").ends_with(" UTC: Other devices cannot reach the console "
        "yet: Group Policy on this computer overrides local firewall rules; ask your domain administrator to allow the "
        "console's port.\r\n"));
    EXPECT_EQ(finish(running), 0u);
    EXPECT_THAT(logEvents(SUPPORT_LOG),
                testing::ElementsAre(
                    testing::StartsWith("Command line: "), "2% Checking this computer...",
                    "70% Checking bundled runtime...", "80% Registering and starting Windows Service...",
                    "90% Allowing access on private and domain networks...",
                    "Message box \"Console network access\": " + logged(firewallPrompt()), "Answer: Try Again",
                    "100% Installation complete.", "Succeeded: " + logged(widen(withPort(INSTALLED_WITH_RULE, port))),
                    "Exit code: 0"));
    fs::remove_all(SUPPORT_LOG.parent_path()); // taken away by support staff
    // The desktop's shell opens the address, so a browser that starts for it runs as the signed-in
    // user; the elevated wizard starts nothing itself.
    EXPECT_EQ(recordedFields("IShellDispatch2::ShellExecute", {"file", "arguments", "folder", "operation", "show"}),
              std::vector<std::string>{"file=http://localhost:" + std::to_string(port) +
                                       "/ arguments=VT_BSTR: folder=VT_BSTR: operation=VT_BSTR:open show=VT_I4:" +
                                       std::to_string(SW_SHOWNORMAL)});
    EXPECT_TRUE(readShimRecords("ShellExecuteW").empty());
    EXPECT_EQ(readShimRecords("DesktopShell::Release").size(), 7u) << "every shell object is released";

    // Installed apps starts the uninstaller in the application folder, which hands over to a
    // temporary copy. Windows Firewall is not running: the rule stays, and the page says how to
    // remove it.
    const ShimProcess handOver = startWithShim(appDir() / L"Uninstall.exe", L"--uninstall",
                                               "fail INetFwPolicy2::get_Rules call=1 return=0x800706D9\n");
    EXPECT_EQ(exitCodeOf(handOver.process.get()), 0u);
    running = handedOver();
    askToUninstall(running.wizard, false);
    waitForPage(running.wizard,
                done(L"All done", L"Quellmark Console has been removed.\r\n\r\nYour database and logs are saved "
                                  L"in:\r\nC:\\ProgramData\\Vostrel\\Quellmark Console\r\n\r\nA future "
                                  L"installation can reuse this data.\r\n\r\nThe firewall rule \"Quellmark Console "
                                  L"HTTP\" could not be removed because Windows Firewall is not running. Once it runs "
                                  L"again, remove the rule in Windows Firewall, or with the command\r\nnetsh "
                                  L"advfirewall firewall delete rule name=\"Quellmark Console HTTP\""),
                INSTALL_WAIT_MS);
    screenshot(running.wizard.window, "uninstall-5-done-data-kept");
    EXPECT_EQ(finish(running), 0u);
    EXPECT_TRUE(browserStarts().empty()) << "no browser after an uninstallation";
    std::vector<std::string> kept = dataFolderFootprint();
    kept.push_back("+ " + narrow((dataDir() / L"logs" / L"setup.log").wstring()));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(changes(before, takeSnapshot()), kept) << "only the saved data is left, with the setup log";
}

TEST_F(WizardRun, InstallContinuingWithoutTheRuleThenUninstallDeletingData)
{
    const MachineSnapshot before = takeSnapshot();
    const unsigned port = unusedLoopbackPort();
    running = startWizard(L"", std::string(REFUSED_RULE) + "record MessageBeep args=x\n");
    // A console whose health request goes unanswered holds the work in the health wait.
    setSampleSwitch(L"Health", L"NoAnswer", 1);
    askToInstall(running.wizard, port, true);
    const PageView starting = working(L"Installing Console", L"Registering and starting Windows Service...");
    waitForPage(running.wizard, starting, INSTALL_WAIT_MS);
    EXPECT_EQ(barPosition(running.wizard.progress), 80);

    // Nothing closes or moves while the worker runs; the close box only beeps.
    closeWindow(running.wizard.window);
    waitFor([] { return !readShimRecords("MessageBeep").empty(); }, "a beep");
    EXPECT_EQ(readShimRecords("MessageBeep").at(0)["arg1"], "0x40") << "MB_ICONASTERISK";
    click(running.wizard.back);
    click(running.wizard.next);
    click(running.wizard.cancel);
    EXPECT_EQ(viewOf(running.wizard), starting);
    EXPECT_TRUE(IsWindow(running.wizard.window));

    clearSampleSwitches();
    answer(waitForBox(running.wizard.window, 0, INSTALL_WAIT_MS), IDCONTINUE);

    // The ready page promised network access; the final page tells what really happened.
    waitForPage(running.wizard, installed(INSTALLED_WITHOUT_RULE, port));
    screenshot(running.wizard.window, "install-5-done-no-firewall-rule");
    click(running.wizard.choice);
    // A Back posted (by another program) once the work has ended changes nothing: the box stays clear.
    PostMessageW(running.wizard.window, WM_COMMAND, MAKEWPARAM(201, BN_CLICKED),
                 reinterpret_cast<LPARAM>(running.wizard.back));
    settle(running.wizard);
    EXPECT_FALSE(checked(running.wizard.choice));
    EXPECT_EQ(finish(running), 0u);
    EXPECT_TRUE(browserStarts().empty()) << "the box was cleared before Finish";
    EXPECT_EQ(healthAnswer(port), 200);

    // Started elsewhere than the application folder, the uninstall runs in place. The Services
    // console holds the service open: only a restart, or that console let go, finishes it.
    UniqueService held = openConsoleService(SERVICE_QUERY_STATUS);
    running = startWizard(L"--uninstall");
    askToUninstall(running.wizard, true);
    answer(waitForBox(running.wizard.window), IDYES);
    waitForPage(running.wizard, done(L"All done", L"Quellmark Console and all saved data have been removed.\r\n\r\n"
                                                  L"Restart Windows to finish removing the Quellmark Console service, "
                                                  L"or close the Services console and any other program that shows "
                                                  L"Windows services. Until then, Quellmark Console cannot be "
                                                  L"installed again."));
    screenshot(running.wizard.window, "uninstall-5-done-data-deleted");
    EXPECT_EQ(finish(running), 0u);
    held.reset();
    const fs::path switches = known(FOLDERID_ProgramData) / L"Quellmark Sample Console"; // the test's own
    EXPECT_EQ(changes(before, takeSnapshot(), {switches}), std::vector<std::string>{}) << "nothing is left";
}

TEST_F(WizardRun, FailuresEndOnTheFinalPageWithExitCode1)
{
    // The port is taken: the checks refuse before anything changes. The check box stays checked
    // (the firewall choice), and still Finish opens no browser after a failure.
    const LoopbackServer busy(httpResponse(200, "taken"));
    running = startWizard(L"--log " + SUPPORT_LOG.wstring());
    askToInstall(running.wizard, busy.port, true);
    waitForPage(running.wizard,
                done(L"Setup needs attention", L"The selected port is already in use. Choose a different port."),
                INSTALL_WAIT_MS);
    screenshot(running.wizard.window, "install-6-failed");
    EXPECT_EQ(finish(running), 1u);
    EXPECT_THAT(logEvents(SUPPORT_LOG),
                testing::ElementsAre(testing::StartsWith("Command line: "), "2% Checking this computer...",
                                     "Failed: The selected port is already in use. Choose a different port.",
                                     "Exit code: 1"));
    EXPECT_TRUE(browserStarts().empty()) << "no browser after a failure";

    // Finish with the box checked where no desktop shell answers (Server Core, a shell that has
    // ended): nothing opens, and the installation still ends as a success. (The installations keep
    // their pauses: a shortened health wait would give up before a slow machine has started the
    // console.)
    const unsigned port = unusedLoopbackPort();
    running = startWizard(L"", "value ShellWindows desktop=none\n");
    askToInstall(running.wizard, port, false);
    waitForPage(running.wizard, installed(INSTALLED_WITHOUT_RULE, port), INSTALL_WAIT_MS);
    ASSERT_EQ(finish(running), 0u);
    EXPECT_EQ(readShimRecords("IShellWindows::FindWindowSW").at(0)["result"], "0x00000001") << "S_FALSE: no desktop";
    EXPECT_THAT(recordedFields("CoCreateInstance", {"name", "context"}),
                testing::Contains("name=ShellWindows context=4"))
        << "a server of the desktop's own (CLSCTX_LOCAL_SERVER), never loaded into the elevated wizard";
    EXPECT_TRUE(browserStarts().empty());

    // A console that ignores the stop control: the uninstall waits for it, then gives up having
    // removed nothing. Halved pauses make the wait last about 15 s instead of 30, still ample for
    // the test to see the working page.
    setSampleSwitch(L"Service", L"IgnoreStop", 1);
    running = startWizard(L"--uninstall", "fast Sleep max=250\n");
    askToUninstall(running.wizard, false);
    waitForPage(running.wizard, working(L"Removing Console", L"Stopping Console safely..."), INSTALL_WAIT_MS);
    EXPECT_EQ(barPosition(running.wizard.progress), 10);
    screenshot(running.wizard.window, "uninstall-4-working");
    waitForPage(running.wizard,
                done(L"Setup needs attention", L"Console could not be stopped. Application and data were retained; "
                                               L"retry uninstall after stopping its service."),
                INSTALL_WAIT_MS);
    screenshot(running.wizard.window, "uninstall-6-failed-console-running");
    EXPECT_EQ(finish(running), 1u);
    EXPECT_TRUE(fs::exists(appDir() / L"product.txt"));

    // A failure in the window itself, here the program folder that cannot be located while the
    // settings page is drawn, ends the wizard the same way instead of escaping the window.
    // The shell returns its failure rather than setting the thread's last error.
    running = startWizard(L"", "fail SHGetKnownFolderPath from=1 return=0x80070005\n");
    click(running.wizard.next);
    EXPECT_EQ(viewOf(running.wizard), done(L"Setup needs attention", L"Locate Windows folder (2147942405): " +
                                                                         systemMessage(E_ACCESSDENIED)));
    EXPECT_EQ(finish(running), 1u);
}
