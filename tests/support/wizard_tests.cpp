#include "tests/support/wizard_tests.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/text.h"

namespace {

std::wstring button(HWND control)
{
    if (!shown(control))
        return L"";
    return textOf(control) + (enabled(control) ? L"" : L" (disabled)");
}

} // namespace

PageView viewOf(const Wizard& wizard)
{
    PageView view;
    view.title = textOf(wizard.title);
    view.body = textOf(wizard.body);
    view.back = button(wizard.back);
    view.next = button(wizard.next);
    view.cancel = button(wizard.cancel);
    if (shown(wizard.choice))
        view.choice = (checked(wizard.choice) ? L"[x] " : L"[ ] ") + textOf(wizard.choice);
    view.port = shown(wizard.portLabel) && shown(wizard.portEdit);
    view.progress = shown(wizard.progress);
    return view;
}

void PrintTo(const PageView& view, std::ostream* out)
{
    *out << "\n  title:    \"" << narrow(view.title) << "\"\n  body:     \"" << narrow(view.body)
         << "\"\n  buttons:  [" << narrow(view.back) << "] [" << narrow(view.next) << "] [" << narrow(view.cancel)
         << "]\n  choice:   \"" << narrow(view.choice) << "\"\n  port: " << view.port
         << "  progress: " << view.progress << "\n";
}

void PrintTo(const Placement& placement, std::ostream* out)
{
    *out << "(" << placement.x << ", " << placement.y << ") " << placement.width << "x" << placement.height;
}

Placement windowPlacement(HWND window)
{
    RECT area{};
    GetWindowRect(window, &area);
    return {area.left, area.top, area.right - area.left, area.bottom - area.top};
}

std::vector<Placement> layoutOf(const Wizard& wizard)
{
    std::vector<Placement> layout;
    for (HWND control : {wizard.title, wizard.body, wizard.portLabel, wizard.portEdit, wizard.choice,
                         wizard.progress, wizard.back, wizard.next, wizard.cancel}) {
        RECT area{};
        GetWindowRect(control, &area);
        MapWindowPoints(nullptr, wizard.window, reinterpret_cast<POINT*>(&area), 2);
        layout.push_back({area.left, area.top, area.right - area.left, area.bottom - area.top});
    }
    return layout;
}

std::vector<Placement> layoutAt(UINT dpi)
{
    const Placement at96[] = {{28, 24, 610, 36},  {28, 82, 610, 220},  {28, 240, 90, 28},
                              {128, 235, 100, 29}, {28, 320, 610, 40},  {28, 320, 610, 24},
                              {322, 403, 96, 32},  {428, 403, 96, 32},  {534, 403, 96, 32}};
    const auto scale = [dpi](int pixels) { return MulDiv(pixels, static_cast<int>(dpi), 96); };
    std::vector<Placement> layout;
    for (const Placement& control : at96)
        layout.push_back({scale(control.x), scale(control.y), scale(control.width), scale(control.height)});
    return layout;
}

void expectWholeBody(const Wizard& wizard, UINT dpi, const std::string& page)
{
    const HDC dc = CreateCompatibleDC(nullptr);
    const HFONT font = CreateFontW(-MulDiv(16, static_cast<int>(dpi), 96), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET,
                                   0, 0, CLEARTYPE_QUALITY, 0, L"Segoe UI");
    SelectObject(dc, font);
    RECT body{}, needed{}, client{};
    GetClientRect(wizard.body, &body);
    GetClientRect(wizard.window, &client);
    needed.right = body.right;
    const bool editLike = (GetWindowLongW(wizard.body, GWL_STYLE) & SS_EDITCONTROL) != 0;
    DrawTextW(dc, textOf(wizard.body).c_str(), -1, &needed,
              DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX | (editLike ? DT_EDITCONTROL : 0));
    DeleteDC(dc);
    DeleteObject(font);
    EXPECT_TRUE(needed.bottom <= body.bottom && needed.right <= body.right) << page << ": the body cuts off its text";
    const std::vector<Placement> at = layoutOf(wizard); // body 1, check box 4, Next 7
    EXPECT_TRUE((!shown(wizard.choice) || at[4].y >= at[1].y + at[1].height) && at[7].y >= at[1].y + at[1].height &&
                at[7].y + at[7].height <= client.bottom) << page << ": a control lies on the body or outside the window";
    MONITORINFO screen{sizeof screen, {}, {}, 0};
    GetMonitorInfoW(MonitorFromWindow(wizard.window, MONITOR_DEFAULTTONEAREST), &screen);
    EXPECT_LE(windowPlacement(wizard.window).y + windowPlacement(wizard.window).height, screen.rcWork.bottom) << page;
}

