#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "tests/support/wizard_tests.h"

// The wizard from the keyboard, against the end of the session and against clicks that arrive
// while one of its boxes is open. Keys are posted to the control with the focus, as the keyboard
// delivers them, and the focus is read from the wizard's thread.

namespace {

constexpr char BLOCK_RECORDS[] = "record ShutdownBlockReasonCreate args=p,ws\nrecord ShutdownBlockReasonDestroy args=p\n";

constexpr HWND Wizard::*WINDOW = &Wizard::window;
constexpr HWND Wizard::*PORT = &Wizard::portEdit;
constexpr HWND Wizard::*CHOICE = &Wizard::choice;
constexpr HWND Wizard::*BACK = &Wizard::back;
constexpr HWND Wizard::*NEXT = &Wizard::next;
constexpr HWND Wizard::*CANCEL = &Wizard::cancel;
constexpr HWND Wizard::*PROGRESS = &Wizard::progress;

// A key (0: none, where the page and the focus are only looked at) and where it leaves the wizard.
struct KeyStep {
    UINT key;
    const wchar_t* title;
    HWND Wizard::*focus;
    const wchar_t* question = nullptr; // a box that the key opens, answered with `reply`
    int reply = IDNO;
};

std::string nameOf(const Wizard& wizard, HWND window)
{
    const std::pair<HWND Wizard::*, const char*> names[] = {{WINDOW, "the window"}, {PORT, "the port field"},
                                                            {CHOICE, "the check box"}, {BACK, "Back"},
                                                            {NEXT, "Next"}, {CANCEL, "Cancel"},
                                                            {PROGRESS, "the progress bar"}};
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
        if (step.question != nullptr) {
            const Box box = waitForBox(wizard.window);
            EXPECT_EQ(box.text, step.question);
            answer(box, step.reply);
        }
        try {
            waitFor([&] { return textOf(wizard.title) == step.title && focusOf(wizard) == wizard.*step.focus; },
                    "the page and the focus");
        } catch (const std::exception&) {
            ASSERT_EQ(textOf(wizard.title), step.title);
            ASSERT_EQ(nameOf(wizard, focusOf(wizard)), nameOf(wizard, wizard.*step.focus));
        }
    }
}

// A window handle as the shim records pointers.
std::string handleText(HWND window)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    return text;
}

using WizardInput = WizardTest;

} // namespace

TEST_F(WizardInput, KeyboardWalksBothModesWithTheFocusWhereItActs)
{
    constexpr wchar_t WELCOME[] = L"Welcome to Quellmark Console Setup";
    constexpr wchar_t SETTINGS[] = L"Console settings";
    constexpr wchar_t READY[] = L"Ready to install";
    running = startWizard(L"");
    // Back is disabled on the first page, the port field and check box hidden.
    ASSERT_NO_FATAL_FAILURE(walk(running.wizard, {
        {0, WELCOME, NEXT}, {VK_TAB, WELCOME, CANCEL}, {VK_TAB, WELCOME, NEXT}, {VK_RETURN, SETTINGS, NEXT},
        {VK_TAB, SETTINGS, CANCEL}, {VK_TAB, SETTINGS, PORT}, {VK_TAB, SETTINGS, CHOICE}, {VK_TAB, SETTINGS, BACK},
        {VK_TAB, SETTINGS, NEXT}, {VK_TAB, SETTINGS, CANCEL}, {VK_TAB, SETTINGS, PORT},
    }));
    typeKeys(running.wizard, L"9090");
    // Enter in the port field presses Next; after a box the focus returns to where it was.
    ASSERT_NO_FATAL_FAILURE(walk(running.wizard, {
        {0, SETTINGS, PORT}, {VK_RETURN, READY, NEXT}, {VK_ESCAPE, READY, NEXT, L"Exit setup?"},
        {VK_TAB, READY, CANCEL}, {VK_RETURN, READY, CANCEL, L"Exit setup?"}, {VK_TAB, READY, BACK},
        {VK_RETURN, SETTINGS, NEXT}, {VK_RETURN, READY, NEXT},
    }));
    EXPECT_NE(textOf(running.wizard.body).find(L"http://localhost:9090"), std::wstring::npos);
    // Tab gave Back the default look; the pages opened since give it back to Next, which Enter presses.
    EXPECT_TRUE(looksDefault(running.wizard.next));
    EXPECT_FALSE(looksDefault(running.wizard.back));
    pressKey(running.wizard, VK_ESCAPE);
    answer(waitForBox(running.wizard.window), IDYES);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 0u);

    constexpr wchar_t CHOOSE[] = L"Choose what to remove";
    constexpr wchar_t REMOVE[] = L"Ready to uninstall";
    constexpr wchar_t QUESTION[] =
        L"Permanently delete all saved Console accounts, audit records, license state and logs?";
    running = startWizard(L"--uninstall");
    // Nothing is installed here, so the work fails at once; Finish has the focus.
    ASSERT_NO_FATAL_FAILURE(walk(running.wizard, {
        {0, L"Uninstall Quellmark Console", NEXT}, {VK_RETURN, CHOOSE, NEXT}, {VK_TAB, CHOOSE, CANCEL},
        {VK_TAB, CHOOSE, CHOICE}, {VK_SPACE, CHOOSE, CHOICE}, {VK_TAB, CHOOSE, BACK}, {VK_TAB, CHOOSE, NEXT},
        {VK_RETURN, REMOVE, NEXT}, {VK_RETURN, REMOVE, NEXT, QUESTION},
        {VK_RETURN, L"Setup needs attention", NEXT, QUESTION, IDYES},
    }));
    pressKey(running.wizard, VK_RETURN);
    EXPECT_EQ(exitCodeOf(running.process.process.get()), 1u);
}

