#pragma once

#include <string>

// The setup log (ProgramData\...\logs\setup.log) holds one line per firewall failure of an
// installation, written on the worker thread before the user is asked how to go on; a line when
// the rule was added but cannot take effect yet; and what a failed runtime check wrote.

// Appends one line "<UTC time> UTC: <text>" to the setup log. Never raises: why it could not
// write is kept in firewallLogFailure for the prompt, which is emptied when it could.
void logFirewallFailure(const std::string& text);

// Appends one line "<UTC time> UTC: <text>" to the setup log. Never raises: returns why it could
// not write, or nothing when it could.
std::string logSetupEvent(const std::string& text);
