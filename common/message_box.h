#pragma once

#include <windows.h>

#include <string>

// Every message box of the wizard opens here, so that a run with a log ("--log") records what it
// asked and what the user answered.

// Where the run notes its events: set by the program's top for a run with a log, else null.
extern void (*noteEvent)(const std::wstring& text);

// MessageBoxW, noted as two events: the caption and the text as the box opens, and the button
// that closed it ("Answer: Try Again"), or that no box could be shown. Never raises.
int messageBox(HWND owner, const std::wstring& text, const wchar_t* caption, UINT style) noexcept;
