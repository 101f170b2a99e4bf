#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "tests/support/wizard_tests.h"

// The wizard from the keyboard, against the end of the session and against clicks that arrive
// while one of its boxes is open. Keys are posted to the control with the focus, as the keyboard
// delivers them, and the focus is read from the wizard's thread.

namespace {

constexpr DWORD INSTALL_WAIT_MS = 120000;
constexpr char BLOCK_RECORDS[] = "record ShutdownBlockReasonCreate args=p,ws\nrecord ShutdownBlockReasonDestroy args=p\n";

// One key and where it leaves the wizard: the page's title and the window with the focus.
struct KeyStep {
    UINT key;                       // pressed; 0 types `typed` instead
    const wchar_t* typed;
    const wchar_t* title;
    HWND Wizard::*focus;
    const wchar_t* question = nullptr; // a box that the key opens, answered with `reply`
    int reply = IDNO;
};

std::string nameOf(const Wizard& wizard, HWND window)
{
    const std::pair<HWND Wizard::*, const char*> names[] = {
        {&Wizard::window, "the window"}, {&Wizard::portEdit, "the port field"}, {&Wizard::choice, "the check box"},
        {&Wizard::back, "Back"},         {&Wizard::next, "Next"},               {&Wizard::cancel, "Cancel"}};
    for (const auto& [control, name] : names)
        if (wizard.*control == window)
            return name;
    return window == nullptr ? "nothing" : "another window";
}

void walk(const Wizard& wizard, const std::vector<KeyStep>& steps)
{
    for (size_t i = 0; i < steps.size(); ++i) {
        const KeyStep& step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1) + " on \"" + narrow(textOf(wizard.title)) + "\"");
        if (step.key != 0)
            pressKey(wizard, step.key);
        else if (step.typed != nullptr)
            typeKeys(wizard, step.typed);
        if (step.question != nullptr) {
            const Box box = waitForBox(wizard.window);
            EXPECT_EQ(box.text, step.question);
            answer(box, step.reply);
        }
        const auto arrived = [&] {
            return textOf(wizard.title) == step.title && focusOf(wizard) == wizard.*step.focus;
        };
        try {
            waitFor(arrived, "the page and the focus");
        } catch (const std::exception&) {
            ASSERT_EQ(textOf(wizard.title), step.title);
            ASSERT_EQ(nameOf(wizard, focusOf(wizard)), nameOf(wizard, wizard.*step.focus));
        }
    }
}

bool looksDefault(HWND button)
{
    return (GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

LRESULT queryEndSession(HWND window)
{
    DWORD_PTR answered = 0;
    if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &answered))
        throw std::runtime_error("the wizard did not answer WM_QUERYENDSESSION");
    return static_cast<LRESULT>(answered);
}

std::string handleText(HWND window)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    return text;
}

class WizardInput : public testing::Test {
protected:
    void TearDown() override
    {
        endWizard(running);
        unloadShim();
        clearSampleSwitches();
    }

    RunningWizard running;
};

} // namespace

TEST_F(WizardInput, KeyboardWalksBothModesWithTheFocusWhereItActs)
{
    constexpr wchar_t WELCOME[] = L"Welcome to Quellmark Console Setup";
    constexpr wchar_t SETTINGS[] = L"Console settings";
    constexpr wchar_t READY[] = L"Ready to install";
    running = startWizard(L"");
    ASSERT_NO_FATAL_FAILURE(walk(running.wizard, {
        {0, nullptr, WELCOME, &Wizard::next},
        {VK_TAB, nullptr, WELCOME, &Wizard::cancel},
        {VK_TAB, nullptr, WELCOME, &Wizard::next}, // Back is disabled, the port field and check box hidden
        {VK_RETURN, nullptr, SETTINGS, &Wizard::next},
        {VK_TAB, nullptr, SETTINGS, &Wizard::cancel},
        {VK_TAB, nullptr, SETTINGS, &Wizard::portEdit},
        {VK_TAB, nullptr, SETTINGS, &Wizard::choice},
        {VK_TAB, nullptr, SETTINGS, &Wizard::back},
        {VK_TAB, nullptr, SETTINGS, &Wizard::next},
        {VK_TAB, nullptr, SETTINGS, &Wizard::cancel},
        {VK_TAB, nullptr, SETTINGS, &Wizard::portEdit},
        {0, L"9090", SETTINGS, &Wizard::portEdit},
        {VK_RETURN, nullptr, READY, &Wizard::next}, // Enter in the port field presses Next
        {VK_ESCAPE, nullptr, READY, &Wizard::next, L"Exit setup?"},
        {VK_TAB, nullptr, READY, &Wizard::cancel},
        {VK_RETURN, nullptr, READY, &Wizard::cancel, L"Exit setup?"}, // the focus returns to where it was
        {VK_TAB, nullptr, READY, &Wizard::back},
        {VK_RETURN, nullptr, SETTINGS, &Wizard::next},
        {VK_RETURN, nullptr, READY, &Wizard::next},
    }));
    EXPECT_NE(textOf(running.wizard.body).find(L"http://localhost:9090"), std::wstring::npos);
    // Tab gave Back the default look; the pages opened since give it back to Next, which Enter presses.
    EXPECT_TRUE(looksDefault(running.wizard.next));
    EXPECT_FALSE(looksDefault(running.wizard.back));
    pressKey(running.wizard, VK_ESCAPE);
    answer(waitForBox(running.wizard.window), IDYES);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 0u);

    constexpr wchar_t UNINSTALL[] = L"Uninstall Quellmark Console";
    constexpr wchar_t CHOOSE[] = L"Choose what to remove";
    constexpr wchar_t REMOVE[] = L"Ready to uninstall";
    constexpr wchar_t REMOVAL_QUESTION[] = L"Permanently delete all saved Console accounts, audit records, license state and logs?";
    running = startWizard(L"--uninstall");
    ASSERT_NO_FATAL_FAILURE(walk(running.wizard, {
        {0, nullptr, UNINSTALL, &Wizard::next},
        {VK_RETURN, nullptr, CHOOSE, &Wizard::next},
        {VK_TAB, nullptr, CHOOSE, &Wizard::cancel},
        {VK_TAB, nullptr, CHOOSE, &Wizard::choice},
        {VK_SPACE, nullptr, CHOOSE, &Wizard::choice},
        {VK_TAB, nullptr, CHOOSE, &Wizard::back},
        {VK_TAB, nullptr, CHOOSE, &Wizard::next},
        {VK_RETURN, nullptr, REMOVE, &Wizard::next},
        {VK_RETURN, nullptr, REMOVE, &Wizard::next, REMOVAL_QUESTION},
        // Nothing is installed here, so the work fails at once; Finish has the focus.
        {VK_RETURN, nullptr, L"Setup needs attention", &Wizard::next, REMOVAL_QUESTION, IDYES},
    }));
    pressKey(running.wizard, VK_RETURN);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 1u);
}

