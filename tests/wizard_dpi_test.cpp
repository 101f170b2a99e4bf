#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/processes.h"
#include "tests/support/wizard_tests.h"

// The wizard on a 150 % screen (144 DPI): the window, its controls and its fonts at one and a half
// times their 96-DPI sizes, and again when Windows reports a move to a screen of another DPI.
// Screenshots of the pages go to <build>/screenshots/144dpi and mixed-dpi-dark.

namespace fs = std::filesystem;

namespace {

constexpr UINT DPI = 144;
constexpr char FONTS[] = "record CreateFontW args=d\n";

// Wine 8 takes the DPI of a process from the user's LogPixels when the process starts, as Windows
// takes it at sign-in.
void setScreenDpi(DWORD dpi)
{
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi, sizeof dpi),
              ERROR_SUCCESS);
}

// The heights of the fonts the wizard has made, in order: regular, then title, for each DPI.
// The shim writes the 32-bit argument unsigned.
std::vector<int> fontHeights()
{
    std::vector<int> heights;
    for (const ShimRecord& record : readShimRecords("CreateFontW"))
        heights.push_back(static_cast<int>(std::stoul(record["arg1"])));
    return heights;
}

// Windows sends WM_DPICHANGED when the window moves to a screen of another DPI, which Xvfb's one
// screen never has. Sent from another process the message keeps its pointer as it is (Wine copies
// no rectangle for it), so the rectangle is written into the wizard's memory.
void sendDpiChange(const RunningWizard& running, UINT dpi, const RECT& suggested)
{
    const HANDLE process = running.process.process.get();
    void* remote = VirtualAllocEx(process, nullptr, sizeof suggested, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(remote, nullptr);
    ASSERT_TRUE(WriteProcessMemory(process, remote, &suggested, sizeof suggested, nullptr));
    ask(running.wizard.window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(remote));
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
}

// Run again where 150 % was set without signing out: the system's DPI, which places the window, is
// still 96 (GetDeviceCaps, through the shim) while the window gets 144; in a dark high-contrast scheme.
class WizardDpi : public WizardTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        // Rectangles of a per-monitor aware window, read by an unaware thread, come scaled to 96 DPI.
        ASSERT_NE(SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE), nullptr);
        setScreenDpi(DPI);
        const INT elements[] = {COLOR_WINDOW, COLOR_WINDOWTEXT};
        const COLORREF dark[] = {RGB(0, 0, 0), RGB(255, 255, 0)};
        ASSERT_TRUE(!GetParam() || SetSysColors(2, elements, dark)); // for programs started from now on
    }

    std::string plan() const { return FONTS + std::string(GetParam() ? "fail GetDeviceCaps from=1 return=96\n" : ""); }

    // Every text shows in the system's text colour on its window colour.
    void shoot(const std::string& name)
    {
        screenshot(running.wizard.window, name,
                   testProgramFolder().parent_path() / L"screenshots" / (GetParam() ? L"mixed-dpi-dark" : L"144dpi"));
        for (HWND label : {running.wizard.title, running.wizard.body, running.wizard.portLabel, running.wizard.choice})
            EXPECT_TRUE(!shown(label) || (pixelsOf(label, GetSysColor(COLOR_WINDOWTEXT)) > 0 &&
                                          pixelsOf(label, GetSysColor(COLOR_WINDOW)) > 0)) << name;
    }
};

} // namespace

TEST_P(WizardDpi, At144DpiTheWindowItsControlsAndFontsAreOneAndAHalfTimesAsLarge)
{
    running = startWizard(L"", plan());
    const Wizard& setup = running.wizard;
    // 680 by 495 at 96 DPI, centred.
    const Placement centred{(GetSystemMetrics(SM_CXSCREEN) - 1020) / 2, (GetSystemMetrics(SM_CYSCREEN) - 743) / 2,
                            1020, 743};
    EXPECT_EQ(windowPlacement(setup.window), centred);
    EXPECT_EQ(layoutOf(setup), layoutAt(DPI));
    EXPECT_EQ(fontHeights(), (std::vector<int>{-24, -35}));

    shoot("install-1-welcome");
    click(setup.next);
    shoot("install-2-settings");
    click(setup.next);
    shoot("install-3-ready");
    holdRuntimeCheck();
    press(setup.next);
    waitFor([&] { return textOf(setup.title) == L"Installing Console"; }, "the working page");
    shoot("install-4-working");
    endRuntimeCheck(INSTALL_WAIT_MS);
    waitFor([&] { return textOf(setup.title) == L"Setup needs attention"; }, "the final page");
    expectWholeBody(setup, DPI, "the final page");
    shoot("install-6-failed");
    EXPECT_EQ(finish(running), 1u);

    running = startWizard(L"--uninstall", plan());
    const Wizard& remover = running.wizard;
    shoot("uninstall-1-welcome");
    click(remover.next);
    click(remover.choice);
    shoot("uninstall-2-settings");
    click(remover.next);
    shoot("uninstall-3-ready");
    press(remover.next);
    const Box confirm = waitForBox(remover.window);
    shoot("uninstall-delete-confirmation");
    answer(confirm, IDYES);
    waitFor([&] { return textOf(remover.title) == L"Setup needs attention"; }, "the final page");
    shoot("uninstall-6-failed");

    // Moved to a 125 % screen: where Windows suggests, with controls and fonts made anew.
    const Placement suggested{40, 30, 850, 619};
    sendDpiChange(running, 120, {40, 30, 40 + suggested.width, 30 + suggested.height});
    EXPECT_EQ(windowPlacement(remover.window), suggested);
    EXPECT_EQ(layoutOf(remover), layoutAt(120));
    expectWholeBody(remover, 120, "the final page at 120 DPI");
    EXPECT_EQ(fontHeights(), (std::vector<int>{-24, -35, -20, -29}));
    EXPECT_EQ(finish(running), 1u);
}

INSTANTIATE_TEST_SUITE_P(Screens, WizardDpi, testing::Bool());
