#pragma once

// Shared pieces of the wizard's tests: the page as one value, starting and ending the wizard
// under the test shim, and what it schedules for the next restart.

#include <windows.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/shim.h"
#include "tests/support/wizard_driver.h"

// What a page of the wizard shows, read from the window, in a form that a test states in one
// expression: a button is its caption, followed by " (disabled)" when it is, or empty when
// hidden; the check box is "[x] " or "[ ] " and its text, or empty when hidden.
struct PageView {
    std::wstring title;
    std::wstring body;
    std::wstring back, next, cancel;
    std::wstring choice;
    bool port = false;     // port label and field
    bool progress = false; // progress bar
    bool operator==(const PageView&) const = default;
};

PageView viewOf(const Wizard& wizard);
void PrintTo(const PageView& view, std::ostream* out);

// Waits until the wizard shows the expected page; when it does not, the test fails with the
// page it shows instead.
void waitForPage(const Wizard& wizard, const PageView& expected, DWORD timeoutMs = WINDOW_WAIT_MS);

// The wizard executable under test.
std::filesystem::path wizardProgram();

// Starts the wizard with arguments under the test shim with plan, with title bars drawn, and
// waits for its window.
struct RunningWizard {
    ShimProcess process;
    Wizard wizard;
};
RunningWizard startWizard(const std::wstring& arguments, const std::string& plan = "");

// Ends a wizard that a failed test left open.
void endWizard(RunningWizard& running);

// Windows' own message for an error code, as failure texts carry it after the code.
std::wstring systemMessage(DWORD code);

// Deletions and renames scheduled for the next restart, as MoveFileExW records them: pairs of
// source and target, the target empty for a deletion.
std::vector<std::wstring> pendingRenames();
