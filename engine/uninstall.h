#pragma once

#include "common/progress.h"

// Removes a recognised installation: service, firewall rule (when the installation added one),
// shortcuts, application folder and Installed-apps entry, and the data folder only when
// deleteData is true and it carries the data marker. Every refusal comes before the first
// removal; a later failure leaves what was not yet removed.
void uninstall(bool deleteData, Progress progress);
