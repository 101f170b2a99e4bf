#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The packer's three commands. Each prints its report on standard output and raises a failure
// whose text is a one-line reason; the caller prints it and exits with a non-zero code.

// Packs folder into package and, when digestFile is not empty, writes the C++ source of the
// package digest there. Outputs that already hold the right content are left untouched; an
// output inside the folder is refused, since the next run would pack it.
void packFolder(const std::filesystem::path& folder, const std::filesystem::path& package,
                const std::filesystem::path& digestFile);

// One line per entry (size, digest, name) and a total.
void listPackage(const std::filesystem::path& package);

// Checks every file against its stored digest and prints the package digest; compares it with
// expected (64 hexadecimal characters, either case) when one is given.
void verifyPackage(const std::filesystem::path& package, const std::optional<std::string>& expected);
