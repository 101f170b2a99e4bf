#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

// What an installation could change on the machine: the files of C: (C:\windows is watched by
// the harness; the temporary folder, where test sessions keep their files, is left out), the
// Installed-apps keys and the registered services.
struct MachineSnapshot {
    std::map<std::wstring, std::uintmax_t> files; // folders count with size 0
    std::set<std::wstring> uninstallKeys;
    std::set<std::wstring> services;
    bool operator==(const MachineSnapshot&) const = default;
};

MachineSnapshot takeSnapshot();

// The differences from before to after, one line each, sorted: "+ path", "- path", "~ path"
// (size changed) for files, "+ key ..." / "- service ..." for the rest. Paths under any of the
// ignored folders (and the folders themselves) are left out.
std::vector<std::string> changes(const MachineSnapshot& before, const MachineSnapshot& after,
                                 const std::vector<std::filesystem::path>& ignored = {});
