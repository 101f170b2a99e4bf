#pragma once

#include <optional>
#include <string>

// The product's entry under Installed apps (HKLM, 64-bit view). Adding writes the display name,
// version, maker, folder, icon, uninstall commands (with the window and unattended) and manual
// address, leaving any other values of an existing entry alone; removing deletes the whole key
// and is content when it is missing.
void registerUninstall(bool add);

// The command that Installed apps runs to remove the product: the application folder's
// Uninstall.exe, quoted, followed by " --uninstall".
std::wstring uninstallCommand();

// The entry as another run finds it: whether the key exists, and its uninstall command if it has
// one. Raises "Check Installed Apps entry (<code>)" when the key or the command cannot be read.
struct InstalledAppsEntry {
    bool exists = false;
    std::optional<std::wstring> command;
};
InstalledAppsEntry readInstalledAppsEntry();
