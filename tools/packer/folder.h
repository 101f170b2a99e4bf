#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A file to be packed: its name in the package and where it is read from.
struct SourceFile {
    std::string name; // relative path below the packed folder, components joined by "/"
    std::filesystem::path path;
    unsigned long long size = 0;
};

// Every file below folder, sorted by the bytes of their names. Refuses, naming the file, a name
// that the package rules refuse, a symbolic link or junction, a file too large for a package, and
// a folder that breaks the package's limits or lacks what the wizard runs from it.
std::vector<SourceFile> collectFiles(const std::filesystem::path& folder);

// The package size for these files: header, fixed entry parts, names and data.
unsigned long long packageSize(const std::vector<SourceFile>& files);
