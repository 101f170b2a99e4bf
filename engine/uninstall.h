#pragma once

#include "common/progress.h"

// Removes a recognised installation: service, firewall rule (when the installation added one),
// shortcuts, application folder and Installed-apps entry, and the data folder only when
// deleteData is true and it carries the data marker. Every refusal comes before the first
// removal; a later failure leaves what was not yet removed. What it could not finish itself
// goes into restartToFinish (a service that another program holds open) and firewallRuleLeft (a
// rule that Windows Firewall, not running, could not be asked to remove).
void uninstall(bool deleteData, Progress progress);

// The refusal where there is nothing of ours to remove.
inline constexpr char NOTHING_TO_REMOVE[] = "No recognized Console installation found. Nothing was removed.";
