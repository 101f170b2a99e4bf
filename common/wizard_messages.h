#pragma once

#include <windows.h>

// The worker thread's two messages to the wizard window. The texts they carry are std::wstring
// objects made with new; each belongs to the window from the moment it is posted, and the window
// deletes it after use.
inline constexpr UINT WM_SETUP_PROGRESS = WM_APP + 1; // wParam: percent; lParam: the status text
inline constexpr UINT WM_SETUP_DONE = WM_APP + 2;     // wParam: 1 after a failure, else 0;
                                                      // lParam: the failure text, or null
