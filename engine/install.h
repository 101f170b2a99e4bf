#pragma once

#include "common/progress.h"

// Installs the console: checks the computer, prepares the protected data folder, writes the
// application files, settings and uninstaller, proves the runtime, registers and starts the
// service, waits for its health answer, opens the firewall (when firewall is true, with a
// try-again prompt), registers with Installed apps and creates the Start-menu shortcuts.
// A failure after the first change rolls back everything this call created except the data
// folder, and raises the failure's text with a sentence saying how the rollback went.
void install(unsigned port, bool firewall, Progress progress);
