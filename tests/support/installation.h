#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

// What an installation leaves on the machine, read back the way an administrator would find it.

// The sample console as the build assembled it: what the package carries.
std::filesystem::path sampleFolder();

std::string readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::string& bytes);

// The application folder holds the sample console byte for byte, the uninstaller (a copy of
// headless_setup.exe), the settings and the marker, and nothing else.
void expectApplicationFiles(unsigned port, bool ruleAdded);

// The service's current state, or 0 when it is not registered.
DWORD serviceState();

// The status of GET /api/v1/health on 127.0.0.1:port, 0 when nothing answers.
int healthAnswer(unsigned port);

// A text value of the Installed-apps entry; empty when it is missing.
std::wstring uninstallValue(const wchar_t* name);

// The firewall rule changes of the last shim session, in order: "Add <name> <port>" for each
// rule handed to the rule set, "Remove <name>" for each removal.
std::vector<std::string> firewallCalls();

// The changes (as changes() of machine_snapshot.h words them) that a complete installation
// makes on a clean machine, and the part of them that an uninstall keeping the data leaves.
std::vector<std::string> installationFootprint();
std::vector<std::string> dataFolderFootprint();
