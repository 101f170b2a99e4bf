#pragma once

#include <windows.h>

#include "tests/shim/plan.h"

// A stand-in for the desktop's shell: CoCreateInstance of ShellWindows (hooked in firewall.cpp)
// gets it instead of Wine's, whose ShellExecute would start Wine's own browser. It answers the
// walk from ShellWindows to the shell's automation object (FindWindowSW of the desktop,
// QueryService of the top-level browser, QueryActiveShellView, GetItemObject of the background,
// get_Application) and records IShellDispatch2::ShellExecute with its arguments. With
// "value ShellWindows desktop=none" FindWindowSW finds no desktop window, as when no shell runs.
void installDesktopShell(const Plan& plan);

// The stand-in ShellWindows object for the interface asked for.
HRESULT createDesktopShell(REFIID requested, void** object);
