#pragma once

#include <filesystem>
#include <string>

// Every path the wizard writes or deletes goes through noReparse first, so that no write or
// deletion can follow a link, junction or mount point to somewhere else. All four work at any
// path length.

// Raises "Installation paths must not contain links or junctions" when p or any folder above it
// (up to the drive's root) is a reparse point. Paths that do not exist are fine; a path whose
// attributes cannot be read for another reason raises "Check installation path (<error>)".
void noReparse(const std::filesystem::path& p);

// Deletes folder with everything in it, after proving that neither it, the folders above it nor
// anything inside it is a reparse point. A missing folder is not an error.
void removeTree(const std::filesystem::path& folder);

// The whole file as bytes. Raises "Cannot read <path>" when it cannot be opened.
std::string readText(const std::filesystem::path& p);

// Creates or replaces p with exactly these bytes. Raises "Cannot write <path>" on any failure.
void writeText(const std::filesystem::path& p, const std::string& text);
