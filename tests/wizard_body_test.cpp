#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "common/wizard_messages.h"
#include "common/wizard_state.h"
#include "tests/support/processes.h"
#include "tests/support/shim_fixtures.h"
#include "tests/support/wizard_tests.h"
#include "ui/window.h"
#include "windows/firewall.h"

// The wizard window in this process, fed as the worker feeds it: the statuses that the
// extraction of a large console repeats, then every outcome of the work, at 96 DPI and after a
// move to a 144-DPI screen. Screenshots go to <build>/screenshots/final-pages/<dpi>.

namespace {

void post(UINT message, WPARAM value, const wchar_t* text)
{
    PostMessageW(windowHandle, message, value, reinterpret_cast<LPARAM>(text ? new std::wstring(text) : nullptr));
}

void repeatingWork() // the extraction reports every 20 files
{
    post(WM_SETUP_PROGRESS, 2, L"Checking this computer...");
    for (WPARAM percent = 10; percent <= 65; percent += 5)
        post(WM_SETUP_PROGRESS, percent, L"Installing application files...");
    post(WM_SETUP_DONE, 0, nullptr);
}

void ruleAdded(const char* answers) // the firewall's sentence, with the shim's answers for Windows'
{
    firewallAdded = true;
    loadShim(std::string("value INetFwPolicy2 ") + answers);
    firewallNotice = widen(firewallRuleHindrance());
}

// What the work leaves in the wizard's state, over an installation without the rule; the failure.
struct Outcome {
    const char* name;
    void (*state)();
    std::wstring failure;
};

using WizardBody = ShimUnloaded;

} // namespace

TEST_F(WizardBody, StatusesAreReadOutOnceAndTheFinalPageShowsEveryLineOfEveryOutcome)
{
    loadShim("record NotifyWinEvent args=x,p\n");
    openWizardWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL, repeatingWork, nullptr);
    const Wizard wizard = findWizard(GetCurrentProcessId());
    for (int question = 0; question < 3; ++question)
        click(wizard.next);
    for (MSG message; !finished && GetMessageW(&message, nullptr, 0, 0) > 0;)
        DispatchMessageW(&message);
    EXPECT_EQ(barPosition(wizard.progress), 65) << "every report moves the bar";
    // Changes of the title (t) and body (b) as live regions (EVENT_OBJECT_LIVEREGIONCHANGED).
    char title[32], body[32];
    std::snprintf(title, sizeof title, "0x%llX", static_cast<unsigned long long>(UINT_PTR(wizard.title)));
    std::snprintf(body, sizeof body, "0x%llX", static_cast<unsigned long long>(UINT_PTR(wizard.body)));
    std::string heard;
    for (const ShimRecord& event : readShimRecords("NotifyWinEvent"))
        heard += event["arg1"] != "0x8019" ? '?' : event["arg2"] == title ? 't' : event["arg2"] == body ? 'b' : '?';
    EXPECT_EQ(heard, "tbtbtbtbbbtb") << "four pages, each of the two statuses once, the outcome";

    // The longest failures: a file deep in the runtime, at the longest path the file calls take,
    // held by the console's service, its interpreters, the virus scanner, the indexer and Explorer,
    // as an uninstallation and the rollback of an installation find it (last, so that the move to
    // 144 DPI finds a grown body). A new outcome is a row.
    std::wstring deep = appDir().wstring() + L"\\runtime\\Lib\\site-packages\\quellmark_console_backend\\";
    while (deep.size() < MAX_PATH - 1)
        deep += L"generated_schema_";
    const std::wstring holders = L"Quellmark Console Service, Python, Python, Python, Python, Microsoft Defender "
                                 L"Antivirus Service, Windows Search, Windows Explorer";
    const std::wstring inUse = deep.substr(0, MAX_PATH - 1) + L" is in use by " + holders +
                               L" and could not be removed. Close " + holders + L", then try again.";
    const Outcome outcomes[] = {
        {"install-rule", [] { ruleAdded("profiles=2"); }, L""},
        {"install-rule-public-network", [] { ruleAdded("profiles=4"); }, L""},
        {"install-rule-group-policy", [] { ruleAdded("profiles=2 modify=1"); }, L""},
        {"install-rule-all-blocked", [] { ruleAdded("profiles=2 modify=2"); }, L""},
        {"install-no-rule", [] {}, L""},
        {"uninstall-data-kept", [] { removing = true; selectedChoice = false; }, L""},
        {"uninstall-data-deleted", [] { removing = true; }, L""},
        {"uninstall-data-kept-left-to-do",
         [] { removing = restartToFinish = firewallRuleLeft = true; selectedChoice = false; }, L""},
        {"uninstall-data-deleted-left-to-do", [] { removing = restartToFinish = firewallRuleLeft = true; }, L""},
        {"uninstall-failed-longest", [] { removing = true; }, inUse},
        {"install-failed-longest", [] {}, L"Console did not become healthy. See ProgramData\\Vostrel\\Quellmark "
                                          L"Console\\logs\\console.log.\nCleanup needs attention: " + inUse},
    };
    for (const UINT dpi : {96u, 144u}) {
        RECT suggested{0, 0, MulDiv(680, static_cast<int>(dpi), 96), MulDiv(495, static_cast<int>(dpi), 96)};
        SendMessageW(wizard.window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        expectWholeBody(wizard, dpi, "the page before the move to " + std::to_string(dpi) + " DPI");
        for (const Outcome& outcome : outcomes) {
            removing = false;
            selectedChoice = true;
            firewallAdded = restartToFinish = firewallRuleLeft = false;
            firewallNotice.clear();
            outcome.state();
            const bool failedRun = !outcome.failure.empty();
            SendMessageW(wizard.window, WM_SETUP_DONE, failedRun,
                         reinterpret_cast<LPARAM>(failedRun ? new std::wstring(outcome.failure) : nullptr));
            expectWholeBody(wizard, dpi, outcome.name + (" at " + std::to_string(dpi)));
            screenshot(wizard.window, outcome.name,
                       testProgramFolder().parent_path() / L"screenshots" / L"final-pages" / std::to_string(dpi));
        }
    }
    DestroyWindow(wizard.window);
}
