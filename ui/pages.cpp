#include "ui/pages.h"

#include <windows.h>

#include <string>

#include "common/folders.h"
#include "common/wizard_state.h"
#include "ui/texts.h"
#include "ui/window.h"

using namespace texts;

namespace {

// What one page shows. The title and body labels always show; the body is built when the page is
// drawn, since it may name a folder or the chosen port.
struct Page {
    const wchar_t* title;
    std::wstring (*body)();
    const wchar_t* next = NEXT;          // caption of the Next button
    const wchar_t* choice = nullptr;     // the check box shows, with this text
    bool port = false;                   // the port label and field show
    bool progress = false;               // the progress bar shows
    bool last = false;                   // Back and Cancel hide; the check box starts checked
};

template <const wchar_t* Text>
std::wstring fixed()
{
    return Text;
}

std::wstring port()
{
    return std::to_wstring(selectedPort);
}

std::wstring setupSettings()
{
    return SETTINGS_SETUP_BEFORE_FOLDER + appDir().wstring() + SETTINGS_SETUP_AFTER_FOLDER;
}

std::wstring setupReady()
{
    return READY_APPLICATION + appDir().wstring() + READY_ADDRESS + port() + READY_SERVICE +
           (selectedChoice ? READY_NETWORK : READY_NO_NETWORK) + READY_CLICK_INSTALL;
}

std::wstring uninstallReady()
{
    return selectedChoice ? READY_DELETE_ALL : READY_KEEP_DATA;
}

std::wstring failureBody()
{
    return failure;
}

// Says what really happened to the firewall rule, which may differ from what was asked for.
std::wstring installed()
{
    const std::wstring notice = firewallNotice.empty() ? L"" : L"\r\n" + firewallNotice;
    const std::wstring network =
        firewallAdded ? INSTALLED_RULE_BEFORE_PORT + port() + INSTALLED_RULE_AFTER_PORT + notice : INSTALLED_NO_RULE;
    return INSTALLED_BEFORE_PORT + port() + INSTALLED_AFTER_PORT + network + INSTALLED_AUTOMATIC;
}

// What the uninstallation left for a restart or for the administrator.
std::wstring leftToDo()
{
    return std::wstring(restartToFinish ? REMOVED_RESTART : L"") + (firewallRuleLeft ? REMOVED_RULE_LEFT : L"");
}

std::wstring removedAllData()
{
    return REMOVED_ALL + leftToDo();
}

std::wstring removedKeepingData()
{
    return REMOVED_KEPT_BEFORE_FOLDER + dataDir().wstring() + REMOVED_KEPT_AFTER_FOLDER + leftToDo();
}

// Welcome, settings and ready, by run mode (install, uninstall) and question page.
const Page QUESTIONS[2][3] = {
    {
        {.title = WELCOME_SETUP_TITLE, .body = fixed<WELCOME_SETUP>},
        {.title = SETTINGS_SETUP_TITLE, .body = setupSettings, .choice = ALLOW_NETWORK, .port = true},
        {.title = READY_SETUP_TITLE, .body = setupReady, .next = INSTALL},
    },
    {
        {.title = WELCOME_UNINSTALL_TITLE, .body = fixed<WELCOME_UNINSTALL>},
        {.title = SETTINGS_UNINSTALL_TITLE, .body = fixed<SETTINGS_UNINSTALL>, .choice = DELETE_DATA},
        {.title = READY_UNINSTALL_TITLE, .body = uninstallReady, .next = UNINSTALL},
    },
};

const Page WORKING_PAGES[2] = {
    {.title = WORKING_SETUP_TITLE, .body = fixed<WORKING>, .progress = true},
    {.title = WORKING_UNINSTALL_TITLE, .body = fixed<WORKING>, .progress = true},
};

const Page FAILED = {.title = FAILED_TITLE, .body = failureBody, .next = FINISH, .last = true};
const Page INSTALLED = {.title = DONE_TITLE, .body = installed, .next = FINISH, .choice = OPEN_BROWSER, .last = true};
const Page REMOVED_ALL_DATA = {.title = DONE_TITLE, .body = removedAllData, .next = FINISH, .last = true};
const Page REMOVED_KEEPING_DATA = {.title = DONE_TITLE, .body = removedKeepingData, .next = FINISH, .last = true};

const Page& finalPage()
{
    return failed ? FAILED : !removing ? INSTALLED : selectedChoice ? REMOVED_ALL_DATA : REMOVED_KEEPING_DATA;
}

const Page& currentPage()
{
    if (finished)
        return finalPage();
    if (working)
        return WORKING_PAGES[removing];
    return QUESTIONS[removing][page == 0 ? 0 : page == 1 ? 1 : 2];
}

void show(HWND control, bool visible)
{
    ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
}

} // namespace

void render()
{
    const Page& shown = currentPage();
    const std::wstring body = shown.body(); // first: a folder that cannot be found changes nothing
    text(titleLabel, shown.title);
    text(bodyLabel, body);
    text(nextButton, shown.next);
    text(cancelButton, CANCEL);
    EnableWindow(backButton, page > 0 && !working && !finished);
    EnableWindow(nextButton, !working);
    EnableWindow(cancelButton, !working);
    if (shown.choice != nullptr) {
        text(choice, shown.choice);
        if (shown.last)
            SendMessageW(choice, BM_SETCHECK, BST_CHECKED, 0);
    }
    show(choice, shown.choice != nullptr);
    show(portLabel, shown.port);
    show(portEdit, shown.port);
    show(progressBar, shown.progress);
    show(backButton, !shown.last);
    show(cancelButton, !shown.last);
}

std::wstring finalPageText()
{
    return finalPage().body();
}
