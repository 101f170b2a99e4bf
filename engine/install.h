#pragma once

#include <string>

#include "common/firewall_answer.h"
#include "common/progress.h"

// Installs the console: checks the computer, prepares the protected data folder, writes the
// application files, settings and uninstaller, proves the runtime, registers and starts the
// service, waits for its health answer, opens the firewall (when firewall is true, with a
// try-again prompt), registers with Installed apps and creates the Start-menu shortcuts.
// A failure after the first change rolls back everything this call created except the data
// folder, and raises the failure's text with a sentence saying how the rollback went.
void install(unsigned port, bool firewall, Progress progress);

// How install asks the user to go on when the firewall rule cannot be added (text is the
// failure), after the failure went to the setup log. The program sets it before any work starts;
// left unset, the installation cancels, as it does when a box cannot be shown.
extern FirewallAnswer (*askFirewall)(const std::string& text);
