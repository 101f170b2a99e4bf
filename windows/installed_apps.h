#pragma once

// The product's entry under Installed apps (HKLM, 64-bit view). Adding writes the display name,
// version, maker, folder, icon, uninstall command and manual address, leaving any other values
// of an existing entry alone; removing deletes the whole key and is content when it is missing.
void registerUninstall(bool add);
