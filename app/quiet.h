#pragma once

#include <string>
#include <vector>

// An unattended run ("--quiet"), for deployment tools that start the setup with nobody at the
// screen, often as LocalSystem, wait for it and read its exit code: no window, no message box, no
// browser; a log instead (app/run_log.h). The firewall prompt's place is taken by cancelling:
// a tool cannot answer it, and a rolled-back installation leaves nothing half done.
//
// Exit codes, Windows Installer's, which deployment tools act on: 0 done; 3010 done, but the
// service goes only at the next restart (another program holds it open); 1 failed (the machine as
// the wizard would leave it after the same failure); 1618 when another setup or uninstall wizard
// holds the lock, or an earlier installation's service is still being removed ("another
// installation is in progress", which deployment tools retry later); 1605 when there is nothing
// to uninstall. An uninstall started from the application folder waits for its temporary copy
// and returns the copy's exit code.

// The whole run, from the command line (arguments after the program name) to the exit code.
// Raises nothing.
int runUnattended(const std::vector<std::wstring>& arguments);
