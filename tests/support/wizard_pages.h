#pragma once

#include <windows.h>

#include <filesystem>
#include <ostream>
#include <string>

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
