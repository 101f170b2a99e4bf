#pragma once

#include <windows.h>
#include <shlobj.h>

#include <filesystem>

// Paths of the running program and of the product's folders. Each call asks Windows afresh and
// creates nothing; failures are raised with the step names "Get executable path" and
// "Locate Windows folder".

std::filesystem::path exePath();
std::filesystem::path known(const KNOWNFOLDERID& folder);

std::filesystem::path appDir();    // Program Files \ maker \ product
std::filesystem::path dataDir();   // ProgramData \ maker \ product
std::filesystem::path shortcuts(); // all-users Start menu Programs \ product (no maker level)
std::filesystem::path setupLog();  // the data folder's logs \ setup.log, where firewall failures go
