#pragma once

#include <windows.h>

#include <string>

// The wizard window: one fixed-size window whose nine controls serve every page of both modes.
// Everything here runs on the window thread.

extern HWND titleLabel, bodyLabel, portLabel, portEdit, choice, progressBar, backButton, nextButton, cancelButton;
extern HFONT titleFont, regularFont;

inline constexpr int PORT_FIELD_ID = 101;
inline constexpr int CHOICE_ID = 102;
inline constexpr int BACK_ID = 201;
inline constexpr int NEXT_ID = 202;
inline constexpr int CANCEL_ID = 203;

// Registers the window class "QuellmarkConsoleSetup" and opens the window, centred on the
// primary screen, titled for the run mode. work is what begin() runs on the worker thread: the
// install or uninstall, reporting to windowHandle. beforeSessionEnd runs when Windows ends the
// session, and the process with it, while the window is open. Raises "Create setup window"
// when it cannot.
HWND openWizardWindow(HINSTANCE instance, int showCommand, void (*work)(), void (*beforeSessionEnd)());

LRESULT CALLBACK wndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A child control of windowHandle with regularFont. A failure to create it is not detected.
HWND controlWindow(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
                   int height, int id);

void text(HWND window, const std::wstring& value);

// Starts the install or uninstall on a detached worker thread, after showing the working page.
void begin();
