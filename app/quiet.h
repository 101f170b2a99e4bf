#pragma once

#include <string>
#include <vector>

// An unattended run ("--quiet"), for deployment tools that start the setup with nobody at the
// screen, often as LocalSystem, wait for it and read its exit code: no window, no message box, no
// browser; a log instead (app/run_log.h). The firewall prompt's place is taken by cancelling:
// a tool cannot answer it, and a rolled-back installation leaves nothing half done.
//
// Exit codes: 0 done, 1 failed (the machine as the wizard would leave it after the same failure),
// 1618 when another setup or uninstall wizard holds the lock (Windows Installer's "another
// installation is in progress", which deployment tools retry later). An uninstall started from
// the application folder waits for its temporary copy and returns the copy's exit code.

// The whole run, from the command line (arguments after the program name) to the exit code.
// Raises nothing.
int runUnattended(const std::vector<std::wstring>& arguments);
