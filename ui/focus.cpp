#include "ui/focus.h"

#include <windows.h>

#include "common/wizard_state.h"
#include "ui/window.h"

namespace {

HWND savedFocus = nullptr;

HWND pageFocus()
{
    // While the work runs no control takes input; the bar, named for the work, is where a screen
    // reader finds what is happening.
    return working ? progressBar : nextButton;
}

// Tab hands the default look to the push button it reaches; a new page gives it back to Next,
// the button that Enter presses there.
void markNextAsDefault()
{
    SendMessageW(backButton, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    SendMessageW(cancelButton, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    SendMessageW(nextButton, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
}

} // namespace

void placeFocus()
{
    markNextAsDefault();
    savedFocus = nullptr;
    // SetFocus would also activate a window that is in the background; there the focus goes to
    // its place when the user comes back to it.
    if (GetActiveWindow() == windowHandle)
        SetFocus(pageFocus());
}

void saveFocus()
{
    const HWND focus = GetFocus();
    savedFocus = IsChild(windowHandle, focus) ? focus : nullptr;
}

void restoreFocus()
{
    const bool usable = savedFocus != nullptr && IsWindowVisible(savedFocus) && IsWindowEnabled(savedFocus);
    SetFocus(usable ? savedFocus : pageFocus());
}
