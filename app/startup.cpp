#include "app/startup.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/folders.h"
#include "common/message_box.h"
#include "common/product.h"
#include "common/text.h"
#include "common/wizard_state.h"
#include "core/command_line.h"
#include "core/host.h"
#include "core/relocate.h"
#include "app/quiet.h"
#include "app/run_log.h"
#include "app/worker.h"
#include "engine/install.h"
#include "ui/firewall_prompt.h"
#include "ui/pages.h"
#include "ui/window.h"

namespace {

// The first run of a relocated uninstall still holds the application folder open (its own
// program file) until it ends; the uninstall must not start before that.
void waitForParent(unsigned long parent)
{
    // A parent that has already ended, or an id that names nothing, needs no wait.
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, parent));
    if (process)
        WaitForSingleObject(process.get(), 10000); // a time-out is no error: the run goes on
    rememberSessionFolder();
}

int runMessageLoop(HWND window)
{
    MSG message{};
    BOOL result = 0;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        // Gives Tab and the arrow keys their dialog meaning between the controls.
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    // A broken message loop is no quit message: the run did not end as the user chose.
    if (result < 0)
        return 1;
    return static_cast<int>(static_cast<DWORD>(message.wParam));
}

// The wizard with its window. With "--log" (which support staff ask for after a failure), the log
// of an unattended run, and in it every box with the user's answer.
int runWindowed(HINSTANCE instance, int showCommand, UniqueHandle& lock, const std::vector<std::wstring>& arguments,
                const CommandLine& logPart)
{
    if (!logPart.log.empty()) {
        const std::wstring refusal = startRunLog(logPart);
        noteEvent = logEvent;
        logEvent(L"Command line: " + std::wstring(GetCommandLineW()));
        if (!refusal.empty())
            throw std::runtime_error(narrow(refusal));
    }
    const CommandLine commandLine = parseCommandLine(arguments);
    removing = commandLine.uninstall;
    checkHost();
    if (removing) {
        if (const Relocation relocation = relocate(logOptions()); relocation.copy) {
            logEvent(L"Handed over to " + (relocation.folder / L"Uninstall.exe").wstring());
            return 0;
        }
    }
    if (commandLine.parent != 0)
        waitForParent(commandLine.parent);
    lock = takeLock();
    if (!lock)
        throw std::runtime_error(ANOTHER_WIZARD_OPEN);
    askFirewall = askFirewallFailure; // the installation's question, shown over the window
    const int exitCode = runMessageLoop(openWizardWindow(instance, showCommand, workerBody, scheduleSessionRemoval));
    if (finished)
        logEvent(failed ? L"Failed: " + failure : L"Succeeded: " + finalPageText());
    scheduleSessionRemoval();
    return exitCode;
}

} // namespace

void rememberSessionFolder()
{
    const std::filesystem::path folder = exePath().parent_path();
    if (isSessionFolder(folder))
        temporaryUninstaller = folder;
}

// One wizard per machine, across sessions: the lock is the mutex's existence, never its
// ownership, and it lasts as long as this process holds the handle.
UniqueHandle takeLock()
{
    UniqueHandle lock(CreateMutexW(nullptr, FALSE, L"Global\\Vostrel.QuellmarkConsole.Setup"));
    require(lock != nullptr, "Lock Console setup");
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        lock.reset();
    return lock;
}

// Nothing can delete a running program file; the next restart removes the copy and its folder,
// the file first, since a folder is only removed empty. Failures change nothing for the user.
// Once is enough: when the session ends while the window is open, this runs before Windows ends
// the process, and the message loop never returns.
void scheduleSessionRemoval()
{
    if (temporaryUninstaller.empty())
        return;
    MoveFileExW(exePath().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(temporaryUninstaller.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    temporaryUninstaller.clear();
}

int runWizard(HINSTANCE instance, int showCommand, UniqueHandle& lock)
{
    const std::vector<std::wstring> arguments = commandLineArguments();
    const CommandLine logPart = unattendedPart(arguments);
    if (logPart.quiet)
        return runUnattended(arguments);
    int exitCode = 1;
    try {
        exitCode = runWindowed(instance, showCommand, lock, arguments, logPart);
    } catch (...) {
        showStartupFailure(caughtFailureText());
    }
    logEvent(L"Exit code: " + std::to_wstring(exitCode));
    return exitCode;
}

void showStartupFailure(const std::wstring& text) noexcept
{
    messageBox(nullptr, text, PRODUCT, MB_ICONERROR);
}
