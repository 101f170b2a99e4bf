#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// The wizard's process-wide state. The window thread writes all of it except firewallAdded,
// firewallNotice, firewallLogFailure, restartToFinish and firewallRuleLeft, which belong to the
// worker; the worker only reads the rest, which does not change while it runs.

extern bool removing;        // run mode is uninstall ("--uninstall")
extern int page;             // question page: 0 welcome, 1 settings, 2 ready
extern bool working;         // the worker thread is running
extern bool finished;        // the worker thread has ended
extern bool failed;          // the worker ended with a failure; also the process exit code
extern std::wstring failure; // the failure text shown on the final page
extern unsigned selectedPort; // the console's HTTP port
extern bool selectedChoice;  // install: add the firewall rule; uninstall: delete the saved data
extern bool firewallAdded;   // the install really added the firewall rule
extern std::wstring firewallNotice; // why the added rule lets nobody in yet; empty if it does or none can tell
extern HWND windowHandle;    // the wizard window: owner of message boxes, target of the worker
extern bool restartToFinish; // the uninstall left the service to be removed by the next restart
extern bool firewallRuleLeft; // the uninstall left the firewall rule: Windows Firewall was not running

extern std::filesystem::path temporaryUninstaller; // the session folder of a relocated uninstall
extern std::string firewallLogFailure;             // why the last setup-log write failed; empty if it worked
