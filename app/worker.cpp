#include "app/worker.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "app/run_log.h"
#include "common/failure.h"
#include "common/progress.h"
#include "common/wizard_messages.h"
#include "common/wizard_state.h"
#include "engine/install.h"
#include "engine/uninstall.h"

namespace {

// A text whose post failed would never be read by anyone, so it is freed here.
void post(UINT message, WPARAM wParam, std::wstring* text) noexcept
{
    if (!PostMessageW(windowHandle, message, wParam, reinterpret_cast<LPARAM>(text)))
        delete text;
}

void reportProgress(int percent, const std::wstring& status)
{
    logProgress(percent, status);
    // Sign-extended: the bar reads the position back as an int.
    post(WM_SETUP_PROGRESS, static_cast<WPARAM>(static_cast<INT_PTR>(percent)), new std::wstring(status));
}

// Cannot raise: when not even the failure text can be allocated, the window still learns that
// the work failed, and the run still ends with exit code 1.
void reportEnd(bool succeeded, std::wstring failureText) noexcept
{
    std::wstring* text = succeeded ? nullptr : new (std::nothrow) std::wstring(std::move(failureText));
    post(WM_SETUP_DONE, succeeded ? 0 : 1, text);
}

} // namespace

std::optional<std::wstring> runChosenWork(const Progress& progress) noexcept
{
    try {
        if (removing)
            uninstall(selectedChoice, progress);
        else
            install(selectedPort, selectedChoice, progress);
        return std::nullopt;
    } catch (...) {
        return caughtFailureText();
    }
}

void workerBody()
{
    std::optional<std::wstring> failureText = runChosenWork(reportProgress);
    reportEnd(!failureText, failureText ? std::move(*failureText) : std::wstring());
}
