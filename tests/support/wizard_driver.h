#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

// Drives the wizard of another process the way a user would: it finds the window by its class,
// reads the controls' texts, visibility and enabled state, clicks buttons, types into the port
// field, and reads and answers message boxes. Every wait is for a window state, with a limit;
// a limit that passes raises std::runtime_error naming what did not happen.

inline constexpr DWORD WINDOW_WAIT_MS = 30000;

// Xvfb has no window manager, so windows would have no title bar; Wine draws its own for windows
// it does not hand to a window manager. Affects programs started after the call, in this prefix.
void drawOwnTitleBars();

// The wizard window and its nine controls, in the order the wizard creates them.
struct Wizard {
    HWND window = nullptr;
    HWND title, body, portLabel, portEdit, choice, progress, back, next, cancel;
};

// Waits until the process (or, with process 0, any process) shows the wizard window.
Wizard findWizard(DWORD process = 0, DWORD timeoutMs = WINDOW_WAIT_MS);

// Waits for condition, polled every few milliseconds; raises with what when the limit passes.
void waitFor(const std::function<bool()>& condition, const std::string& what, DWORD timeoutMs = WINDOW_WAIT_MS);

// Sends a message to a window of the wizard and returns the answer; raises when the window's
// thread does not answer within 5 s.
LRESULT ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

std::wstring textOf(HWND window);
bool shown(HWND control);   // visible, together with the wizard window
bool enabled(HWND control);
bool checked(HWND checkBox);
bool looksDefault(HWND button); // drawn as the button that Enter presses
int barPosition(HWND progressBar);

// Clicks a button as the mouse would and returns when the window has handled the click.
void click(HWND button);

// Clicks a button without waiting for the window: for a click that opens a modal box or starts
// the work.
void press(HWND button);

// Types text into an edit control as the keyboard would, replacing what it holds; characters
// that the control refuses are dropped by the control, as they would be for a user.
void typeInto(HWND edit, const std::wstring& text);

// Replaces the control's text by pasting text from the clipboard.
void pasteInto(HWND edit, const std::wstring& text);

// Asks the window to close, as its close box does.
void closeWindow(HWND window);

// The window that has the keyboard focus in the wizard's thread: a control, the wizard window
// itself, or null.
HWND focusOf(const Wizard& wizard);

// Presses a key as the keyboard delivers it: WM_KEYDOWN and WM_KEYUP posted to the window with
// the focus, which the wizard's message loop hands to the dialog manager first.
void pressKey(const Wizard& wizard, UINT key);

// Types characters into the control with the focus, as WM_CHAR messages.
void typeKeys(const Wizard& wizard, const std::wstring& text);

// Returns when the wizard has handled every message posted to it so far, also from inside the
// message loop of a box it shows: posted messages arrive in order, so a marker posted behind
// them has to arrive last.
void settle(const Wizard& wizard);

// A message box, with its caption and its message.
struct Box {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
};

// Waits for a message box owned by owner (or, with owner null, one of process without owner).
Box waitForBox(HWND owner, DWORD process = 0, DWORD timeoutMs = WINDOW_WAIT_MS);
// How many message boxes owner shows now.
int boxesOwnedBy(HWND owner);
bool hasButton(const Box& box, int id);
int defaultButton(const Box& box);
// Clicks the button with that id (IDYES, IDNO, IDOK, IDTRYAGAIN...) and waits for the box to go.
void answer(const Box& box, int id);

// Whether the window's thread answers within a second: a window that is hung behind a blocked
// thread does not.
bool responsive(HWND window);

// The colour that the screen shows at a point of the window's client area.
COLORREF screenPixel(HWND window, int x, int y);

// How many pixels of that colour the screen shows on the window, as it is drawn now.
size_t pixelsOf(HWND window, COLORREF colour);

// Writes what the screen shows of the window (with any box on top) to <folder>/<name>.bmp, by
// default in <build>/screenshots, and returns the file.
std::filesystem::path screenshot(HWND window, const std::string& name, const std::filesystem::path& folder = {});

// Waits for the process to end and returns its exit code.
DWORD exitCodeOf(HANDLE process, DWORD timeoutMs = WINDOW_WAIT_MS);
