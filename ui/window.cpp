#include "ui/window.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>
#include <thread>

#include "common/failure.h"
#include "common/message_box.h"
#include "common/port.h"
#include "common/product.h"
#include "common/wizard_messages.h"
#include "common/wizard_state.h"
#include "ui/accessibility.h"
#include "ui/desktop_shell.h"
#include "ui/dpi.h"
#include "ui/focus.h"
#include "ui/pages.h"
#include "ui/texts.h"

HWND titleLabel, bodyLabel, portLabel, portEdit, choice, progressBar, backButton, nextButton, cancelButton;
HFONT titleFont, regularFont;

namespace {

constexpr wchar_t WINDOW_CLASS[] = L"QuellmarkConsoleSetup";
constexpr int WINDOW_WIDTH = 680;
constexpr int WINDOW_HEIGHT = 495;
constexpr int BODY_TOP = 82;
constexpr int BODY_WIDTH = 610;
constexpr int BODY_HEIGHT = 220; // grown for a text that needs more, with what lies below it
constexpr int BODY_BOTTOM = BODY_TOP + BODY_HEIGHT;
constexpr int BODY_GAP = 18; // kept free between the body and the first control shown below it

void (*work)() = nullptr; // the install or uninstall that begin() starts, set when the window opens
void (*sessionEnding)() = nullptr; // what has to be done before Windows ends the process with the session

// One of the window's message boxes is open. A box runs a message loop of its own, which still
// delivers clicks, keys and posted messages to the window.
bool asking = false;

HFONT segoeUi(int height, int weight)
{
    return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

void createFonts(UINT dpi)
{
    regularFont = segoeUi(scaled(16, dpi), FW_NORMAL);
    titleFont = segoeUi(scaled(23, dpi), FW_SEMIBOLD);
}

// The nine controls in order of creation, which is also the Tab order. Positions and sizes are
// 96-DPI pixels. The labels show their texts as written: a folder such as D:\R&D keeps its "&",
// which a label would otherwise take for the mark of an underlined access key. The body breaks a
// word too long for its width as an edit control does (SS_EDITCONTROL): DrawText breaks lines only
// between words, and a long path would run off the label's right edge.
struct ControlLayout {
    HWND* handle;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height, id;
};

const ControlLayout CONTROLS[] = {
    {&titleLabel, L"STATIC", L"", SS_NOPREFIX, 28, 24, 610, 36, 0},
    {&bodyLabel, L"STATIC", L"", SS_NOPREFIX | WS_CLIPSIBLINGS | SS_EDITCONTROL, 28, BODY_TOP, BODY_WIDTH,
     BODY_HEIGHT, 0},
    {&portLabel, L"STATIC", texts::PORT_LABEL, SS_NOPREFIX, 28, 240, 90, 28, 0},
    {&portEdit, L"EDIT", texts::DEFAULT_PORT, WS_BORDER | WS_TABSTOP | ES_NUMBER, 128, 235, 100, 29, PORT_FIELD_ID},
    {&choice, L"BUTTON", L"", WS_TABSTOP | BS_AUTOCHECKBOX, 28, 320, 610, 40, CHOICE_ID},
    {&progressBar, PROGRESS_CLASSW, L"", 0, 28, 320, 610, 24, 0},
    {&backButton, L"BUTTON", texts::BACK, WS_TABSTOP, 322, 403, 96, 32, BACK_ID},
    {&nextButton, L"BUTTON", texts::NEXT, WS_TABSTOP | BS_DEFPUSHBUTTON, 428, 403, 96, 32, NEXT_ID},
    {&cancelButton, L"BUTTON", texts::CANCEL, WS_TABSTOP, 534, 403, 96, 32, CANCEL_ID},
};

// The DPI that the fonts and controls are made for, how much taller than usual the body is at
// it, in pixels, to show every line of its text, and how far that moves what lies below it.
UINT layoutDpi = USER_DEFAULT_SCREEN_DPI;
int bodyGrowth = 0;
int shiftBelowBody = 0;

SIZE windowSize(UINT dpi)
{
    return {scaled(WINDOW_WIDTH, dpi), scaled(WINDOW_HEIGHT, dpi)};
}

// The window is placed before it exists, at the primary screen's DPI as the user signed in with.
// Where its screen has another scaling by now (changed without signing out, or a laptop docked
// to another display), Windows gives the new window that screen's DPI, and the controls, made at
// that DPI, would not fit: the window takes its own DPI's size, centred again on the work area.
void fitToOwnDpi(HWND window, UINT placedAt)
{
    const UINT ownDpi = windowDpi(window);
    if (ownDpi == placedAt)
        return;
    MONITORINFO screen{};
    screen.cbSize = sizeof screen;
    // Cannot fail: the nearest monitor is always one that exists.
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &screen);
    const SIZE size = windowSize(ownDpi);
    const RECT& area = screen.rcWork; // without the taskbar
    SetWindowPos(window, nullptr, area.left + (area.right - area.left - size.cx) / 2,
                 area.top + (area.bottom - area.top - size.cy) / 2, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
}

// The body grows downwards; what lies below it moves down by shift.
RECT placeAt(const ControlLayout& control, UINT dpi, int growth, int shift)
{
    const int left = scaled(control.x, dpi);
    const int top = scaled(control.y, dpi) + (control.y >= BODY_BOTTOM ? shift : 0);
    const int height = scaled(control.height, dpi) + (control.handle == &bodyLabel ? growth : 0);
    return {left, top, left + scaled(control.width, dpi), top + height};
}

// The band that a page without the check box or the progress bar leaves empty below the body:
// the body grows into it before it makes the window taller, which a small screen may not allow.
int spareBelowBody(UINT dpi)
{
    int firstShown = WINDOW_HEIGHT;
    for (const ControlLayout& control : CONTROLS) {
        if (control.y >= BODY_BOTTOM && (GetWindowLongW(*control.handle, GWL_STYLE) & WS_VISIBLE) != 0)
            firstShown = std::min(firstShown, control.y);
    }
    return scaled(firstShown - BODY_GAP - BODY_BOTTOM, dpi);
}

std::wstring windowText(HWND window)
{
    std::wstring value(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    value.resize(static_cast<size_t>(GetWindowTextW(window, value.data(), static_cast<int>(value.size()))));
    return value;
}

// What the body's text needs beyond the body's usual height, measured as the label draws it, in
// the font it has (made for dpi): broken into lines at its width, tabs expanded, "&" as written.
int growthFor(UINT dpi)
{
    const std::wstring shown = windowText(bodyLabel);
    const HDC dc = GetDC(bodyLabel);
    const HGDIOBJ before = SelectObject(dc, regularFont);
    RECT needed{0, 0, scaled(BODY_WIDTH, dpi), 0};
    DrawTextW(dc, shown.c_str(), -1, &needed,
              DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX | DT_EDITCONTROL);
    SelectObject(dc, before);
    ReleaseDC(bodyLabel, dc);
    return std::max(0, static_cast<int>(needed.bottom) - scaled(BODY_HEIGHT, dpi));
}

void placeControls()
{
    for (const ControlLayout& control : CONTROLS) {
        const RECT at = placeAt(control, layoutDpi, bodyGrowth, shiftBelowBody);
        MoveWindow(*control.handle, at.left, at.top, at.right - at.left, at.bottom - at.top, TRUE);
    }
}

// The window at place (where it is, or where Windows suggests it after a change of DPI), as much
// taller than usual as its body needs and the work area of its screen (without the taskbar)
// allows, so that the check box and the buttons below the body stay in sight. It keeps its top
// unless it would reach below the work area; then it moves up, never above the work area's top.
void placeWindow(const RECT& place, UINT dpi)
{
    MONITORINFO screen{};
    screen.cbSize = sizeof screen;
    // Cannot fail: the nearest monitor is always one that exists.
    GetMonitorInfoW(MonitorFromRect(&place, MONITOR_DEFAULTTONEAREST), &screen);
    const RECT& area = screen.rcWork;
    const SIZE usual = windowSize(dpi);
    const int room = std::max(0, static_cast<int>(area.bottom - area.top - usual.cy));
    const int wanted = growthFor(dpi);
    const int spare = spareBelowBody(dpi);
    shiftBelowBody = std::clamp(wanted - spare, 0, room);
    bodyGrowth = std::min(wanted, spare + shiftBelowBody);
    placeControls();
    const int height = usual.cy + shiftBelowBody;
    int top = place.top;
    if (top + height > area.bottom)
        top = std::max(static_cast<int>(area.top), static_cast<int>(area.bottom) - height);
    SetWindowPos(windowHandle, nullptr, place.left, top, usual.cx, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// A page whose body needs another height than the page before (the outcome after the work, with
// a long failure or the firewall's sentence) makes the window grow, or shrink back.
void fitBody()
{
    const int wanted = growthFor(layoutDpi);
    if (wanted == bodyGrowth && std::max(0, wanted - spareBelowBody(layoutDpi)) == shiftBelowBody)
        return;
    RECT place{};
    GetWindowRect(windowHandle, &place);
    placeWindow(place, layoutDpi);
}

// Every change of page redraws it, puts the focus where the keyboard can act on the new page and
// has the new page read out.
void turnPage()
{
    render();
    fitBody();
    placeFocus();
    announcePage();
}

LRESULT onCreate(HWND window)
{
    windowHandle = window; // first: the controls are its children
    const UINT dpi = windowDpi(window);
    layoutDpi = dpi;
    createFonts(dpi);
    for (const ControlLayout& control : CONTROLS) {
        const RECT at = placeAt(control, dpi, 0, 0);
        *control.handle = controlWindow(control.className, control.text, control.style, at.left, at.top,
                                        at.right - at.left, at.bottom - at.top, control.id);
    }
    // The port label and field lie inside the body's rectangle. Placed above the body among the
    // siblings, and left out when the body paints, they are never painted over, whatever order
    // Windows paints overlapping siblings in. The Tab order stays: the body takes no focus.
    SetWindowPos(bodyLabel, portEdit, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SendMessageW(titleLabel, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont), TRUE);
    SendMessageW(portEdit, EM_LIMITTEXT, 5, 0);
    SendMessageW(choice, BM_SETCHECK, removing ? BST_UNCHECKED : BST_CHECKED, 0);
    describeControls();
    turnPage();
    return 0;
}

// The window moved to a screen of another DPI: Windows suggests the window's new place and
// leaves the fonts and controls to the window. The body's text breaks into lines anew in the new
// font, so the window takes the height that the body needs at the new DPI.
LRESULT onDpiChanged(WPARAM dpis, LPARAM suggestedRectangle)
{
    const UINT dpi = HIWORD(dpis);
    const HFONT oldRegular = regularFont;
    const HFONT oldTitle = titleFont;
    layoutDpi = dpi;
    createFonts(dpi);
    for (const ControlLayout& control : CONTROLS)
        SendMessageW(*control.handle, WM_SETFONT, reinterpret_cast<WPARAM>(regularFont), TRUE);
    SendMessageW(titleLabel, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont), TRUE);
    DeleteObject(oldRegular); // no control uses them any more
    DeleteObject(oldTitle);
    placeWindow(*reinterpret_cast<const RECT*>(suggestedRectangle), dpi);
    return 0;
}

// The answer counts only where the question was asked: a click delivered by the box's own
// message loop may have moved the wizard on, and then the answer is void (0).
int ask(const wchar_t* question, const wchar_t* caption, UINT style)
{
    const int askedOn = page;
    const bool outerBox = asking; // a failure shown while another box waits
    asking = true;
    const int answer = messageBox(windowHandle, question, caption, style);
    asking = outerBox;
    return !working && !finished && page == askedOn ? answer : 0;
}

bool choiceChecked()
{
    return SendMessageW(choice, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::optional<unsigned> enteredPort()
{
    wchar_t typed[16] = {};
    GetWindowTextW(portEdit, typed, 16);
    return portFromText(typed);
}

void finish()
{
    if (!failed && !removing && choiceChecked()) {
        // Not opened from this elevated process: a browser that starts for it would run as
        // administrator. The console is installed whether or not a browser opens.
        openAsSignedInUser(L"http://localhost:" + std::to_wstring(selectedPort) + L"/");
    }
    DestroyWindow(windowHandle);
}

// The check box is stored even when the port is refused.
void leaveSettings()
{
    selectedChoice = choiceChecked();
    if (!removing) {
        const std::optional<unsigned> port = enteredPort();
        if (!port) {
            ask(PORT_REFUSED, PRODUCT, MB_ICONINFORMATION);
            return;
        }
        selectedPort = *port;
    }
    page = 2;
    turnPage();
}

// Deleting the saved data cannot be undone, so it takes a second yes, with No as the default.
void leaveReady()
{
    if (removing && selectedChoice &&
        ask(texts::DELETE_QUESTION, texts::DELETE_CAPTION, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES)
        return;
    begin();
}

void onNext()
{
    if (finished) {
        finish();
    } else if (page == 1) {
        leaveSettings();
    } else if (page == 2) {
        leaveReady();
    } else {
        page = 1;
        turnPage();
    }
}

// The buttons do nothing while the worker runs, since what it reads must not change under it,
// nor while a box of the window waits for its answer. Escape reaches here as IDCANCEL, sent by
// the dialog manager of the message loop.
LRESULT onCommand(WORD id)
{
    if (working || asking)
        return 0;
    // Once the work has ended there is no question left to go back to.
    if (id == BACK_ID && page > 0 && !finished) {
        --page;
        turnPage();
    } else if (id == NEXT_ID) {
        onNext();
    } else if (id == CANCEL_ID || id == IDCANCEL) {
        SendMessageW(windowHandle, WM_CLOSE, 0, 0);
    }
    return 0;
}

// An open box of the window answers first: its owner is disabled, so only a posted close gets
// here, and a second question on top of the first would let their answers cross.
LRESULT onClose()
{
    if (working)
        MessageBeep(MB_ICONASTERISK); // closing now would end the process in the middle of the work
    else if (asking)
        return 0;
    else if (finished || ask(texts::EXIT_QUESTION, PRODUCT, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES)
        DestroyWindow(windowHandle);
    return 0;
}

// Windows asks before it ends the session. Ending it during the work would cut the installation
// or removal off half-way, with no rollback, so the wizard holds it off; begin() names the reason.
// Written from the Windows documentation of WM_QUERYENDSESSION and ShutdownBlockReasonCreate,
// since no test machine ends its session.
LRESULT onQueryEndSession(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (working)
        return FALSE;
    return DefWindowProcW(window, WM_QUERYENDSESSION, wParam, lParam);
}

// The session ends (the user signs out, or Windows restarts) and the process with it, without its
// window closing first: what the run leaves for the restart to do has to be arranged now.
LRESULT onEndSession(WPARAM ending)
{
    if (ending != FALSE && sessionEnding != nullptr)
        sessionEnding();
    return 0;
}

// Activation by the keyboard or a closed box: the default procedure would put the focus on the
// window itself. Minimised, the window leaves the focus to the default procedure as well.
LRESULT onActivate(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (LOWORD(wParam) == WA_INACTIVE) {
        saveFocus();
        return 0;
    }
    if (HIWORD(wParam) != 0)
        return DefWindowProcW(window, WM_ACTIVATE, wParam, lParam);
    restoreFocus();
    return 0;
}

LRESULT onDestroy()
{
    forgetDescriptions();
    DeleteObject(regularFont);
    DeleteObject(titleFont);
    PostQuitMessage(failed ? 1 : 0);
    return 0;
}

// The extraction repeats its status every few files: a screen reader hears a status once, when
// it is new, and follows the percentage on the progress bar, which has the focus.
LRESULT onProgress(WPARAM percent, LPARAM status)
{
    const std::unique_ptr<std::wstring> owned(reinterpret_cast<std::wstring*>(status));
    SendMessageW(progressBar, PBM_SETPOS, percent, 0);
    if (*owned == windowText(bodyLabel))
        return 0;
    text(bodyLabel, *owned);
    announceStatus();
    return 0;
}

LRESULT onDone(WPARAM failedFlag, LPARAM failureText)
{
    const std::unique_ptr<std::wstring> owned(reinterpret_cast<std::wstring*>(failureText));
    working = false;
    finished = true;
    failed = failedFlag != 0;
    if (owned)
        failure = *owned;
    // Whether Windows dropped the reason or never took it, the session may end again.
    ShutdownBlockReasonDestroy(windowHandle);
    turnPage();
    return 0;
}

// Labels and the check box are drawn on the window's own background; left to the default
// procedure, they would show as grey panels on the white window. The text takes the colour that
// goes with that background: under a dark high-contrast scheme the default black would vanish.
LRESULT onColorStatic(HDC dc)
{
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
}

// Another colour scheme or theme (high contrast switched on or off, a new system colour). Every
// colour the window paints is read from the system as it paints, so painting it all again shows
// the change; the common controls keep their colours until they are told, and only the top-level
// window hears of a new colour from the system.
LRESULT onLookChanged(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SYSCOLORCHANGE) {
        for (const ControlLayout& control : CONTROLS)
            SendMessageW(*control.handle, WM_SYSCOLORCHANGE, wParam, lParam);
    }
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return onCreate(window);
    case WM_COMMAND: return onCommand(LOWORD(wParam));
    case WM_CLOSE: return onClose();
    case WM_DESTROY: return onDestroy();
    case WM_CTLCOLORSTATIC: return onColorStatic(reinterpret_cast<HDC>(wParam));
    case WM_SYSCOLORCHANGE:
    case WM_THEMECHANGED:
    case WM_SETTINGCHANGE: return onLookChanged(window, message, wParam, lParam);
    case WM_ACTIVATE: return onActivate(window, wParam, lParam);
    case WM_QUERYENDSESSION: return onQueryEndSession(window, wParam, lParam);
    case WM_ENDSESSION: return onEndSession(wParam);
    case WM_DPICHANGED: return onDpiChanged(wParam, lParam);
    // Enter presses Next wherever the focus is, unless the focus is on another push button.
    case DM_GETDEFID: return MAKELRESULT(NEXT_ID, DC_HASDEFID);
    case WM_SETUP_PROGRESS: return onProgress(wParam, lParam);
    case WM_SETUP_DONE: return onDone(wParam, lParam);
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

// A failure must not unwind through the system's frames that called the window procedure. While
// the worker runs it is only shown, since the worker's own end still has to arrive; otherwise it
// ends the wizard like a failed run: the final page shows it and the exit code is 1.
void reportWindowFailure(std::wstring text) noexcept
{
    try {
        if (working) {
            ask(text.c_str(), PRODUCT, MB_ICONERROR);
            return;
        }
        finished = true;
        failed = true;
        failure = std::move(text);
        turnPage();
    } catch (...) {
        // Not even the failure page could be drawn; the state still ends the run with exit code 1.
    }
}

} // namespace

LRESULT CALLBACK wndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    try {
        return handleMessage(window, message, wParam, lParam);
    } catch (...) {
        reportWindowFailure(caughtFailureText());
        return 0;
    }
}

HWND controlWindow(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
                   int height, int id)
{
    const HWND control =
        CreateWindowExW(0, className, text, style | WS_CHILD | WS_VISIBLE, x, y, width, height, windowHandle,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(regularFont), TRUE);
    return control;
}

void text(HWND window, const std::wstring& value)
{
    SetWindowTextW(window, value.c_str());
}

void begin()
{
    working = true;
    // Shown by Windows beside the wizard while it holds off the end of the session. Without the
    // reason Windows still gets the refusal, so a failure here is left alone.
    ShutdownBlockReasonCreate(windowHandle, removing ? texts::BLOCK_REMOVING : texts::BLOCK_INSTALLING);
    turnPage(); // the working page shows before any work starts
    try {
        std::thread(work).detach();
    } catch (...) {
        working = false; // no worker runs, so the failure may end the wizard
        ShutdownBlockReasonDestroy(windowHandle);
        throw;
    }
}

HWND openWizardWindow(HINSTANCE instance, int showCommand, void (*workToRun)(), void (*beforeSessionEnd)())
{
    work = workToRun;
    sessionEnding = beforeSessionEnd;
    const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls); // a failure shows up as missing controls, not as an error
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = wndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = WINDOW_CLASS;
    RegisterClassW(&windowClass); // a failed registration fails the window below
    // Centred on the primary screen, at its DPI; a screen smaller than the window gives a
    // negative position.
    const UINT dpi = systemDpi();
    const SIZE size = windowSize(dpi);
    const int x = (GetSystemMetrics(SM_CXSCREEN) - size.cx) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - size.cy) / 2;
    // Fixed size: a caption, the system menu and minimise, no maximise and no sizing border.
    const HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, WINDOW_CLASS,
                                        removing ? texts::UNINSTALL_TITLE : texts::SETUP_TITLE,
                                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, size.cx,
                                        size.cy, nullptr, nullptr, instance, nullptr);
    require(window != nullptr, "Create setup window");
    fitToOwnDpi(window, dpi);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    announcePage(); // the first page, now that there is a window to read it from
    return window;
}
