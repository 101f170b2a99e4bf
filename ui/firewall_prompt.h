#pragma once

#include <string>

#include "common/firewall_answer.h"

// Asks the user, in a box owned by the wizard window, how to go on when the firewall rule could
// not be added: text is the failure, and the box names the setup log, or why it could not be
// written (firewallLogFailure). Runs on the worker thread. Escape, the close box and a box that
// cannot be shown all cancel.
FirewallAnswer askFirewallFailure(const std::string& text);
