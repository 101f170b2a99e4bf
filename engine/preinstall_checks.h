#pragma once

#include "common/progress.h"

// Refuses to install over an earlier or half-removed installation, over a data folder that is
// not ours, on a port that is taken or on a nearly full disk. Looks and changes nothing: a
// refusal raises its message, with nothing to roll back. Returns true when the application folder
// or the Installed-apps entry is what a stopped run of ours left, which the installation then
// clears before it creates the folder.
bool preinstallChecks(unsigned port, const Progress& progress);
