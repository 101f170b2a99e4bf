#pragma once

#include <filesystem>

// console.ini in the application folder: the console's port, and whether the firewall rule of
// that port may exist. The console reads it at every start; the uninstall and the clearing of a
// stopped run's remains read it to know which rule to remove.
struct Settings {
    unsigned port = 8080;
    bool ruleAdded = false; // "Firewall=1": a rule of ours may be there
};

// What the file says; a missing file or key gives the defaults, which never remove a rule that
// this product may not have added.
Settings readSettings(const std::filesystem::path& application);

// Replaces the file, all at once (writeText).
void writeSettings(const std::filesystem::path& application, const Settings& settings);
