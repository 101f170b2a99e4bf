#pragma once

#include <string>

// When the firewall rule cannot be added during an installation: the failure goes to the setup
// log (ProgramData\...\logs\setup.log), then the user chooses how to go on. Both run on the
// worker thread; the prompt is owned by the wizard window.

// Appends one line "<UTC time> UTC: <text>" to the setup log. Never raises: why it could not
// write is kept in firewallLogFailure for the prompt, which is emptied when it could.
void logFirewallFailure(const std::string& text);

// Asks the user. Returns 0 to try again, 1 to continue without the rule, 2 to cancel (also
// for Escape, the close box, and a box that cannot be shown).
int askFirewallFailure(const std::string& text);