void waitForPage(const Wizard& wizard, const PageView& expected, DWORD timeoutMs)
{
    try {
        waitFor([&] { return viewOf(wizard) == expected; }, "the page \"" + narrow(expected.title) + "\"", timeoutMs);
    } catch (const std::exception&) {
        EXPECT_EQ(viewOf(wizard), expected);
        throw;
    }
}

std::filesystem::path wizardProgram()
{
    return QM_WIZARD;
}

RunningWizard startWizard(const std::wstring& arguments, const std::string& plan)
{
    drawOwnTitleBars();
    RunningWizard running;
    running.process = startWithShim(wizardProgram(), arguments, plan);
    running.wizard = findWizard(running.process.id);
    return running;
}

void askToInstall(const Wizard& wizard, unsigned port, bool allowNetwork)
{
    click(wizard.next);
    typeInto(wizard.portEdit, std::to_wstring(port));
    if (checked(wizard.choice) != allowNetwork)
        click(wizard.choice);
    click(wizard.next);
    press(wizard.next);
}

void askToUninstall(const Wizard& wizard, bool deleteData)
{
    click(wizard.next);
    if (deleteData)
        click(wizard.choice);
    click(wizard.next);
    press(wizard.next);
}

RunningWizard handedOver()
{
    const DWORD copy = std::stoul(readShimRecords("CreateProcessW").at(0)["child"]);
    RunningWizard running{{openProcess(copy), copy}, {}};
    running.wizard = findWizard(copy);
    return running;
}

DWORD finish(const RunningWizard& running)
{
    press(running.wizard.next);
    return exitCodeOf(running.process.process.get());
}

void WizardTest::TearDown()
{
    if (running.process.process && WaitForSingleObject(running.process.process.get(), 0) == WAIT_TIMEOUT)
        TerminateProcess(running.process.process.get(), 99);
    unloadShim();
    clearSampleSwitches();
}

UniqueHandle openProcess(DWORD id)
{
    return UniqueHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
}

void reportWindowsVersion(const std::wstring& version)
{
    const auto bytes = static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t));
    if (RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version", REG_SZ, version.c_str(), bytes) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot set the Windows version that Wine reports");
}

void holdRuntimeCheck()
{
    setSampleSwitch(L"Runtime", L"Hang", 1);
}

void endRuntimeCheck(DWORD timeoutMs)
{
    DWORD interpreter = 0;
    const auto started = [&] {
        for (const ShimRecord& record : readShimRecords("CreateProcessW"))
            if (record["application"].ends_with("python.exe"))
                interpreter = std::stoul(record["child"]);
        return interpreter != 0;
    };
    waitFor(started, "the runtime check", timeoutMs);
    const UniqueHandle hung(OpenProcess(PROCESS_TERMINATE, FALSE, interpreter));
    if (!hung || !TerminateProcess(hung.get(), 9))
        throw std::runtime_error("cannot end the runtime check's interpreter");
}

std::vector<std::wstring> pendingRenames()
{
    wchar_t buffer[8192] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                     L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> entries;
    const size_t count = size / sizeof(wchar_t);
    for (size_t i = 0; i + 1 < count; i += entries.back().size() + 1)
        entries.emplace_back(buffer + i);
    return entries;
}

std::wstring systemMessage(DWORD code)
{
    wchar_t buffer[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer, 512, nullptr);
    return std::wstring(buffer, length);
}
