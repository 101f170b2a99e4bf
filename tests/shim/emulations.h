#pragma once

#include <windows.h>

#include <string>

// Windows behaviours that Wine 8 lacks and that the product relies on, supplied in every
// process that carries the shim (see README.md, "Always on").

#include "tests/shim/plan.h"

// Installs the hooks below.
void installEmulations(const Plan& plan);

// Notes the current folder of a child that the program started, so that the folder's removal
// can wait for Wine to let go of it once the child has ended.
void rememberChildFolder(HANDLE process, const std::wstring& folder);
