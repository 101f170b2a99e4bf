#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/packer/folder.h"

// The package image in memory, each file's data read straight into its place and its digest
// computed there. Raises "Cannot read <path>" and refuses a file that changed while it was read.
std::vector<unsigned char> buildPackage(const std::vector<SourceFile>& files);

// The C++ source that defines PACKAGE_DIGEST as the given digest text.
std::string digestSource(const std::string& digest);

// Writes the bytes to target unless it already holds exactly them, so that an unchanged
// package does not make the build relink. Returns whether it wrote. Raises "Cannot write <path>".
bool writeIfChanged(const std::filesystem::path& target, const void* bytes, unsigned long long size);

// Reads a whole package file. Raises "Cannot read <path>" and refuses one larger than a package can be.
std::vector<unsigned char> readPackageFile(const std::filesystem::path& file);
