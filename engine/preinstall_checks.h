#pragma once

#include "common/progress.h"

// Refuses to install over an earlier or half-removed installation, over a data folder that is
// not ours, on a port that is taken or on a nearly full disk. Looks and changes nothing: a
// refusal raises its message, with nothing to roll back. Returns true when the application folder
// or the Installed-apps entry is what a stopped run of ours left, which the installation then
// clears before it creates the folder.
bool preinstallChecks(unsigned port, const Progress& progress);

// The refusal while the service of an earlier installation is only marked for deletion: another
// program holds it open, and nothing can be installed until it lets go or Windows restarts.
inline constexpr char SERVICE_STILL_BEING_REMOVED[] =
    "The Quellmark Console service of an earlier installation is still being removed. Close the Services console "
    "and any other program that shows Windows services, or restart Windows, then try again.";
