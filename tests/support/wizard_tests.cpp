#include "tests/support/wizard_tests.h"

#include <gtest/gtest.h>

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

void endWizard(RunningWizard& running)
{
    if (running.process.process && WaitForSingleObject(running.process.process.get(), 0) == WAIT_TIMEOUT)
        TerminateProcess(running.process.process.get(), 99);
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