// During the work the focus rests on the progress bar; every page, status and outcome is read out.
TEST_F(WizardInput, TheWorkHoldsOffTheEndOfTheSessionAndScreenReadersFollowIt)
{
    running = startWizard(L"", std::string(BLOCK_RECORDS) + "record NotifyWinEvent args=x,p\n");
    const Wizard& wizard = running.wizard;
    EXPECT_NE(ask(wizard.window, WM_QUERYENDSESSION), 0) << "before the work the session may end";
    holdRuntimeCheck(); // until the test ends it
    ASSERT_NO_FATAL_FAILURE(walk(wizard, {{VK_RETURN, L"Console settings", NEXT},
                                          {VK_RETURN, L"Ready to install", NEXT},
                                          {VK_RETURN, L"Installing Console", PROGRESS},
                                          {VK_TAB, L"Installing Console", PROGRESS}}));
    pressKey(wizard, VK_ESCAPE);
    settle(wizard);
    EXPECT_EQ(boxesOwnedBy(wizard.window), 0) << "Escape is ignored during the work, as Cancel is";
    EXPECT_EQ(ask(wizard.window, WM_QUERYENDSESSION), 0);
    const std::string window = "arg1=" + handleText(wizard.window);
    EXPECT_EQ(recordedFields("ShutdownBlockReasonCreate", {"arg1", "arg2"}),
              std::vector<std::string>{window + " arg2=Quellmark Console Setup is installing..."});
    EXPECT_EQ(recordedFields("ShutdownBlockReasonDestroy", {"arg1"}), std::vector<std::string>{});

    endRuntimeCheck(INSTALL_WAIT_MS);
    ASSERT_NO_FATAL_FAILURE(walk(wizard, {{0, L"Setup needs attention", NEXT}}));
    EXPECT_TRUE(textOf(wizard.body).starts_with(L"The bundled runtime could not start."))
        << narrow(textOf(wizard.body));
    EXPECT_NE(ask(wizard.window, WM_QUERYENDSESSION), 0);
    EXPECT_EQ(recordedFields("ShutdownBlockReasonDestroy", {"arg1"}), std::vector<std::string>{window});
    // Read out as changes of live regions (EVENT_OBJECT_LIVEREGIONCHANGED), of the title "t" or the
    // body "b": four pages, the statuses, the outcome. Wine 8 passes such events to no other process.
    const std::string title = handleText(wizard.title), body = handleText(wizard.body);
    std::string heard;
    for (const ShimRecord& event : readShimRecords("NotifyWinEvent"))
        heard += event["arg1"] != "0x8019" ? '?' : event["arg2"] == title ? 't' : event["arg2"] == body ? 'b' : '?';
    EXPECT_TRUE(std::regex_match(heard, std::regex("(tb){4}b{2,}tb"))) << heard;
    // What screen readers are told of the controls (Wine's own service refuses it; the shim's
    // records it): the title and body are polite live regions, the field and the bar have names.
    EXPECT_EQ(recordedFields("IAccPropServices::describe", {"control", "value"}),
              (std::vector<std::string>{"control=Static value=1", "control=Static value=1",
                                        "control=Edit value=HTTP port:",
                                        "control=msctls_progress32 value=Installing Console"}));
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
    EXPECT_EQ(recordedFields("ShutdownBlockReasonCreate", {"arg2"}),
              std::vector<std::string>{"arg2=Quellmark Console Setup is removing..."})
        << "one worker";
    EXPECT_EQ(finish(running), 1u);
}
