#pragma once

struct Plan;

// Recording and faulting of the Windows Firewall objects. CoCreateInstance of the main module
// is hooked; the NetFwPolicy2 and NetFwRule objects it returns, and the rule sets that
// get_Rules returns, get a patched copy of their method table, so that the rule setters, get_Rules,
// Add, Remove, Item, the policy's two questions and Release are recorded and can fail as planned.
// ShellWindows gets the stand-in of desktop_shell.h instead.
void installFirewallHooks(const Plan& plan);

// Gives every object still alive its own method table back and frees the copies, when the
// shim is unloaded.
void removeFirewallHooks();
