#pragma once

#include <optional>
#include <string>

#include "common/progress.h"

// Runs the install or the uninstall sequence with the choices the user made, reports progress
// and the end to windowHandle, and returns. Raises nothing and shows nothing itself.
void workerBody();

// The sequence alone, for any caller: the install or the uninstall with the choices made,
// reporting to progress. Returns the failure's text, or nothing when it succeeded. Raises nothing.
std::optional<std::wstring> runChosenWork(const Progress& progress) noexcept;