TEST_F(WizardInput, TheWorkHoldsOffTheEndOfTheSessionAndLeavesNoFocusOnItsControls)
{
    running = startWizard(L"", BLOCK_RECORDS);
    const Wizard& wizard = running.wizard;
    EXPECT_NE(queryEndSession(wizard.window), 0) << "before the work the session may end";
    holdRuntimeCheck(); // until the test ends it
    ASSERT_NO_FATAL_FAILURE(walk(wizard, {
        {VK_RETURN, nullptr, L"Console settings", &Wizard::next},
        {VK_RETURN, nullptr, L"Ready to install", &Wizard::next},
        {VK_RETURN, nullptr, L"Installing Console", &Wizard::window},
        {VK_TAB, nullptr, L"Installing Console", &Wizard::window},
    }));
    pressKey(wizard, VK_ESCAPE);
    settle(wizard);
    EXPECT_EQ(boxesOwnedBy(wizard.window), 0) << "Escape is ignored during the work, as Cancel is";
    EXPECT_EQ(queryEndSession(wizard.window), 0);
    const std::vector<ShimRecord> created = readShimRecords("ShutdownBlockReasonCreate");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0]["arg1"], handleText(wizard.window));
    EXPECT_EQ(created[0]["arg2"], "Quellmark Console Setup is installing...");
    EXPECT_TRUE(readShimRecords("ShutdownBlockReasonDestroy").empty());

    endRuntimeCheck(INSTALL_WAIT_MS);
    ASSERT_NO_FATAL_FAILURE(walk(wizard, {{0, nullptr, L"Setup needs attention", &Wizard::next}}));
    EXPECT_TRUE(textOf(wizard.body).starts_with(L"The bundled runtime could not start."));
    EXPECT_NE(queryEndSession(wizard.window), 0);
    const std::vector<ShimRecord> destroyed = readShimRecords("ShutdownBlockReasonDestroy");
    ASSERT_EQ(destroyed.size(), 1u);
    EXPECT_EQ(destroyed[0]["arg1"], handleText(wizard.window));
    pressKey(wizard, VK_RETURN);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 1u);
}

TEST_F(WizardInput, ANextPostedWhileABoxIsOpenChangesNothing)
{
    running = startWizard(L"", BLOCK_RECORDS);
    const Wizard& setup = running.wizard;
    click(setup.next);
    typeInto(setup.portEdit, L"80");
    const PageView settings = viewOf(setup);
    press(setup.next);
    const Box refused = waitForBox(setup.window);
    press(setup.next);
    settle(setup);
    EXPECT_EQ(boxesOwnedBy(setup.window), 1) << "no second box on top of the first";
    answer(refused, IDOK);
    EXPECT_EQ(viewOf(setup), settings);
    EXPECT_EQ(textOf(setup.portEdit), L"80");

    // Yes to the exit question after a click that would have started the installation.
    typeInto(setup.portEdit, L"8080");
    click(setup.next);
    press(setup.cancel);
    const Box exit = waitForBox(setup.window);
    press(setup.next);
    settle(setup);
    EXPECT_EQ(textOf(setup.title), L"Ready to install");
    answer(exit, IDYES);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 0u);
    EXPECT_TRUE(readShimRecords("ShutdownBlockReasonCreate").empty()) << "no work started";
    EXPECT_FALSE(std::filesystem::exists(appDir()));

    // Yes to the removal after a second Next, Back and a close as taskkill sends it: one uninstall
    // runs, once.
    running = startWizard(L"--uninstall", BLOCK_RECORDS);
    const Wizard& remover = running.wizard;
    click(remover.next);
    click(remover.choice);
    click(remover.next);
    press(remover.next);
    const Box confirm = waitForBox(remover.window);
    press(remover.next);
    press(remover.back);
    PostMessageW(remover.window, WM_CLOSE, 0, 0);
    settle(remover);
    EXPECT_EQ(boxesOwnedBy(remover.window), 1);
    EXPECT_EQ(textOf(remover.title), L"Ready to uninstall");
    answer(confirm, IDYES);
    waitForPage(remover, {L"Setup needs attention", L"No recognized Console installation found. Nothing was removed.",
                          L"", L"Finish", L"", L"", false, false});
    const std::vector<ShimRecord> workers = readShimRecords("ShutdownBlockReasonCreate");
    ASSERT_EQ(workers.size(), 1u) << "one worker";
    EXPECT_EQ(workers[0]["arg2"], "Quellmark Console Setup is removing...");
    press(remover.next);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 1u);
}
