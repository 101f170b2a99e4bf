#pragma once

// Shared pieces of the wizard's tests: the page as one value, starting and ending the wizard
// under the test shim, and what it schedules for the next restart.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/sample_switches.h"
#include "tests/support/shim.h"
#include "tests/support/wizard_driver.h"

// Installation under Wine on a busy machine takes tens of seconds.
inline constexpr DWORD INSTALL_WAIT_MS = 120000;

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

// Where a control of the wizard sits in the window's client area, and its size, in pixels.
struct Placement {
    int x, y, width, height;
    bool operator==(const Placement&) const = default;
};
void PrintTo(const Placement& placement, std::ostream* out);

// The window's outer rectangle on the screen.
Placement windowPlacement(HWND window);

// The nine controls' placements as the window has them, in the order the wizard creates them.
std::vector<Placement> layoutOf(const Wizard& wizard);

// The nine controls' placements at dpi: their sizes in 96-DPI pixels, scaled as Windows scales
// (MulDiv, rounding halves up).
std::vector<Placement> layoutAt(UINT dpi);

// Every line of the body shows: its text, broken as the label breaks it in the wizard's font at
// dpi (Segoe UI, or what Wine has for it), fits the label; the check box and Next lie below it
// and in the window, and the window above the bottom of the work area.
void expectWholeBody(const Wizard& wizard, UINT dpi, const std::string& page);

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

// The wizard that an uninstall hands over to: the temporary copy that the session's one
// CreateProcessW started, once its window shows.
RunningWizard handedOver();

// Through the three question pages with these answers; the last Next (Install, Uninstall) starts
// the work.
void askToInstall(const Wizard& wizard, unsigned port, bool allowNetwork = true);
void askToUninstall(const Wizard& wizard, bool deleteData);

// Presses Finish (Next, whatever it says) and returns the exit code that the wizard ends with.
DWORD finish(const RunningWizard& running);

// A test that starts wizards: a wizard that it leaves open is ended, and the shim's session and
// the sample console's switches are cleared after it.
class WizardTest : public testing::Test {
protected:
    void TearDown() override;
    RunningWizard running;
};

// Another process, such as a wizard that the one under test started, opened to wait for its end.
UniqueHandle openProcess(DWORD id);

// Wine reads the Windows version it reports ("win7", "win10") from the prefix's registry when a
// process starts.
void reportWindowsVersion(const std::wstring& version);

// Windows' own message for an error code, as failure texts carry it after the code.
std::wstring systemMessage(DWORD code);

// Holds the next installation in its runtime check: the sample console's interpreter hangs.
void holdRuntimeCheck();

// Waits for the held runtime check and ends its interpreter, so that the installation fails
// and rolls back.
void endRuntimeCheck(DWORD timeoutMs = WINDOW_WAIT_MS);

// Deletions and renames scheduled for the next restart, as MoveFileExW records them: pairs of
// source and target, the target empty for a deletion.
std::vector<std::wstring> pendingRenames();
