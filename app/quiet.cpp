#include "app/quiet.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "app/run_log.h"
#include "app/startup.h"
#include "app/worker.h"
#include "common/failure.h"
#include "common/text.h"
#include "common/wizard_state.h"
#include "core/command_line.h"
#include "core/host.h"
#include "core/relocate.h"
#include "engine/install.h"
#include "engine/preinstall_checks.h"
#include "engine/uninstall.h"
#include "ui/pages.h"
#include "ui/texts.h"

namespace {

constexpr int ANOTHER_SETUP_RUNNING = 1618; // ERROR_INSTALL_ALREADY_RUNNING
constexpr int NOT_INSTALLED = 1605;         // ERROR_UNKNOWN_PRODUCT
constexpr int RESTART_NEEDED = 3010;        // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr wchar_t WINDOW_CLASS[] = L"QuellmarkConsoleSetupUnattended";

// Nobody can answer: the installation is cancelled and rolled back, which leaves the machine as
// it was, instead of finishing without the rule that the command line asked for.
FirewallAnswer cancelFirewall(const std::string& text)
{
    logEvent(L"Firewall failure: " + displayText(text));
    return FirewallAnswer::Cancel;
}

// The window is never shown; Windows asks top-level windows before it ends the session. The
// run refuses while it works (its window lives only as long as the work), and a temporary
// uninstall copy schedules its removal when the session ends all the same.
LRESULT CALLBACK unattendedWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION)
        return FALSE;
    if (message == WM_ENDSESSION && wParam != FALSE)
        scheduleSessionRemoval();
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND hiddenWindow()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = unattendedWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WINDOW_CLASS;
    RegisterClassW(&windowClass); // a failed registration fails the window below
    // Without a window the session can end in the middle of the work; the work is done all the
    // same, as it is where no session ends.
    const HWND window = CreateWindowExW(0, WINDOW_CLASS, removing ? texts::UNINSTALL_TITLE : texts::SETUP_TITLE,
                                        WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window != nullptr)
        ShutdownBlockReasonCreate(window, removing ? texts::BLOCK_REMOVING : texts::BLOCK_INSTALLING);
    return window;
}

// Two refusals, both raised before anything changes, have codes of their own that deployment
// tools act on: nothing to remove, and an earlier service that is still going (try again later).
// They are fixed sentences that nothing extends, so the text tells them apart.
int exitCode()
{
    if (!failed)
        return restartToFinish ? RESTART_NEEDED : 0;
    if (failure == widen(NOTHING_TO_REMOVE))
        return NOT_INSTALLED;
    return failure == widen(SERVICE_STILL_BEING_REMOVED) ? ANOTHER_SETUP_RUNNING : 1;
}

// The work on a thread of its own, while this thread answers the session's questions.
int work()
{
    MSG message{};
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE); // the queue the worker posts to
    const HWND window = hiddenWindow();
    const DWORD asking = GetCurrentThreadId();
    std::thread worker([asking] {
        if (std::optional<std::wstring> failureText = runChosenWork(logProgress)) {
            failed = true;
            failure = std::move(*failureText);
        }
        PostThreadMessageW(asking, WM_QUIT, 0, 0);
    });
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    worker.join();
    if (window != nullptr)
        DestroyWindow(window);
    finished = true;
    logEvent(failed ? L"Failed: " + failure : L"Succeeded: " + finalPageText());
    return exitCode();
}

// The first run from the application folder: the copy does the work, and the tool that waits
// for this process learns how it went. The copy logs into the same file.
int handOver(Relocation& relocation)
{
    logEvent(L"Handed over to " + (relocation.folder / L"Uninstall.exe").wstring());
    WaitForSingleObject(relocation.copy.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(relocation.copy.get(), &code); // stays 1 when it cannot be read: a failure
    if (code != 0 && code != RESTART_NEEDED)
        putBack(relocation);
    return static_cast<int>(code);
}

// Deployment tools run this as LocalSystem, which no test machine does; what each step relies on,
// from the Windows documentation: the system's token holds the Administrators group, enabled and
// allowed as owner, so the host check passes and folders are created owned by Administrators, as
// for an elevated administrator; the known folders named here (Program Files, ProgramData, the
// all-users Start menu) are the machine's, whatever the account; the session folder and the
// default log are in the Windows folder's Temp, not in the account's own temporary folder, and
// the system may write there; nothing asks the desktop's shell, which the system's session does
// not have; and its session, too, is asked before it ends.
int run(const CommandLine& commandLine)
{
    removing = commandLine.uninstall;
    selectedPort = commandLine.port;
    selectedChoice = removing ? commandLine.deleteData : commandLine.firewall;
    checkHost();
    if (removing) {
        const std::wstring options =
            std::wstring(L" --quiet") + (commandLine.deleteData ? L" --delete-data" : L"") + logOptions();
        if (Relocation relocation = relocate(options, true); relocation.copy)
            return handOver(relocation);
    }
    // A parent that started this copy waits for it, and has moved its program out of the way.
    rememberSessionFolder();
    UniqueHandle lock = takeLock();
    if (!lock) {
        logEvent(L"Failed: " + displayText(ANOTHER_WIZARD_OPEN));
        scheduleSessionRemoval(); // a tool retries on this code, each time with a new copy
        return ANOTHER_SETUP_RUNNING;
    }
    askFirewall = cancelFirewall;
    const int code = work();
    scheduleSessionRemoval();
    return code;
}

} // namespace

int runUnattended(const std::vector<std::wstring>& arguments)
{
    const std::wstring refusal = startRunLog(unattendedPart(arguments));
    logEvent(L"Command line: " + std::wstring(GetCommandLineW()));
    int code = 1;
    try {
        if (!refusal.empty())
            throw std::runtime_error(narrow(refusal));
        code = run(parseCommandLine(arguments));
    } catch (...) {
        logEvent(L"Failed: " + caughtFailureText());
    }
    logEvent(L"Exit code: " + std::to_wstring(code));
    return code;
}
