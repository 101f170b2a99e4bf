#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "tests/support/wizard_tests.h"

// The question pages of both modes, driven from this process as a user would, before any work
// starts. Screenshots go to <build>/screenshots.

namespace {

constexpr wchar_t APPLICATION_FOLDER[] = L"C:\\Program Files\\Vostrel\\Quellmark Console";

const PageView INSTALL_WELCOME{
    L"Welcome to Quellmark Console Setup",
    L"Quellmark Console 0.2.3 build 0012 for Windows x64\r\n\r\nClick Next to configure and install Quellmark Console.",
    L"< Back (disabled)", L"Next >", L"Cancel", L"", false, false};

PageView installSettings(bool allowNetwork)
{
    return {L"Console settings",
            std::wstring(L"Console will be installed in:\r\n") + APPLICATION_FOLDER +
                L"\r\n\r\nChoose the HTTP port. The default is 8080.",
            L"< Back", L"Next >", L"Cancel",
            (allowNetwork ? L"[x] " : L"[ ] ") + std::wstring(L"Allow access from devices on private/domain networks"),
            true, false};
}

PageView installReady(const std::wstring& port, bool allowNetwork)
{
    return {L"Ready to install",
            std::wstring(L"Application: ") + APPLICATION_FOLDER + L"\r\n\r\nConsole address: http://localhost:" + port +
                L"\r\n\r\nWindows Service: Quellmark Console (automatic)\r\n\r\n" +
                (allowNetwork ? L"Network access: private/domain networks"
                              : L"No Windows Firewall exception will be added") +
                L"\r\n\r\nClick Install to begin.",
            L"< Back", L"Install", L"Cancel", L"", false, false};
}

const PageView UNINSTALL_WELCOME{
    L"Uninstall Quellmark Console",
    L"This wizard removes the Console application and Windows Service.\r\n\r\nSaved accounts, audit records, license "
    L"state and logs are kept by default.\r\n\r\nThe Quellmark Agent is a separate application and is not removed.",
    L"< Back (disabled)", L"Next >", L"Cancel", L"", false, false};

PageView uninstallSettings(bool deleteData)
{
    return {L"Choose what to remove",
            L"Keep your saved data if you plan to reinstall.\r\n\r\nSelect the option below only if you want to "
            L"permanently delete Console accounts, audit records, license state and logs.",
            L"< Back", L"Next >", L"Cancel",
            (deleteData ? L"[x] " : L"[ ] ") + std::wstring(L"Permanently delete saved Console data and logs"), false,
            false};
}

PageView uninstallReady(bool deleteData)
{
    return {L"Ready to uninstall",
            deleteData ? L"Console and ALL saved data will be permanently removed.\r\n\r\nMake a backup before "
                         L"continuing if you need this data."
                       : L"Console application and service will be removed.\r\n\r\nYour database and logs will be "
                         L"kept for reinstallation.",
            L"< Back", L"Uninstall", L"Cancel", L"", false, false};
}

class WizardPages : public WizardTest {
protected:
    void waitForPage(const PageView& expected) { ::waitForPage(wizard(), expected); }

    const Wizard& wizard() const { return running.wizard; }
};

} // namespace

TEST_F(WizardPages, InstallQuestionsForwardBackAndExit)
{
    running = startWizard(L"");
    EXPECT_EQ(textOf(wizard().window), L"Quellmark Console 0.2.3 build 0012 \u2014 Setup");
    EXPECT_EQ(textOf(wizard().portEdit), L"8080");
    EXPECT_EQ(viewOf(wizard()), INSTALL_WELCOME);
    EXPECT_EQ(windowPlacement(wizard().window),
              (Placement{(GetSystemMetrics(SM_CXSCREEN) - 680) / 2, (GetSystemMetrics(SM_CYSCREEN) - 495) / 2, 680, 495}));
    EXPECT_EQ(layoutOf(wizard()), layoutAt(96));
    screenshot(wizard().window, "install-1-welcome");
    // Labels answer WM_CTLCOLORSTATIC with the window's own colour: no grey panel in the body.
    EXPECT_EQ(screenPixel(wizard().window, 600, 290), screenPixel(wizard().window, 10, 10));

    click(wizard().back);
    EXPECT_EQ(viewOf(wizard()), INSTALL_WELCOME) << "Back does nothing on the first page";
    // "&" (a folder under D:\R&D) shows as written: taken for the mark of an access key, "&&" draws
    // as one "&", the same as a lone "&" in Wine. The next page puts the text back.
    const auto background = [&](const wchar_t* text) {
        ask(wizard().body, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
        screenshot(wizard().window, "install-1-ampersand");
        return pixelsOf(wizard().body, GetSysColor(COLOR_WINDOW));
    };
    EXPECT_LT(background(L"&&"), background(L"&"));
    click(wizard().next);
    EXPECT_EQ(viewOf(wizard()), installSettings(true));
    screenshot(wizard().window, "install-2-settings");
    click(wizard().back);
    EXPECT_EQ(viewOf(wizard()), INSTALL_WELCOME);

    click(wizard().next);
    click(wizard().next);
    EXPECT_EQ(viewOf(wizard()), installReady(L"8080", true));
    screenshot(wizard().window, "install-3-ready");

    click(wizard().back);
    click(wizard().choice);
    EXPECT_EQ(viewOf(wizard()), installSettings(false));
    click(wizard().next);
    EXPECT_EQ(viewOf(wizard()), installReady(L"8080", false));

    press(wizard().cancel);
    const Box box = waitForBox(wizard().window);
    EXPECT_EQ(box.caption, L"Quellmark Console");
    EXPECT_EQ(box.text, L"Exit setup?");
    EXPECT_TRUE(hasButton(box, IDYES) && hasButton(box, IDNO) && !hasButton(box, IDCANCEL));
    EXPECT_EQ(defaultButton(box), IDNO);
    screenshot(wizard().window, "install-exit-question");
    answer(box, IDNO);
    EXPECT_EQ(viewOf(wizard()), installReady(L"8080", false)) << "No keeps the page";

    closeWindow(wizard().window);
    answer(waitForBox(wizard().window), IDYES);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 0u);
}

