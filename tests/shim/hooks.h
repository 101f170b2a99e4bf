#pragma once

#include <string>

#include "tests/shim/plan.h"

// Hooks that replace imports of the main module. The always-on ones (ChangeServiceConfig2W,
// CreateProcessW, CreateProcessA) are installed in every process; GetDiskFreeSpaceExW,
// MessageBoxW, Sleep and GetProcAddress (for IsWow64Process2) only when the plan asks for them.
void installHooks(const Plan& plan);

// What a started child needs to carry the shim too: this DLL's path and the two variables.
void setFollowing(const std::wstring& shim, const std::wstring& plan, const std::wstring& records);

// Frees what installHooks and setFollowing kept, when the shim is unloaded.
void removeHooks();