// Each entry is typed (or pasted) into the port field on the settings page, then Next.
struct PortCase {
    const wchar_t* entered;
    bool pasted;
    const wchar_t* field;    // what the field then holds
    const wchar_t* accepted; // the port on the ready page, or null for the refusal box
};

TEST_F(WizardPages, PortFieldAcceptsOnly1024To65535)
{
    const PortCase cases[] = {
        {L"1023", false, L"1023", nullptr},
        {L"1024", false, L"1024", L"1024"},
        {L"65535", false, L"65535", L"65535"},
        {L"65536", false, L"65536", nullptr},
        {L"08080", false, L"08080", L"8080"},
        {L"", false, L"", nullptr},
        {L"-1", true, L"-1", nullptr},         // the number style stops typing, not pasting
        {L"80a80", false, L"8080", L"8080"},   // letters are refused as they are typed
        {L"123456", false, L"12345", L"12345"}, // five digits at most
    };
    running = startWizard(L"");
    click(wizard().next);
    for (const PortCase& entry : cases) {
        SCOPED_TRACE(std::string(entry.pasted ? "pasted \"" : "typed \"") + narrow(entry.entered) + "\"");
        if (entry.pasted)
            pasteInto(wizard().portEdit, entry.entered);
        else
            typeInto(wizard().portEdit, entry.entered);
        ASSERT_EQ(textOf(wizard().portEdit), entry.field);
        press(wizard().next);
        if (entry.accepted != nullptr) {
            waitForPage(installReady(entry.accepted, true));
            click(wizard().back);
            continue;
        }
        const Box box = waitForBox(wizard().window);
        EXPECT_EQ(box.caption, L"Quellmark Console");
        EXPECT_EQ(box.text, L"Enter a port between 1024 and 65535.");
        EXPECT_TRUE(hasButton(box, IDOK) && !hasButton(box, IDCANCEL));
        if (entry.pasted)
            screenshot(wizard().window, "install-port-refused");
        answer(box, IDOK);
        EXPECT_EQ(viewOf(wizard()), installSettings(true));
        EXPECT_EQ(textOf(wizard().portEdit), entry.field) << "the typed text stays for correcting";
    }
}

TEST_F(WizardPages, UninstallQuestionsAndTheDataDeletionConfirmation)
{
    // Started outside the application folder, the uninstall wizard runs in place; a parent id of
    // 0 names no parent to wait for.
    running = startWizard(L"--uninstall --parent 0");
    EXPECT_EQ(textOf(wizard().window), L"Quellmark Console \u2014 Uninstall");
    EXPECT_EQ(viewOf(wizard()), UNINSTALL_WELCOME);
    screenshot(wizard().window, "uninstall-1-welcome");

    click(wizard().next);
    EXPECT_EQ(viewOf(wizard()), uninstallSettings(false));
    screenshot(wizard().window, "uninstall-2-settings");
    click(wizard().next);
    EXPECT_EQ(viewOf(wizard()), uninstallReady(false));
    screenshot(wizard().window, "uninstall-3-ready");

    click(wizard().back);
    click(wizard().choice);
    click(wizard().next);
    EXPECT_EQ(viewOf(wizard()), uninstallReady(true));
    screenshot(wizard().window, "uninstall-3-ready-delete-data");

    press(wizard().next);
    const Box box = waitForBox(wizard().window);
    EXPECT_EQ(box.caption, L"Confirm permanent removal");
    EXPECT_EQ(box.text, L"Permanently delete all saved Console accounts, audit records, license state and logs?");
    EXPECT_TRUE(hasButton(box, IDYES) && hasButton(box, IDNO));
    EXPECT_EQ(defaultButton(box), IDNO);
    screenshot(wizard().window, "uninstall-delete-confirmation");
    answer(box, IDNO);
    EXPECT_EQ(viewOf(wizard()), uninstallReady(true)) << "No keeps the page and starts nothing";

    // Yes starts the work, which finds nothing installed here.
    press(wizard().next);
    answer(waitForBox(wizard().window), IDYES);
    waitForPage({L"Setup needs attention", L"No recognized Console installation found. Nothing was removed.", L"",
                 L"Finish", L"", L"", false, false});
    screenshot(wizard().window, "uninstall-6-failed");
    // The close box (or Alt+F4) closes the final page at once, asking nothing, with the run's exit code.
    closeWindow(wizard().window);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 1u);
    EXPECT_EQ(pendingRenames(), std::vector<std::wstring>{}) << "a wizard that is no temporary copy leaves no deletions";
}
